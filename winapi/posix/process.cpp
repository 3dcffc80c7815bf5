// The process: version, sleeping and the end of the process.
#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

#include "winapi/posix/emulation.h"

namespace {

// Signal numbers of the runtime (the traditional POSIX values) whose default
// action ends a process, with the host signal that does the same here.
struct FatalSignal {
  unsigned number;
  int host;
};
constexpr FatalSignal kFatalSignals[] = {
    {1, SIGHUP}, {2, SIGINT},  {3, SIGQUIT}, {4, SIGILL},   {6, SIGABRT},
    {8, SIGFPE}, {9, SIGKILL}, {11, SIGSEGV}, {13, SIGPIPE}, {14, SIGALRM}, {15, SIGTERM},
};

}  // namespace

DWORD GetVersion() { return 0x1DB10106; }  // Windows NT 6.1, build 7601: the top bit is clear

void Sleep(DWORD milliseconds) {
  struct timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void ExitProcess(UINT code) {
  // A status of 256 plus a signal number is how the runtime ends a process
  // by a signal's default action. Here the real signal does it, so that the
  // parent sees the process killed by that signal.
  for (const FatalSignal& fatal : kFatalSignals) {
    if (code == 256 + fatal.number) {
      std::signal(fatal.host, SIG_DFL);
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, fatal.host);
      sigprocmask(SIG_UNBLOCK, &set, nullptr);
      std::raise(fatal.host);
    }
  }
  ::_exit(static_cast<int>(code & 0xFF));
}
