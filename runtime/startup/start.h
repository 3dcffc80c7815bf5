// Program start-up: the process entry, the argument vector from one of its
// three sources, and the environment vector.
//
// Argument sources, chosen by a "signal": a tab right after the program name
// on the command line counts 1, a valid argument block counts 1.
//  - block passing: NVOARGS names a shared memory block (ArgBlock below)
//    meant for this process;
//  - tilde passing: a tab after the program name and "~" environment
//    entries, one argument each;
//  - otherwise the command line is split into words, with quotes, and words
//    with unquoted wildcards are expanded, unless a file or folder has
//    exactly such a word's name.
// Arguments from the two passing sources are taken as they are. The command
// line and the environment are taken in the code page the file functions
// use (the console's OEM page): a typed name opens the file it names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/prelude.h"
#include "runtime/startup/glob.h"

namespace rt {

using ProgramMain = int (*)(int argc, char** argv, char** envp);

// The process entry: start-up under the entry's exception filter, which
// ends the process with the exception's code.
[[noreturn]] void process_entry(ProgramMain program);

// Start-up, then exit(program(argc, argv, environ)).
[[noreturn]] void _main(ProgramMain program);

// Writes the message to the standard error handle in one write and ends the
// process with status 127; needs no stream, no message and no memory.
[[noreturn]] void startup_fail(const char* message);

// Appends a copy of a word (a null entry for null) to the argument vector:
// 0, or -2 when memory is exhausted.
int argv_append(glob_t* vector, const char* word);

// --- The pieces of start-up ---------------------------------------------------

// True when the first blank, tab or end of the command line is a tab.
bool tab_signal(const char* command_line);

// ArgBlock, the shared memory block of block passing (32-bit little-endian):
// offset 8 the id of the process it is meant for, offset 16 the number of
// strings (argv[0] included), from offset 20 the strings back to back.
constexpr std::size_t kArgBlockStrings = 20;
// True when a block of `size` bytes is meant for process `pid` and its
// strings all end inside it.
bool arg_block_fits(const unsigned char* block, std::size_t size, std::uint32_t pid);

// What the first pass over the environment block finds.
struct EnvironmentScan {
  int tilde_entries = 0;             // entries beginning with "~"
  int entries = 0;                   // entries counted for environ
  const char* upper_path = nullptr;  // the last "PATH=" entry
  const char* mixed_path = nullptr;  // the last "Path=" entry
  const unsigned char* arg_block = nullptr;  // the block of the last NVOARGS entry, when valid
};
// The first pass: counts, the PATH entries and the argument block.
EnvironmentScan scan_environment(const char* block);

// The second pass: the environment vector without "=" and "~" entries and
// NVOARGS, with at most one path variable, named "PATH", as its last entry.
// With tilde passing, the "~" entries' texts go to tilde_args in order.
// Null when memory is exhausted.
char** build_environment(const char* block, const EnvironmentScan& scan, char** tilde_args);

// The argument vector of a command line: its words, the program name
// first, then a null; `argc` gets the number of words. A word with an
// unquoted wildcard is replaced by the sorted names that match it, or stays
// as typed when none does or when a file or folder has exactly its name.
// Memory exhausted: startup_fail.
char** split_command_line(const char* line, int* argc);

// The command line in the names' page, every character kept, so that a
// typed name names its file. Null when memory is exhausted.
char* command_line_text(const WCHAR* line);
// An environment block of UTF-16 units (zero-ended entries, then an empty
// one) in the names' page. Null when memory is exhausted.
char* environment_text(const WCHAR* block);

}  // namespace rt
