// A helper program for tests that need a process of their own:
//   child write-forever   writes lines to standard output until it fails
//   child raise N         raises signal N
//   child held TEXT       line-buffers TEXT (no line feed) on stdout, then exits
//   child held-raise TEXT line-buffers TEXT on stdout, then raises SIGPIPE
#include <cstdlib>
#include <string_view>

#include "runtime/startup/exit.h"
#include "runtime/stdio/stream.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/signals.h"

int main(int argc, char** argv) {
  if (rt::fd_init() != 0 || argc < 2) return 120;
  const std::string_view mode = argv[1];
  if (mode == "write-forever") {
    for (;;) {
      if (rt::write(1, "line\n", 5) < 0) return 121;
    }
  }
  if (mode == "raise" && argc == 3) {
    rt::raise(std::atoi(argv[2]));
    return 122;
  }
  if ((mode == "held" || mode == "held-raise") && argc == 3) {
    rt::setvbuf(rt::stdout, nullptr, rt::_IOLBF, 1024);
    rt::fputs(argv[2], rt::stdout);
    if (mode == "held-raise") rt::raise(rt::SIGPIPE);
    rt::exit(7);
  }
  return 123;
}
