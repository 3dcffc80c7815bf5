// Handles and the byte I/O on them: the registry of open objects, the
// standard handles, ReadFile, WriteFile, SetFilePointer, GetFileType,
// GetConsoleMode, DuplicateHandle and CloseHandle over POSIX descriptors.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "winapi/posix/emulation.h"

namespace w32::posix {
namespace {

// Win32 has no broken-pipe signal: a write to a pipe without a reader fails
// with an error code. The emulation gives POSIX writes the same behaviour.
const bool g_sigpipe_ignored = (std::signal(SIGPIPE, SIG_IGN), true);

// Slot i holds the object of handle value 4 * (i + 1); null slots are free.
std::vector<std::unique_ptr<Object>> g_objects;
// Every slot below this one is in use: the search for a free one starts here.
std::size_t g_lowest_free = 0;

std::size_t index_of(HANDLE handle) {
  return reinterpret_cast<std::uintptr_t>(handle) / 4 - 1;
}

}  // namespace

HANDLE adopt(Object object) {
  (void)g_sigpipe_ignored;
  std::size_t index = g_lowest_free;
  while (index < g_objects.size() && g_objects[index]) ++index;
  if (index == g_objects.size()) g_objects.emplace_back();
  g_objects[index] = std::make_unique<Object>(std::move(object));
  g_lowest_free = index + 1;
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>((index + 1) * 4));
}

HANDLE adopt_fd(int fd) {
  Object object;
  object.fd = fd;
  return adopt(std::move(object));
}

Object* object_of(HANDLE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0 || value % 4 != 0 || value / 4 > g_objects.size() || !g_objects[index_of(handle)]) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return g_objects[index_of(handle)].get();
}

DWORD type_of(mode_t mode) {
  if (S_ISFIFO(mode) || S_ISSOCK(mode)) return FILE_TYPE_PIPE;
  return S_ISCHR(mode) ? FILE_TYPE_CHAR : FILE_TYPE_DISK;
}

void release(HANDLE handle) {
  const std::size_t index = index_of(handle);
  g_objects[index].reset();
  if (index < g_lowest_free) g_lowest_free = index;
}

namespace {

// Win32 handles here are always blocking. A descriptor inherited in
// non-blocking mode waits until it is ready instead of failing with EAGAIN.
// Returns false when waiting failed (errno set).
bool wait_ready(int fd, short events) {
  struct pollfd entry{fd, events, 0};
  int n;
  do {
    n = ::poll(&entry, 1, -1);
  } while (n < 0 && errno == EINTR);
  return n >= 0;
}

// A read or write on a descriptor opened without that access fails with
// EBADF; Windows reports the same mistake as "access denied".
void set_io_error() {
  if (errno == EBADF) {
    ::SetLastError(ERROR_ACCESS_DENIED);
  } else {
    set_error_from_errno();
  }
}

// Runs one read or write, io(fd), on the descriptor of a handle: again when
// a signal interrupted it, and after waiting for `ready` when the descriptor
// is in non-blocking mode and not ready. The byte count, or -1 with the last
// error set.
template <class Io>
ssize_t transfer(HANDLE handle, short ready, Io io) {
  Object* object = object_of(handle);
  if (!object) return -1;
  ssize_t n;
  do {
    n = io(object->fd);
  } while (n < 0 && (errno == EINTR || (errno == EAGAIN && wait_ready(object->fd, ready))));
  if (n < 0) set_io_error();
  return n;
}

}  // namespace
}  // namespace w32::posix

using w32::posix::object_of;
using w32::posix::Object;

HANDLE GetStdHandle(DWORD which) {
  // Each standard handle is made once, for the descriptor the process was
  // started with; a descriptor that is not open gives no handle (null).
  static HANDLE handles[3];
  static bool made[3];
  int fd;
  switch (which) {
    case STD_INPUT_HANDLE: fd = 0; break;
    case STD_OUTPUT_HANDLE: fd = 1; break;
    case STD_ERROR_HANDLE: fd = 2; break;
    default: SetLastError(ERROR_INVALID_HANDLE); return INVALID_HANDLE_VALUE;
  }
  if (!made[fd]) {
    made[fd] = true;
    handles[fd] = ::fcntl(fd, F_GETFD) == -1 ? nullptr : w32::posix::adopt_fd(fd);
  }
  return handles[fd];
}

HANDLE GetCurrentProcess() { return INVALID_HANDLE_VALUE; }  // the pseudo handle, as on Windows

BOOL CloseHandle(HANDLE handle) {
  Object* object = object_of(handle);
  if (!object) return FALSE;
  w32::posix::abandon_request(handle, *object);
  const int fd = object->fd;
  w32::posix::release(handle);
  // After close() the descriptor is gone whatever it reports (EINTR included).
  if (::close(fd) != 0 && errno != EINTR) {
    w32::posix::set_error_from_errno();
    return FALSE;
  }
  return TRUE;
}

BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process, HANDLE* target,
                     DWORD /*access*/, BOOL inherit, DWORD options) {
  if (source_process != GetCurrentProcess() || target_process != GetCurrentProcess() ||
      !(options & DUPLICATE_SAME_ACCESS) || !target) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Object* object = object_of(source);
  if (!object) return FALSE;
  const int copy = ::fcntl(object->fd, inherit ? F_DUPFD : F_DUPFD_CLOEXEC, 0);
  if (copy == -1) {
    w32::posix::set_error_from_errno();
    return FALSE;
  }
  *target = w32::posix::adopt_fd(copy);
  return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED /*overlapped*/) {
  *done = 0;
  const ssize_t n = w32::posix::transfer(file, POLLIN, [&](int fd) { return ::read(fd, buffer, to_read); });
  if (n < 0) return FALSE;
  // The end of a pipe is its writer going away, which Windows reports as an error.
  if (n == 0 && to_read > 0 && GetFileType(file) == FILE_TYPE_PIPE) {
    SetLastError(ERROR_BROKEN_PIPE);
    return FALSE;
  }
  *done = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD done, LPOVERLAPPED /*overlapped*/) {
  *done = 0;
  const ssize_t n = w32::posix::transfer(file, POLLOUT, [&](int fd) { return ::write(fd, buffer, to_write); });
  if (n < 0) return FALSE;
  *done = static_cast<DWORD>(n);
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
  Object* object = object_of(file);
  if (!object) return INVALID_SET_FILE_POINTER;
  // Without a high part the distance is a signed 32-bit value; with one, the
  // two parts form a signed 64-bit value.
  std::int64_t offset = distance;
  if (distance_high) {
    offset = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distance_high)) << 32) |
        static_cast<std::uint32_t>(distance));
  }
  int whence;
  switch (method) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
  }
  const off_t position = ::lseek(object->fd, offset, whence);
  if (position < 0) {
    switch (errno) {
      // A negative distance can only fail for a position before the start;
      // a positive one, for a position beyond the largest file.
      case EINVAL: SetLastError(offset < 0 ? ERROR_NEGATIVE_SEEK : ERROR_INVALID_PARAMETER); break;
      case ESPIPE: SetLastError(ERROR_INVALID_FUNCTION); break;
      default: w32::posix::set_error_from_errno(); break;
    }
    return INVALID_SET_FILE_POINTER;
  }
  const auto unsigned_position = static_cast<std::uint64_t>(position);
  if (distance_high) {
    *distance_high = static_cast<LONG>(unsigned_position >> 32);
  } else if (unsigned_position > 0xFFFFFFFEu) {
    SetLastError(ERROR_INVALID_PARAMETER);  // does not fit the 32-bit result
    return INVALID_SET_FILE_POINTER;
  }
  SetLastError(NO_ERROR);  // a low part of 0xFFFFFFFF is then no failure
  return static_cast<DWORD>(unsigned_position);
}

DWORD GetFileType(HANDLE file) {
  Object* object = object_of(file);
  if (!object) return FILE_TYPE_UNKNOWN;
  if (object->type == FILE_TYPE_UNKNOWN) {
    struct stat status;
    if (::fstat(object->fd, &status) != 0) {
      w32::posix::set_error_from_errno();
      return FILE_TYPE_UNKNOWN;
    }
    object->type = w32::posix::type_of(status.st_mode);
  }
  SetLastError(NO_ERROR);
  return object->type;
}

BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
  Object* object = object_of(console);
  if (!object) return FALSE;
  if (!::isatty(object->fd)) {
    SetLastError(ERROR_INVALID_HANDLE);  // what Windows says for a handle that is no console
    return FALSE;
  }
  *mode = 0x7;  // processed input, line input, echo: a console's usual mode
  return TRUE;
}
