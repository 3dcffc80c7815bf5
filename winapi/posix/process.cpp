// The process: version, command line, environment, start-up settings,
// sleeping and the end of the process.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

#include "winapi/posix/emulation.h"

extern char** environ;

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

// Ends the process by a signal's default action, as the parent sees it.
void end_by_signal(int host) {
  std::signal(host, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, host);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  std::raise(host);
}

// The process's arguments as the kernel keeps them, each ended by a zero
// byte. Read with plain system calls: C++ streams would set up their locale
// machinery at every start for this one read.
std::string process_arguments() {
  std::string arguments;
  const int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return arguments;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    arguments.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return arguments;
}

}  // namespace

DWORD GetVersion() { return 0x1DB10106; }  // Windows NT 6.1, build 7601: the top bit is clear

// The shell has already split and expanded the arguments. Each one is given
// back in single quotes, where nothing is special, and a single quote
// inside one in double quotes: the command-line splitter returns exactly
// the arguments the process was started with, and expands no wildcard.
// Names are bytes here: each byte of the line is one unit (0-255), which
// WideCharToMultiByte gives back as that byte from the OEM page.
LPWSTR GetCommandLineW() {
  static std::u16string line = [] {
    const std::string arguments = process_arguments();
    std::u16string quoted;
    const auto append = [&quoted](std::string_view text) {
      for (const char c : text) quoted += static_cast<char16_t>(static_cast<unsigned char>(c));
    };
    for (std::size_t start = 0; start < arguments.size();) {
      const std::size_t end = arguments.find('\0', start);
      if (!quoted.empty()) quoted += u' ';
      quoted += u'\'';
      for (std::size_t i = start; i < end; ++i) {
        append(arguments[i] == '\'' ? std::string_view("'\"'\"'") : std::string_view(&arguments[i], 1));
      }
      quoted += u'\'';
      start = end + 1;
    }
    return quoted;
  }();
  return line.data();
}

// A new block of the process's environment: "name=value" entries, each
// ended by a zero unit, and an empty entry at the end; a byte is a unit.
LPWCH GetEnvironmentStringsW() {
  std::size_t size = 1;
  for (char** entry = environ; entry && *entry; ++entry) size += std::strlen(*entry) + 1;
  auto* block = new WCHAR[size];
  WCHAR* at = block;
  for (char** entry = environ; entry && *entry; ++entry) {
    for (const char* c = *entry; *c; ++c) *at++ = static_cast<unsigned char>(*c);
    *at++ = 0;
  }
  *at = 0;
  return block;
}

BOOL FreeEnvironmentStringsW(LPWCH block) {
  delete[] block;
  return TRUE;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

// No mapping object can be inherited here: a handle never names one.
LPVOID MapViewOfFile(HANDLE /*mapping*/, DWORD /*access*/, DWORD /*offset_high*/, DWORD /*offset_low*/,
                     SIZE_T /*bytes*/) {
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

SIZE_T VirtualQuery(LPCVOID /*address*/, PMEMORY_BASIC_INFORMATION /*information*/, SIZE_T /*size*/) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

// A process handle is a descriptor that becomes readable when the process
// ends (a pidfd): what a wait on a Win32 process handle waits for.
HANDLE OpenProcess(DWORD /*access*/, BOOL /*inherit*/, DWORD process_id) {
  const auto fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(process_id), 0));
  if (fd < 0) {
    if (errno == ESRCH || errno == EINVAL) {
      SetLastError(ERROR_INVALID_PARAMETER);  // as Windows answers for an id no process has
    } else {
      w32::posix::set_error_from_errno();
    }
    return nullptr;
  }
  return w32::posix::adopt_fd(fd);
}

UINT SetErrorMode(UINT mode) {
  static UINT current = 0;
  const UINT previous = current;
  current = mode;
  return previous;
}


// There are no structured exceptions here: a fault ends the process by its
// signal, as any POSIX program's does. The filter is kept and never called.
LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  static LPTOP_LEVEL_EXCEPTION_FILTER current = nullptr;
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = current;
  current = filter;
  return previous;
}

void Sleep(DWORD milliseconds) {
  struct timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void ExitProcess(UINT code) {
  // A status of 256 plus a signal number is how the runtime ends a process
  // by a signal's default action, and STATUS_CONTROL_C_EXIT how Windows ends
  // one at Ctrl+C, Ctrl+Break or the console closing. Here the real signal
  // does it (the one that brought the event), so that the parent sees the
  // process killed by that signal.
  if (code == STATUS_CONTROL_C_EXIT) end_by_signal(w32::posix::control_signal());
  for (const FatalSignal& fatal : kFatalSignals) {
    if (code == 256 + fatal.number) end_by_signal(fatal.host);
  }
  ::_exit(static_cast<int>(code & 0xFF));
}

// The program's own path, as the kernel names it; 0 when it cannot be had
// or does not fit (with the terminator) in `size` bytes.
DWORD GetModuleFileNameW(HMODULE /*module*/, LPWSTR name, DWORD size) {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n < 0) {
    w32::posix::set_error_from_errno();
    return 0;
  }
  path.resize(static_cast<std::size_t>(n));
  if (path.size() >= size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  return w32::posix::give_units(path, name, size);
}
