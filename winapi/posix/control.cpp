// Console control events: Ctrl+C, Ctrl+Break and the console closing come
// here as SIGINT, SIGQUIT and SIGHUP. Once a handler is registered a thread
// of the emulation's waits for them and, as the thread Windows starts for
// each event does, calls the handlers, newest first, until one returns TRUE.
// When none does, the default handling ends the process with
// STATUS_CONTROL_C_EXIT, which ExitProcess turns back into the signal.
#include <atomic>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <vector>

#include "winapi/posix/emulation.h"

namespace {

struct ControlSignal {
  int host;
  DWORD event;
};
constexpr ControlSignal kControlSignals[] = {
    {SIGINT, CTRL_C_EVENT}, {SIGQUIT, CTRL_BREAK_EVENT}, {SIGHUP, CTRL_CLOSE_EVENT}};

std::mutex g_lock;                          // guards g_handlers and g_listening
std::vector<PHANDLER_ROUTINE> g_handlers;  // oldest first
bool g_listening = false;                  // the thread that waits for the signals runs
std::atomic<int> g_signal = 0;             // the signal of the last event, once one came

sigset_t control_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const ControlSignal& control : kControlSignals) sigaddset(&set, control.host);
  return set;
}

// The thread of the events: each signal is an event for the handlers
// registered when it comes.
void* deliver_events(void*) {
  const sigset_t set = control_signals();
  for (;;) {
    int caught = 0;
    if (sigwait(&set, &caught) != 0) continue;
    g_signal = caught;
    DWORD event = CTRL_C_EVENT;
    for (const ControlSignal& control : kControlSignals) {
      if (control.host == caught) event = control.event;
    }
    std::vector<PHANDLER_ROUTINE> handlers;
    {
      const std::lock_guard<std::mutex> held(g_lock);
      handlers = g_handlers;  // a handler may register another
    }
    bool handled = false;
    for (auto handler = handlers.rbegin(); !handled && handler != handlers.rend(); ++handler) {
      handled = (*handler)(event) != FALSE;
    }
    if (!handled) ExitProcess(STATUS_CONTROL_C_EXIT);
  }
}

}  // namespace

int w32::posix::control_signal() {
  const int caught = g_signal;
  return caught != 0 ? caught : SIGINT;
}

// Adds a handler. The first one starts the thread of the events; the
// signals are blocked in the calling thread first, so that the thread
// started inherits the block and every signal waits for its sigwait (threads
// started earlier would have to block them too). Handlers are never removed
// here, and ignoring Ctrl+C (a null handler) is not emulated.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
  if (!routine || !add) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::lock_guard<std::mutex> held(g_lock);
  if (!g_listening) {
    const sigset_t set = control_signals();
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &set, &before);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, deliver_events, nullptr) != 0) {
      pthread_sigmask(SIG_SETMASK, &before, nullptr);  // the signals keep their default action
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    pthread_detach(thread);
    g_listening = true;
  }
  g_handlers.push_back(routine);
  return TRUE;
}
