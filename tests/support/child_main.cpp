// A helper program for tests that need a process of their own:
//   child write-forever   writes lines to standard output until it fails
//   child raise N         raises signal N
#include <cstdlib>
#include <string_view>

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
  return 123;
}
