// A program that shows what start-up gave it: one line per argument and
// per environment entry, "argv=<argument>" and "env=<entry>". Started like
// the real program, through the runtime's start-up. PROBE_FAIL_ALLOCATION=N
// (read from the host before start-up) makes the Nth heap allocation fail;
// PROBE_FAULT=ADDRESS makes the program write to that address (0: an
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
  if (const char* nth = std::getenv("PROBE_FAIL_ALLOCATION")) {
    w32::hook::fail_nth(w32::hook::Call::HeapAlloc, static_cast<unsigned>(std::atoi(nth)), ERROR_NOT_ENOUGH_MEMORY);
  }
  rt::process_entry(probe_main);
}
