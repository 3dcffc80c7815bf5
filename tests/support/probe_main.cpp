// A program that shows what start-up gave it: "argc=<count>", then one line
// per argument and per environment entry, "argv=<argument>" and
// "env=<entry>". Started like the real program, through the runtime's
// start-up. Read from the host before start-up: PROBE_FAIL_ALLOCATION=N and
// PROBE_FAIL_REALLOCATION=N make the Nth heap allocation or reallocation
// fail; PROBE_FAIL_WRITE=CODE makes the first write fail with that system
// error; PROBE_FAULT=ADDRESS makes the program write to that address (0: an
// exception nobody handles).
#include <cstdlib>

#include "runtime/msg/format.h"
#include "runtime/startup/start.h"

namespace {

int probe_main(int argc, char** argv, char** envp) {
  if (const char* address = std::getenv("PROBE_FAULT")) {
    *reinterpret_cast<volatile int*>(std::strtoull(address, nullptr, 16)) = 1;
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
