// Child processes for the tests: a program started with its standard
// streams in files or pipes, watched while it runs, and its exit status as
// Windows reports it (a process ended by signal s on POSIX gives 256 + s,
// as the runtime's own signal delivery does on Windows).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/support.h"

namespace support {

// The block a starting program passes through NVOARGS (Windows only).
struct ArgumentBlock {
  std::vector<std::string> args;
  bool for_this_process = true;  // false: meant for another process id
  bool overrun = false;          // true: the last string runs to the end of the mapping unended
};

struct RunOptions {
  std::string cwd;                  // the child's current directory; "" for ours
  std::string input;                // standard input's bytes
  bool input_pipe = false;          // standard input is a pipe (else a file)
  bool input_closed = false;        // there is no standard input at all
  std::string input_path;           // standard input comes from this existing file instead
  bool output_reader_gone = false;  // standard output is a pipe whose reading end is closed
  std::string output_path;          // standard output goes to this existing file (as /dev/full)
  std::optional<std::vector<std::string>> environment;  // the whole environment, "name=value"
  bool expand_wildcards = false;    // args with *, ? or [ are expanded as at a prompt: natively as the
                                    // shell does it, on Windows by the program itself
  std::string command_line;         // Windows: the raw command line (the args are then unused)
  std::optional<ArgumentBlock> argument_block;  // Windows: passed through NVOARGS
};

struct ChildResult {
  unsigned status;
  std::string out;
  std::string err;
};

class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {});
  ~Child();  // kills the child if it still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // What the child wrote so far to standard output (in its own file) and error.
  std::string out() const { return ScratchDir::read((files_.path() / "out").string()); }
  std::string err() const { return ScratchDir::read((files_.path() / "err").string()); }
  // Waits until standard output holds exactly `text`; false after the timeout.
  bool wait_for_out(const std::string& text, std::chrono::milliseconds timeout) const;
  // The exit status, or nothing when the child still runs after the timeout.
  std::optional<unsigned> wait(std::chrono::milliseconds timeout);
  void kill();

  struct State;

 private:
  ScratchDir files_;              // standard input, output and error, when they are files
  std::unique_ptr<State> state_;  // the host's handle on the process
  std::thread writer_;            // feeds a standard input pipe while the child runs
};

// Runs a program to its end (killed after a minute) and collects what it left.
ChildResult run(const std::string& program, const std::vector<std::string>& args, const RunOptions& options = {});

// The tail program of this build, run or started in `cwd` with the built-in
// English messages unless the options name an environment.
ChildResult run_tail(const std::filesystem::path& cwd, const std::vector<std::string>& args, RunOptions options = {});
std::unique_ptr<Child> start_tail(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                                  RunOptions options = {});

}  // namespace support
