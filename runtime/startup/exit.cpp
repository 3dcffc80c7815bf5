// The end of the process and the exit-hook list.
#include "runtime/startup/exit.h"

#include "runtime/stdio/stream.h"

namespace rt {
namespace {

constexpr int kExitHooks = 32;

// A stack: entries 0 ... g_hook_count - 1, the newest on top.
ExitHook g_hooks[kExitHooks];
int g_hook_count = 0;

// Pops and calls the hooks until none is left; each is popped before it
// is called, so a hook that ends the process does not run twice.
void run_exit_hooks() {
  while (g_hook_count > 0) g_hooks[--g_hook_count]();
}

}  // namespace

int atexit(ExitHook hook) {
  if (g_hook_count == kExitHooks) return -1;
  g_hooks[g_hook_count++] = hook;
  return 0;
}

void exit(int status) {
  run_exit_hooks();
  if (stream_exit_hook) stream_exit_hook();
  exit_process(static_cast<unsigned>(status) & 0xFF);
}

void exit_process(unsigned status) { w32::ExitProcess(status); }

}  // namespace rt
