// The tail command: the option state, the output driver, the modes that
// write the end of the input, and follow mode.
#pragma once

#include <cstdint>

#include "runtime/prelude.h"
#include "runtime/stdio/stream.h"

namespace tail {

// The option state, set by the option loop and read by the output modes.
struct TailOptions {
  std::int32_t count = 10;      // the number given, in units of `unit`
  std::int32_t from_end = 1;    // 1: counted from the end; 0: from the beginning
  std::int32_t unit = 5;        // index of the unit letter in kUnitLetters
  std::uint8_t follow = 0;      // 1 once -f (or an f letter) was read
  char unit_letter = 0;         // the unit letter as typed; 0 while none was given
  const char* current_arg = nullptr;  // the argument being parsed, quoted in messages
};
extern TailOptions options;

// Units: lines (l, n), 512-byte blocks (b), bytes (c), kilobytes (k), megabytes (m).
inline constexpr char kUnitLetters[] = "lbckmn";
// The line ring reserves this many bytes a line up front (it may use more).
constexpr std::int32_t kLineSlotSize = 2048;
// The backward scan reads a page first and then blocks of up to kScanBlockSize.
constexpr std::int32_t kScanFirstBlockSize = 4096;
constexpr std::int32_t kScanBlockSize = 65536;
// The input's buffer, and standard output's (line-buffered all the same).
constexpr std::size_t kInputBufferSize = 65536;
constexpr std::size_t kOutputBufferSize = 65536;

// Options, input and output mode: the exit status.
int main(int argc, char** argv, char** envp);
// Prints the usage text and ends the process with status 2.
[[noreturn]] void usage();
// 1 when the text is a whole decimal number in the 32-bit range, else 0.
int is_number(const char* text);
// Reads a count with its sign into the options; the position after it.
const char* parse_count(const char* text, int obsolescent);
// Reads a unit letter and an 'f', in either order; the position after them.
// flag: in 1 for the obsolescent forms, 0 otherwise; out 1 when an f was read.
const char* parse_units(const char* text, int& flag);

// Picks the output mode for the input and runs it: 0 or 1.
int tail_stream(rt::Stream* stream, const char* name);
// Skips `count` lines, then copies the rest.
int skip_lines(rt::Stream* stream, const char* name);
// Drops `skip` bytes, then copies the rest.
int copy_rest(rt::Stream* stream, std::int64_t skip, const char* name);
// The end of every copying mode: input error, flush, output error, follow.
int end_of_copy_checks(rt::Stream* stream, const char* name);
// The diagnostic of a failed read of the input; the status 1 it ends with.
int read_error(const char* name);
// The same, then the end of the process with status 1: a read error while
// lines are skipped or kept in the ring.
[[noreturn]] void read_error_exit(const char* name);

// The last lines of a positionable input of `size` bytes: a backward scan.
int last_lines_seek(rt::Stream* stream, rt::off_t size, const char* name);
// The last lines of any input: a ring of count + 1 line slots.
int last_lines_ring(rt::Stream* stream, const char* name);
// The last `offset` bytes of any input: a ring of that many bytes.
int last_bytes_ring(rt::Stream* stream, std::int64_t offset, const char* name);

// With -f and a disk file: copies what is appended, polling every 2
// seconds, and never returns. 0 when not following, 1 when following
// cannot be set up.
int follow_stream(rt::Stream* stream);
// Pauses for some seconds; 0.
int sleep(unsigned seconds);

// Copying a run at a time, with the effect of a getc/putc loop.
// Copies the input to stdout until its end.
void copy_to_stdout(rt::Stream* stream);
// Drops `count` bytes of input; false when the input ends first.
bool skip_bytes(rt::Stream* stream, std::int64_t count);
// Drops input up to and including the next line feed; false when the input
// ends first.
bool skip_line(rt::Stream* stream);

}  // namespace tail
