// Streams: reading with text-mode translation, writing with line buffering,
// write-out and read-ahead, lines, and positioning.
#include "runtime/stdio/stream.h"

#include "runtime/string.h"

namespace rt {
namespace {

constexpr int kCtrlZ = 0x1A;  // end-of-file mark of text files: dropped on input

bool is_text(const Stream* stream) { return (stream->flags & STREAM_TEXT) != 0; }

// The bit of a table entry in line_flush_pending; 0 for a record outside the table.
std::uint32_t pending_bit(const Stream* stream) {
  const auto index = stream - stream_table;
  return index >= 0 && index < STREAM_MAX ? std::uint32_t{1} << index : 0;
}

// All pending line-buffered output is written before any input is read.
void write_out_pending_lines() {
  for (int i = 0; i < STREAM_MAX && (std::uint32_t{1} << i) <= line_flush_pending; ++i) {
    if (line_flush_pending & (std::uint32_t{1} << i)) stream_write_out(&stream_table[i]);
  }
}

// In text mode the in-place getc stops short of the next carriage return or
// 0x1A, so that translation needs no test on the fast path.
void limit_to_plain_run(Stream* stream) {
  if (stream->avail <= 0) return;
  auto limit = static_cast<std::size_t>(stream->avail);
  if (const void* cr = memchr(stream->cur, '\r', limit)) {
    limit = static_cast<std::size_t>(static_cast<const unsigned char*>(cr) - stream->cur);
  }
  if (const void* mark = memchr(stream->cur, kCtrlZ, limit)) {
    limit = static_cast<std::size_t>(static_cast<const unsigned char*>(mark) - stream->cur);
  }
  stream->avail = static_cast<int>(limit);
}

// One byte from the buffer, refilled from the descriptor when it is used
// up, or straight from the descriptor when there is no buffer. EOF at the
// end of the input (STREAM_EOF) or on a read error (STREAM_ERR).
int read_step(Stream* stream) {
  if (!stream->base) {
    unsigned char byte;
    const int n = read(stream->fd, &byte, 1);
    if (n <= 0) {
      stream->flags |= n < 0 ? STREAM_ERR : STREAM_EOF;
      return EOF;
    }
    return byte;
  }
  if (stream->mark < stream->cur) stream_write_out(stream);
  stream->avail = static_cast<int>(stream->mark - stream->cur);
  if (stream->avail == 0) {
    if (stream->flags & STREAM_STRING) {
      stream->flags |= STREAM_EOF;
      return EOF;
    }
    if (stream->mark == stream->end) stream->cur = stream->mark = stream->valid_start = stream->base;
    const int n = read(stream->fd, stream->mark, static_cast<unsigned>(stream->end - stream->mark));
    if (n <= 0) {
      stream->flags |= n < 0 ? STREAM_ERR : STREAM_EOF;
      return EOF;
    }
    stream->avail = n;
    stream->mark += n;
  }
  --stream->avail;
  const int byte = *stream->cur++;
  if (is_text(stream)) limit_to_plain_run(stream);
  return byte;
}

}  // namespace

int stream_fill(Stream* stream) {
  if (!(stream->flags & STREAM_BUFSET)) stream_default_buffering(stream);
  if (stream->pushback != -1) {
    const int byte = stream->pushback;
    stream->pushback = -1;
    return byte;
  }
  if (line_flush_pending != 0) write_out_pending_lines();

  int byte;
  if (stream->lookahead != -1 && stream->lookahead != '\n') {
    byte = stream->lookahead;  // read after a carriage return
    stream->lookahead = -1;
  } else {
    byte = read_step(stream);
  }
  if (!is_text(stream)) return byte;
  while (byte == kCtrlZ) byte = read_step(stream);
  if (byte == '\r' && stream->lookahead != '\n') {
    // Look at the byte after the carriage return: CR LF reads as LF; any
    // other byte (or EOF) is kept for the next call.
    stream->lookahead = '\n';
    const int next = stream_fill(stream);
    if (next == '\n') {
      stream->lookahead = -1;
      return '\n';
    }
    stream->lookahead = next;
    stream->avail = 0;
    return '\r';
  }
  return byte;
}

int stream_put_slow(int c, Stream* stream) {
  const auto byte = static_cast<unsigned char>(c);
  if (!(stream->flags & STREAM_BUFSET)) stream_default_buffering(stream);
  stream->pushback = -1;

  if (!stream->base) {
    if (is_text(stream) && byte == '\n' && write(stream->fd, "\r", 1) <= 0) {
      stream->flags |= STREAM_ERR;
      return EOF;
    }
    const int n = write(stream->fd, &byte, 1);
    if (n > 0 || (n == 0 && byte == kCtrlZ)) return byte;  // a refused 0x1A counts as written
    stream->flags |= STREAM_ERR;
    return EOF;
  }

  if (stream->cur < stream->mark) stream_drop_readahead(stream);
  if (is_text(stream) && byte == '\n') stream_put_slow('\r', stream);
  if (stream->cur == stream->end) {
    if (stream->flags & STREAM_STRING) {
      // A string stream never writes out: its area is full.
      stream->flags |= STREAM_ERR;
      return EOF;
    }
    stream_write_out(stream);
  }
  stream->avail = -static_cast<int>(stream->end - stream->cur - 1);
  *stream->cur++ = byte;
  if (stream->flags & STREAM_LINEBUF) {
    if (byte == '\n') {
      stream_write_out(stream);
    } else {
      line_flush_pending |= pending_bit(stream);
    }
  }
  return byte;
}

void stream_write_out(Stream* stream) {
  if (stream->flags & STREAM_STRING) return;
  stream->avail = 0;
  if (stream->flags & STREAM_LINEBUF) line_flush_pending &= ~pending_bit(stream);
  unsigned char* p = stream->mark;
  while (p < stream->cur) {
    const auto offered = static_cast<int>(stream->cur - p);
    const int n = write(stream->fd, p, static_cast<unsigned>(offered));
    if (n < 0) break;
    p += n;
    if (n < offered) {
      if (*p != kCtrlZ) break;
      ++p;  // a console that stops at 0x1A: skip it and go on
    }
  }
  stream->mark = p;
  if (p < stream->cur) {
    stream->cur = p;  // the unwritten bytes are discarded
    stream->flags |= STREAM_ERR;
  }
  if (stream->cur == stream->end) stream->cur = stream->mark = stream->valid_start = stream->base;
}

void stream_drop_readahead(Stream* stream) {
  if (!stream->base || stream->cur >= stream->mark || (stream->flags & STREAM_STRING)) return;
  lseek(stream->fd, stream->cur - stream->mark, SEEK_CUR);
  stream->mark = stream->cur;
  stream->avail = 0;
}

int fputs(const char* text, Stream* stream) {
  for (; *text; ++text) {
    if (putc(static_cast<unsigned char>(*text), stream) == EOF) return EOF;
  }
  return 0;
}

int stream_get_line(char* buffer, int length, Stream* stream) {
  int stored = 0;
  while (stored < length - 1) {
    const int byte = getc(stream);
    if (byte == EOF) {
      if (stream->flags & STREAM_ERR) return LINE_ERROR;
      if (stored == 0) return LINE_EOF;
      buffer[stored] = '\0';
      return LINE_PARTIAL;
    }
    buffer[stored++] = static_cast<char>(byte);
    if (byte == '\0') return LINE_ZERO;
    if (byte == '\n') {
      buffer[stored] = '\0';
      return LINE_OK;
    }
  }
  buffer[stored] = '\0';
  return LINE_TRUNCATED;
}

int fseek(Stream* stream, off_t offset, int whence) {
  if (stream->mark < stream->cur) {
    fflush(stream);
  } else {
    stream->avail = 0;
    stream->lookahead = -1;
    stream->pushback = -1;
    stream->flags &= ~STREAM_EOF;
  }
  // The distance from the descriptor's position; the logical position
  // differs from it by the unread bytes.
  off_t distance;
  if (whence == SEEK_SET) {
    const off_t position = lseek(stream->fd, 0, SEEK_CUR);
    if (position < 0) return -1;
    distance = offset - position;
  } else {
    if (whence == SEEK_CUR) offset += stream->cur - stream->mark;
    distance = offset;
  }
  if (!(stream->flags & STREAM_CONSOLE) && whence != SEEK_END && stream->base && distance <= 0 &&
      distance >= stream->valid_start - stream->mark) {
    stream->cur = stream->mark + distance;  // the bytes are still in the buffer
    return 0;
  }
  if (lseek(stream->fd, offset, whence) == -1) return -1;
  if (stream->base) stream->cur = stream->mark = stream->valid_start = stream->base;
  return 0;
}

off_t ftell(Stream* stream) {
  const off_t position = lseek(stream->fd, 0, SEEK_CUR);
  return position < 0 ? -1 : position + (stream->cur - stream->mark);
}

void rewind(Stream* stream) {
  fseek(stream, 0, SEEK_SET);
  stream->flags &= ~(STREAM_EOF | STREAM_ERR);
}

}  // namespace rt
