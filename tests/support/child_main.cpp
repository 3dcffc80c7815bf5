// A helper program for tests that need a process of their own. It starts
// through the runtime's start-up, as the real program does:
//   child write-forever    writes lines to standard output until it fails
//   child raise N          raises signal N
//   child held TEXT        line-buffers TEXT (no line feed) on stdout, then exits with 7
//   child held-raise TEXT  line-buffers TEXT on stdout, then raises SIGPIPE
//   child exit N           exits with status N
//   child atexit           registers hooks until the list is full, then exits
//   child fatal            a fatal message without the error text
//   child fatal-error      a fatal message with the error text of -3
//   child xstrdup          xstrdup with no memory left
#include <cstdlib>
#include <string_view>

#include "runtime/msg/diag.h"
#include "runtime/msg/heap.h"
#include "runtime/startup/exit.h"
#include "runtime/startup/start.h"
#include "runtime/stdio/stream.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/signals.h"

// Started like the program itself, through the runtime's start-up.
int child_main(int argc, char** argv, char** /*envp*/) {
  if (argc < 2) return 120;
  rt::progname = "child";
  const std::string_view mode = argv[1];
  const char* argument = argc > 2 ? argv[2] : "";
  if (mode == "write-forever") {
    for (;;) {
      if (rt::write(1, "line\n", 5) < 0) return 121;
    }
  }
  if (mode == "raise") {
    rt::raise(std::atoi(argument));
    return 122;
  }
  if (mode == "held" || mode == "held-raise") {
    rt::setvbuf(rt::stdout, nullptr, rt::_IOLBF, 1024);
    rt::fputs(argument, rt::stdout);
    if (mode == "held-raise") rt::raise(rt::SIGPIPE);
    rt::exit(7);
  }
  if (mode == "exit") rt::exit(std::atoi(argument));
  if (mode == "atexit") {
    rt::atexit([] { rt::write(1, "a", 1); });
    rt::atexit([] { rt::write(1, "b", 1); });
    rt::atexit([] { rt::write(1, "c", 1); });
    int registered = 3;
    while (rt::atexit([] {}) == 0) ++registered;
    rt::fprintf(rt::stdout, "%d registered:", registered);
    rt::exit(0);
  }
  if (mode == "fatal") rt::fatal("5##plain message %d", 7);
  if (mode == "fatal-error") {
    rt::errno = -3;
    rt::fatal("!with the error text");
  }
  if (mode == "xstrdup") {
    w32::hook::fail_nth(w32::hook::Call::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
    rt::xstrdup("text");
  }
  return 123;
}

int main() { rt::process_entry(child_main); }
