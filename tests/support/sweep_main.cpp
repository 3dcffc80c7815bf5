// The tail program under a fault sweep: the command as tail.exe runs it, through start-up, while the Nth call
// through the seam fails (all functions' calls counted together). From the host's environment:
//   SWEEP_NTH=N             the call that fails; none without it
//   SWEEP_MARKER=PATH       gets a line with the failing function's name when it is reached, "following" when
//                           following has begun (at the first pause, where the process ends with status 0)
//   SWEEP_COMMAND_LINE=...  the arguments, split and expanded by start-up's own splitter
//   SWEEP_GROW=PATH         PATH gains a line once a file's status has been read: tail has taken its size
// An allocation fails with ERROR_NOT_ENOUGH_MEMORY, every other call with ERROR_ACCESS_DENIED, which means nothing
// special to the runtime (the broken-pipe codes would read as an end of input or a signal).
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

// The pause of follow mode ends the run.
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
  if (const char* nth = std::getenv("SWEEP_NTH")) {
    w32::hook::fail_any_nth(static_cast<unsigned>(std::atoi(nth)), fail);
  }
  rt::process_entry(sweep_main);
}
