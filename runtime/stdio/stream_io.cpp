// Streams: reading with text-mode translation, writing with line buffering,
// write-out and read-ahead, runs of bytes (fread, fwrite, stream_take),
// lines, and positioning.
#include <cstdint>

#include "runtime/stdio/stream.h"

#include "runtime/string.h"

namespace rt {
namespace {

constexpr int kCtrlZ = 0x1A;  // end-of-file mark of text files: dropped on input
constexpr std::size_t kMostWritten = std::size_t{1} << 30;  // bytes offered to one write call at most

bool is_text(const Stream* stream) { return (stream->flags & STREAM_TEXT) != 0; }

// The bit of a table entry in line_flush_pending; 0 for a record outside the table.
std::uint32_t pending_bit(const Stream* stream) {
  const auto index = stream - stream_table;
  return index >= 0 && index < STREAM_MAX ? std::uint32_t{1} << index : 0;
}

// All pending line-buffered output is written before any input is read
// from the system (not before bytes a stream already holds are taken).
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

// The descriptor moved on by n bytes read.
void advance_offset(Stream* stream, int n) {
  if (stream->mark_offset >= 0) stream->mark_offset += n;
}

// One byte from the buffer, refilled from the descriptor when it is used
// up, or straight from the descriptor when there is no buffer. EOF at the
// end of the input (STREAM_EOF) or on a read error (STREAM_ERR).
int read_step(Stream* stream) {
  if (!stream->base) {
    if (line_flush_pending != 0) write_out_pending_lines();
    unsigned char byte;
    const int n = read(stream->fd, &byte, 1);
    if (n <= 0) {
      stream->flags |= n < 0 ? STREAM_ERR : STREAM_EOF;
      return EOF;
    }
    advance_offset(stream, 1);
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
    if (line_flush_pending != 0) write_out_pending_lines();
    const int n = read(stream->fd, stream->mark, static_cast<unsigned>(stream->end - stream->mark));
    if (n <= 0) {
      stream->flags |= n < 0 ? STREAM_ERR : STREAM_EOF;
      return EOF;
    }
    stream->avail = n;
    stream->mark += n;
    advance_offset(stream, n);
  }
  --stream->avail;
  const int byte = *stream->cur++;
  if (is_text(stream)) limit_to_plain_run(stream);
  return byte;
}

// Writes `length` bytes to the stream's descriptor, a console that stops at
// a 0x1A given the rest after it: the number of bytes taken.
std::size_t write_bytes(Stream* stream, const unsigned char* bytes, std::size_t length) {
  // Where a descriptor that appends writes is not known from here.
  if (length > 0) stream->mark_offset = -1;
  const unsigned char* p = bytes;
  const unsigned char* const end = bytes + length;
  while (p < end) {
    const std::size_t left = static_cast<std::size_t>(end - p);
    const auto offered = static_cast<unsigned>(left < kMostWritten ? left : kMostWritten);
    const int n = write(stream->fd, p, offered);
    if (n < 0) break;
    p += n;
    if (static_cast<unsigned>(n) < offered) {
      if (*p != kCtrlZ) break;
      ++p;  // a console that stops at 0x1A: skip it and go on
    }
  }
  return static_cast<std::size_t>(p - bytes);
}

// Writes the bytes from mark to cur to the descriptor. Bytes that can't be
// written are discarded and STREAM_ERR is set: false then.
bool write_out(Stream* stream) {
  if (stream->flags & STREAM_STRING) return true;
  stream->avail = 0;
  if (stream->flags & STREAM_LINEBUF) line_flush_pending &= ~pending_bit(stream);
  unsigned char* p = stream->mark;
  const bool any = p < stream->cur;
  p += write_bytes(stream, p, static_cast<std::size_t>(stream->cur - p));
  stream->mark = p;
  const bool written = p == stream->cur;
  if (!written) {
    stream->cur = p;  // the unwritten bytes are discarded
    stream->flags |= STREAM_ERR;
  }
  // A full buffer starts again at its base; so does a line-buffered one
  // after each write-out, so that the next run of lines fits whole.
  if (stream->cur == stream->end || (any && (stream->flags & STREAM_LINEBUF))) {
    stream->cur = stream->mark = stream->valid_start = stream->base;
  }
  return written;
}

// Stores the bytes of one fwrite call in a buffered stream as the in-place
// putc would, a run at a time, writing out the buffer whenever it is full;
// in text mode each line feed is stored as carriage return and line feed.
// `stored` counts the caller's bytes taken, `written` those of them known to
// have reached the descriptor when a write-out failed.
struct Storing {
  Stream* stream;
  std::size_t stored;
  std::size_t written;

  // Room for at least one byte; false when a write-out failed (or a string
  // stream's area is full).
  bool make_room() {
    if (stream->cur < stream->end) return true;
    if (stream->flags & STREAM_STRING) {
      written = stored;  // what a string stream holds is as good as written
      stream->flags |= STREAM_ERR;
      return false;
    }
    return write_out();
  }

  bool write_out() {
    if (!rt::write_out(stream)) return false;
    written = stored;
    return true;
  }

  bool put(const unsigned char* bytes, std::size_t length) {
    const bool text = is_text(stream);
    const unsigned char* const end = bytes + length;
    while (bytes < end) {
      const unsigned char* plain_end = end;
      if (text) {
        if (const void* line_feed = memchr(bytes, '\n', static_cast<std::size_t>(end - bytes))) {
          plain_end = static_cast<const unsigned char*>(line_feed);
        }
      }
      while (bytes < plain_end) {
        if (!make_room()) return false;
        const auto room = static_cast<std::size_t>(stream->end - stream->cur);
        const auto left = static_cast<std::size_t>(plain_end - bytes);
        const std::size_t n = left < room ? left : room;
        memcpy(stream->cur, bytes, n);
        stream->cur += n;
        bytes += n;
        stored += n;
      }
      if (bytes < end) {  // a line feed in text mode
        static constexpr unsigned char kLineEnd[] = {'\r', '\n'};
        for (const unsigned char byte : kLineEnd) {
          if (!make_room()) return false;
          *stream->cur++ = byte;
        }
        ++bytes;
        ++stored;
      }
    }
    stream->avail = -static_cast<int>(stream->end - stream->cur);  // room for the in-place putc
    return true;
  }
};

// Takes up to `most` bytes of the in-place run at cur, ending after the
// first `stop` byte (-1: none): the number taken.
std::size_t take_in_place(Stream* stream, std::size_t most, int stop) {
  const auto avail = static_cast<std::size_t>(stream->avail > 0 ? stream->avail : 0);
  std::size_t n = avail < most ? avail : most;
  if (stop >= 0) {
    if (const void* found = memchr(stream->cur, stop, n)) {
      n = static_cast<std::size_t>(static_cast<const unsigned char*>(found) - stream->cur) + 1;
    }
  }
  stream->cur += n;
  stream->avail -= static_cast<int>(n);
  return n;
}

}  // namespace

int stream_fill(Stream* stream) {
  if (!(stream->flags & STREAM_BUFSET)) stream_default_buffering(stream);
  if (stream->pushback != -1) {
    const int byte = stream->pushback;
    stream->pushback = -1;
    return byte;
  }
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
    stream->mark_offset = -1;
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
    if (byte == '\n' && !(stream->flags & STREAM_HOLDLINES)) {
      stream_write_out(stream);
    } else {
      line_flush_pending |= pending_bit(stream);
    }
  }
  return byte;
}

void stream_write_out(Stream* stream) { write_out(stream); }

void stream_hold_lines(Stream* stream, bool hold) {
  if (hold) {
    stream->flags |= STREAM_HOLDLINES;
    return;
  }
  stream->flags &= ~STREAM_HOLDLINES;
  if (line_flush_pending & pending_bit(stream)) write_out(stream);
}

void stream_drop_readahead(Stream* stream) {
  if (!stream->base || stream->cur >= stream->mark || (stream->flags & STREAM_STRING)) return;
  stream->mark_offset = lseek(stream->fd, stream->cur - stream->mark, SEEK_CUR);
  stream->mark = stream->cur;
  stream->avail = 0;
}

int fputs(const char* text, Stream* stream) {
  for (; *text; ++text) {
    if (putc(static_cast<unsigned char>(*text), stream) == EOF) return EOF;
  }
  return 0;
}

std::size_t fread(void* data, std::size_t size, std::size_t count, Stream* stream) {
  if (size == 0 || count > SIZE_MAX / size) return 0;
  auto* to = static_cast<unsigned char*>(data);
  const std::size_t wanted = size * count;
  std::size_t got = 0;
  while (got < wanted) {
    const unsigned char* run;
    const std::size_t n = stream_take(stream, wanted - got, -1, &run);
    if (n == 0) break;
    memcpy(to + got, run, n);
    got += n;
  }
  return got / size;
}

std::size_t fwrite(const void* data, std::size_t size, std::size_t count, Stream* stream) {
  if (size == 0 || count == 0 || count > SIZE_MAX / size) return 0;
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::size_t length = size * count;
  if (!(stream->flags & STREAM_BUFSET)) stream_default_buffering(stream);
  stream->pushback = -1;
  if (!stream->base) {
    // Unbuffered: every byte goes to the descriptor as putc sends it.
    std::size_t taken = 0;
    while (taken < length && stream_put_slow(bytes[taken], stream) != EOF) ++taken;
    return taken / size;
  }
  if (stream->cur < stream->mark) stream_drop_readahead(stream);

  Storing storing{stream, 0, 0};
  if (!(stream->flags & STREAM_LINEBUF)) {
    return storing.put(bytes, length) ? count : storing.written / size;
  }
  // Line buffering: bytes without a line feed wait in the buffer for one. A
  // call that holds a line feed writes out all it stores, the bytes after
  // its last line feed with the lines (unless the stream holds its lines),
  // so that copying makes one write per run: straight from the caller's
  // bytes when nothing is buffered before them and no translation is needed.
  const bool line = memchr(bytes, '\n', length) != nullptr;
  if (line && stream->cur == stream->mark && !is_text(stream)) {
    const std::size_t written = write_bytes(stream, bytes, length);
    if (written < length) stream->flags |= STREAM_ERR;
    return written / size;
  }
  if (!storing.put(bytes, length)) return storing.written / size;
  if (line && !(stream->flags & STREAM_HOLDLINES)) return storing.write_out() ? count : storing.written / size;
  line_flush_pending |= pending_bit(stream);
  return count;
}

std::size_t stream_take(Stream* stream, std::size_t most, int stop, const unsigned char** run) {
  if (most == 0) return 0;
  if (stream->avail > 0) {
    *run = stream->cur;
    return take_in_place(stream, most, stop);
  }
  // The slow path decides, refills and translates.
  const int byte = stream_fill(stream);
  if (byte == EOF) return 0;
  if (stream->base && stream->cur > stream->base && stream->cur[-1] == byte && byte != stop) {
    // The byte lies in the buffer just before the in-place run: the run
    // goes on from it.
    *run = stream->cur - 1;
    return 1 + take_in_place(stream, most - 1, stop);
  }
  stream->taken = static_cast<unsigned char>(byte);  // kept in the record
  *run = &stream->taken;
  return 1;
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
    // Asked, not remembered: a caller may have moved the descriptor itself.
    const off_t position = lseek(stream->fd, 0, SEEK_CUR);
    stream->mark_offset = position;
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
  stream->mark_offset = lseek(stream->fd, offset, whence);
  if (stream->mark_offset == -1) return -1;
  if (stream->base) stream->cur = stream->mark = stream->valid_start = stream->base;
  return 0;
}

off_t ftell(Stream* stream) {
  if (stream->mark_offset < 0) stream->mark_offset = lseek(stream->fd, 0, SEEK_CUR);
  return stream->mark_offset < 0 ? -1 : stream->mark_offset + (stream->cur - stream->mark);
}

void rewind(Stream* stream) {
  fseek(stream, 0, SEEK_SET);
  stream->flags &= ~(STREAM_EOF | STREAM_ERR);
}

}  // namespace rt
