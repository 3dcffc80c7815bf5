// Copying on whole buffered runs. Each function has exactly the effect of a
// loop of in-place getc and putc calls: the same bytes, the same system
// calls and the same buffer states, since every byte that the in-place
// paths would not take still goes through stream_fill or stream_put_slow.
// They only save the per-byte work on the runs in between.
#include "tail/tail.h"

#include "runtime/string.h"

namespace tail {
namespace {

// Takes `length` bytes that the in-place getc would deliver off the input.
void consume(rt::Stream* in, std::size_t length) {
  in->cur += length;
  in->avail -= static_cast<int>(length);
}

// Writes bytes as putc would: runs without a line feed go straight into the
// room of the buffer; a line feed, or a byte without room, takes the slow path.
void put_bytes(const unsigned char* bytes, std::size_t length) {
  rt::Stream* out = rt::stdout;
  while (length > 0) {
    if (out->avail < 0 && *bytes != '\n') {
      const std::size_t room = static_cast<std::size_t>(-static_cast<long long>(out->avail));
      std::size_t run = length < room ? length : room;
      if (const void* line_feed = rt::memchr(bytes, '\n', run)) {
        run = static_cast<std::size_t>(static_cast<const unsigned char*>(line_feed) - bytes);
      }
      rt::memcpy(out->cur, bytes, run);
      out->cur += run;
      out->avail += static_cast<int>(run);
      bytes += run;
      length -= run;
    } else {
      rt::stream_put_slow(*bytes++, out);
      --length;
    }
  }
}

}  // namespace

void write_to_stdout(const char* bytes, std::size_t length) {
  put_bytes(reinterpret_cast<const unsigned char*>(bytes), length);
}

void copy_to_stdout(rt::Stream* in) {
  for (;;) {
    if (in->avail > 0) {
      // The bytes are taken off the input before they are written, as getc
      // comes before putc; writing never touches the input stream.
      const unsigned char* run = in->cur;
      const auto length = static_cast<std::size_t>(in->avail);
      consume(in, length);
      put_bytes(run, length);
    } else {
      const int c = rt::stream_fill(in);
      if (c == rt::EOF) return;
      rt::putc(c, rt::stdout);
    }
  }
}

bool skip_line(rt::Stream* in) {
  for (;;) {
    if (in->avail > 0) {
      const auto length = static_cast<std::size_t>(in->avail);
      if (const void* line_feed = rt::memchr(in->cur, '\n', length)) {
        consume(in, static_cast<std::size_t>(static_cast<const unsigned char*>(line_feed) - in->cur) + 1);
        return true;
      }
      consume(in, length);
    }
    const int c = rt::stream_fill(in);
    if (c == rt::EOF) return false;
    if (c == '\n') return true;
  }
}

}  // namespace tail
