// Streams: the table, opening and closing, buffering decisions, flushing,
// and string streams over memory.
#include <climits>

#include "runtime/stdio/stream.h"

#include "runtime/msg/heap.h"
#include "runtime/win32/open.h"

namespace rt {
namespace {

constexpr unsigned kStandardFlags = STREAM_OPEN | (w32::kTextModeByDefault ? STREAM_TEXT : 0u);

// An open entry over a descriptor, buffering not yet decided.
constexpr Stream fresh_stream(int fd, unsigned flags) {
  return Stream{nullptr, 0, nullptr, nullptr, nullptr, nullptr, fd, flags, -1, -1, -1, 0};
}

// The mode character at place 1, or at place 2 when place 1 is not the end.
bool mode_has(const char* mode, char wanted) {
  return mode[1] == wanted || (mode[1] != '\0' && mode[2] == wanted);
}

// The lowest free entry of the table, or null.
Stream* stream_find_free() {
  for (Stream& stream : stream_table) {
    if (!(stream.flags & STREAM_OPEN)) return &stream;
  }
  return nullptr;
}

// Opens `name` (when fd is -1) or takes the descriptor, and sets up the
// entry. Buffering is not decided here.
Stream* stream_open_into(const char* name, const char* mode, Stream* stream, int fd) {
  unsigned flags;
  int access;
  switch (mode[0]) {
    case 'r': access = O_RDONLY; break;
    case 'w': access = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 'a': access = O_WRONLY | O_CREAT | O_APPEND; break;
    default: return nullptr;
  }
  if (mode_has(mode, 't')) {
    flags = STREAM_TEXT;
  } else if (mode_has(mode, 'b')) {
    flags = 0;
  } else {
    flags = stream_default_mode;
  }
  if (mode_has(mode, '+')) access = (access & ~3) | O_RDWR;
  if (fd == -1) {
    fd = open(name, access, 0666);
    if (fd < 0) return nullptr;
  }
  *stream = fresh_stream(fd, flags | STREAM_OPEN);
  return stream;
}

}  // namespace

Stream stream_table[STREAM_MAX] = {fresh_stream(0, kStandardFlags), fresh_stream(1, kStandardFlags),
                                   fresh_stream(2, kStandardFlags)};
unsigned stream_default_mode = w32::kTextModeByDefault ? STREAM_TEXT : 0u;
std::uint32_t line_flush_pending = 0;
void (*stream_exit_hook)() = nullptr;

void stream_default_buffering(Stream* stream) {
  if (fd_is_console(stream->fd) != 0) {
    stream->flags |= STREAM_CONSOLE;
  } else {
    stream->flags &= ~STREAM_CONSOLE;
  }
  const bool line = stream == stderr || (stream->flags & STREAM_CONSOLE);
  setvbuf(stream, nullptr, line ? _IOLBF : _IOFBF, STREAM_BUFSIZE);
}

Stream* fopen(const char* name, const char* mode) {
  Stream* stream = stream_find_free();
  return stream ? stream_open_into(name, mode, stream, -1) : nullptr;
}

Stream* fdopen(int fd, const char* mode) {
  Stream* stream = stream_find_free();
  return stream ? stream_open_into(nullptr, mode, stream, fd) : nullptr;
}

int setvbuf(Stream* stream, void* buffer, int mode, std::size_t size) {
  stream_exit_hook = stream_close_all;
  if ((stream->flags & (STREAM_OPEN | STREAM_BUFSET)) != STREAM_OPEN) return -1;
  unsigned owned = 0;
  if (mode == _IONBF) {
    buffer = nullptr;
    size = 0;
  } else if (mode == _IOLBF || mode == _IOFBF) {
    // avail counts the room of the buffer in an int.
    if (size == 0 || size > INT_MAX) return -1;
    if (!buffer) {
      buffer = malloc(size);
      if (!buffer) return -1;
      owned = STREAM_OWNBUF;
    }
  } else {
    return -1;
  }
  stream->base = static_cast<unsigned char*>(buffer);
  stream->end = stream->base + size;
  stream->flags |= static_cast<unsigned>(mode) | owned;
  if (buffer) {
    // Align the buffer with the file: offset k of the buffer holds the
    // file offsets congruent to k modulo the size.
    off_t position = lseek(stream->fd, 0, SEEK_CUR);
    stream->mark_offset = position;
    if (position < 0) position = 0;
    stream->cur = stream->mark = stream->valid_start = stream->base + position % static_cast<off_t>(size);
  }
  return 0;
}

int fflush(Stream* stream) {
  if (!stream) {
    for (Stream& entry : stream_table) {
      if (entry.flags & STREAM_OPEN) fflush(&entry);
    }
    return 0;
  }
  stream->pushback = -1;
  stream->flags &= ~STREAM_EOF;
  if (stream->cur < stream->mark) stream_drop_readahead(stream);
  if (stream->mark < stream->cur) stream_write_out(stream);
  return (stream->flags & STREAM_ERR) ? -1 : 0;
}

namespace {

// Ends a stream: pending output written (a character never finished as the
// bytes it has), read-ahead given back, its buffer freed. 0, or -1 when the
// write-out failed.
int stream_end(Stream* stream) {
  int result = fflush(stream);
  if (stream->form.kind != TextKind::kBytes) {
    // A character never finished is written as the bytes it has.
    const TextForm unfinished = stream_swap_form(stream, TextForm{});
    if (unfinished.held > 0 && fwrite(unfinished.partial, 1, unfinished.held, stream) < unfinished.held) {
      result = -1;
    }
    if (fflush(stream) != 0) result = -1;
  }
  if (stream->flags & STREAM_OWNBUF) free(stream->base);
  if (stream->wide) {
    free(stream->wide->raw);
    free(stream->wide);
    stream->wide = nullptr;
  }
  stream->form = TextForm{};
  stream->flags = 0;
  return result;
}

}  // namespace

int fclose(Stream* stream) {
  if (!(stream->flags & STREAM_OPEN)) return -1;
  const int fd = stream->fd;
  int result = stream_end(stream);
  if (close(fd) != 0) result = -1;
  return result;
}

int stream_detach(Stream* stream) {
  if (!(stream->flags & STREAM_OPEN)) return -1;
  const int fd = stream->fd;
  if (stream_end(stream) == 0) return fd;
  close(fd);
  return -1;
}

void stream_close_all() {
  for (Stream& stream : stream_table) {
    if (stream.flags & STREAM_OPEN) fclose(&stream);
  }
}

Stream* stream_open_string(void* area, int length, const char* mode, Stream* record) {
  auto* start = static_cast<unsigned char*>(area);
  const bool writing = mode[0] == 'w';
  const unsigned text = mode_has(mode, 't') ? STREAM_TEXT : 0;
  *record = Stream{start,
                   writing ? -length : length,
                   writing ? start : start + length,
                   start,
                   start + length,
                   start + length,
                   -1,
                   STREAM_OPEN | STREAM_STRING | STREAM_BUFSET | text,
                   -1,
                   -1,
                   -1,
                   0};
  return record;
}

int fileno(const Stream* stream) { return stream->fd; }

int ferror(const Stream* stream) { return (stream->flags & STREAM_ERR) != 0; }

int feof(const Stream* stream) { return (stream->flags & STREAM_EOF) != 0; }

void clearerr(Stream* stream) { stream->flags &= ~(STREAM_EOF | STREAM_ERR); }

void stream_set_binary(Stream* stream) { stream->flags &= ~STREAM_TEXT; }

}  // namespace rt
