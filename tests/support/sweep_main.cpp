// tail.exe's command through start-up while the Nth call through the seam fails (all calls counted together):
// SWEEP_NTH=N (none without it). SWEEP_MARKER=PATH gets the failing function's name when reached, and "following" at
// follow mode's first pause, where the process ends with status 0. SWEEP_COMMAND_LINE: the arguments, split and
// expanded by start-up's splitter. SWEEP_GROW=PATH gains a line once a file's status (its size) was read. Allocations
// fail with ERROR_NOT_ENOUGH_MEMORY, others with ERROR_ACCESS_DENIED: unlike broken-pipe codes, nothing special.
#include <cstdio>
#include <cstdlib>
#include <utility>
#include "runtime/startup/exit.h"
#include "runtime/startup/start.h"
#include "tail/tail.h"

namespace {
constexpr const char* kCallNames[] = {
#define SWEEP_CALL_NAME(result, name, ...) #name,
    W32_HOOKED_CALLS(SWEEP_CALL_NAME)
#undef SWEEP_CALL_NAME
};
const char* g_marker = nullptr;
const char* g_command_line = nullptr;
const char* g_grow = nullptr;
void append(const char* path, const char* line) {
  if (std::FILE* file = path ? std::fopen(path, "ab") : nullptr) {
    std::fprintf(file, "%s\n", line);
    std::fclose(file);
  }
}
DWORD fail(w32::hook::Call fn) {
  using w32::hook::Call;
  append(g_marker, kCallNames[static_cast<unsigned>(fn)]);
  const bool heap = fn == Call::GetProcessHeap || fn == Call::HeapAlloc || fn == Call::HeapReAlloc;
  return heap ? ERROR_NOT_ENOUGH_MEMORY : ERROR_ACCESS_DENIED;
}
BOOL read_status_then_grow(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  const BOOL read = ::GetFileInformationByHandle(file, info);
  append(std::exchange(g_grow, nullptr), "appended after the size was taken");
  return read;
}
DWORD pause(DWORD, BOOL) {
  append(g_marker, "following");
  rt::exit_process(0);
}
int sweep_main(int argc, char** argv, char** envp) {
  if (g_command_line) argv = rt::split_command_line(g_command_line, &argc);
  return tail::main(argc, argv, envp);
}
}  // namespace
int main() {
  g_marker = std::getenv("SWEEP_MARKER");
  g_command_line = std::getenv("SWEEP_COMMAND_LINE");
  g_grow = std::getenv("SWEEP_GROW");
  w32::hook::replacements.SleepEx = pause;
  w32::hook::replacements.GetFileInformationByHandle = read_status_then_grow;
  if (const char* nth = std::getenv("SWEEP_NTH")) w32::hook::fail_any_nth(static_cast<unsigned>(std::atoi(nth)), fail);
  rt::process_entry(sweep_main);
}
