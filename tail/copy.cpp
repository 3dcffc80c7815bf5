// Copying a run at a time: each function has the effect of a loop of getc
// and putc calls (the same bytes, text-mode translation and line
// buffering), with the runs taken straight from the input's buffer.
#include <cstdint>

#include "tail/tail.h"

namespace tail {

void write_run(const unsigned char* run, std::size_t n, bool* held_return) {
  if (held_return) {
    if (*held_return) rt::putc('\r', rt::stdout);
    *held_return = run[n - 1] == '\r';
    n -= *held_return;
  }
  rt::fwrite(run, 1, n, rt::stdout);
}

void copy_to_stdout(rt::Stream* in, bool* held_return) {
  rt::stream_hold_lines(rt::stdout, true);
  const bool held = rt::stream_copy(in, rt::stdout, held_return != nullptr);
  if (held_return) *held_return = held;
  rt::stream_hold_lines(rt::stdout, false);
}

bool skip_bytes(rt::Stream* in, std::int64_t count) {
  const unsigned char* run;
  while (count > 0) {
    const std::size_t n = rt::stream_take(in, static_cast<std::size_t>(count), -1, &run);
    if (n == 0) return false;
    count -= static_cast<std::int64_t>(n);
  }
  return true;
}

bool skip_line(rt::Stream* in) {
  const unsigned char* run;
  for (;;) {
    const std::size_t n = rt::stream_take(in, SIZE_MAX, '\n', &run);
    if (n == 0) return false;
    if (run[n - 1] == '\n') return true;
  }
}

}  // namespace tail
