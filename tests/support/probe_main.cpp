// A program that shows what the runtime's start-up gave it: "argc=<count>",
// then "argv=<argument>" and "env=<entry>" lines. Read from the host before
// start-up: PROBE_FAIL_ALLOCATION=N and PROBE_FAIL_REALLOCATION=N fail the
// Nth heap allocation or reallocation; PROBE_FAIL_WRITE=CODE fails the first
// write with that system error; PROBE_FAULT=ADDRESS writes to that address.
// Read after start-up: PROBE_FATAL=error ends the program by a fatal message
// with the error text of -3, PROBE_FATAL=xstrdup by xstrdup with no memory.
#include <cstdlib>
#include <string_view>

#include "runtime/msg/diag.h"
#include "runtime/msg/format.h"
#include "runtime/msg/heap.h"
#include "runtime/startup/start.h"

namespace {

int probe_main(int argc, char** argv, char** envp) {
  if (const char* address = std::getenv("PROBE_FAULT")) {
    *reinterpret_cast<volatile int*>(std::strtoull(address, nullptr, 16)) = 1;
  }
  rt::progname = "probe";
  if (const char* fatal = std::getenv("PROBE_FATAL")) {
    rt::errno = -3;
    if (std::string_view(fatal) == "error") rt::fatal("!with the error text");
    w32::hook::fail_nth(w32::hook::Call::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
    rt::xstrdup("text");
  }
  rt::printf("argc=%d\n", argc);
  for (int i = 0; i < argc; ++i) rt::printf("argv=%s\n", argv[i]);
  for (char** entry = envp; *entry; ++entry) rt::printf("env=%s\n", *entry);
  return 0;
}

}  // namespace

int main() {
  using w32::hook::Call;
  for (const auto& [variable, call] : {std::pair{"PROBE_FAIL_ALLOCATION", Call::HeapAlloc},
                                       std::pair{"PROBE_FAIL_REALLOCATION", Call::HeapReAlloc}}) {
    if (const char* nth = std::getenv(variable)) {
      w32::hook::fail_nth(call, static_cast<unsigned>(std::atoi(nth)), ERROR_NOT_ENOUGH_MEMORY);
    }
  }
  if (const char* code = std::getenv("PROBE_FAIL_WRITE")) {
    w32::hook::fail_nth(Call::WriteFile, 1, static_cast<DWORD>(std::atoi(code)));
  }
  rt::process_entry(probe_main);
}
