// The descriptor table over system handles and the byte I/O through it.
#include <climits>

#include "runtime/win32/fd.h"
#include "runtime/msg/heap.h"
#include "runtime/win32/signals.h"

namespace rt {

int errno = 0;
HANDLE* fd_table = nullptr;
int fd_count = 0;

namespace {

constexpr int kInitialSlots = 10;
// The table never grows beyond this many slots, so that a wild descriptor
// number cannot make it allocate without bound.
constexpr int kMaxSlots = 1 << 16;

// Every slot below this one is in use: the search for a free one starts here.
int g_lowest_free = 0;

bool is_open(int fd) { return fd >= 0 && fd < fd_count && fd_table[fd] != nullptr; }

// Grows the table to `slots` slots; the new slots are free (the heap
// zero-fills them). On failure the table is unchanged and errno is 4.
bool grow_to(int slots) {
  void* table = slots <= kMaxSlots ? realloc(fd_table, sizeof(HANDLE) * static_cast<unsigned>(slots)) : nullptr;
  if (!table) {
    errno = ERROR_TOO_MANY_OPEN_FILES;
    return false;
  }
  fd_table = static_cast<HANDLE*>(table);
  fd_count = slots;
  return true;
}

// A new handle for the same object, inheritable or not; false when the
// system refuses (its error is left as the last error).
bool duplicate(HANDLE handle, bool inheritable, HANDLE& copy) {
  return w32::DuplicateHandle(w32::GetCurrentProcess(), handle, w32::GetCurrentProcess(), &copy, 0,
                              inheritable ? TRUE : FALSE, DUPLICATE_SAME_ACCESS) != FALSE;
}

int clamp_count(unsigned count) { return count > INT_MAX ? INT_MAX : static_cast<int>(count); }

}  // namespace

int fd_init() {
  fd_table = static_cast<HANDLE*>(malloc(sizeof(HANDLE) * kInitialSlots));
  if (!fd_table) return -1;
  fd_count = kInitialSlots;
  fd_table[0] = w32::GetStdHandle(STD_INPUT_HANDLE);
  fd_table[1] = w32::GetStdHandle(STD_OUTPUT_HANDLE);
  fd_table[2] = w32::GetStdHandle(STD_ERROR_HANDLE);
  g_lowest_free = 0;
  return 0;
}

int fd_alloc(HANDLE handle) {
  int fd = g_lowest_free;
  while (fd < fd_count && fd_table[fd] != nullptr) ++fd;
  // A full table doubles (up to its bound), so that many files cost few copies.
  if (fd == fd_count && !grow_to(fd_count < kMaxSlots / 2 ? 2 * fd_count : fd_count + 1)) return -1;
  fd_table[fd] = handle;
  g_lowest_free = fd + 1;
  return fd;
}

int fd_install(int fd, HANDLE handle) {
  if (fd < 0) {
    errno = ERROR_INVALID_HANDLE;
    return -1;
  }
  if (fd >= fd_count && !grow_to(fd + 1)) return -1;
  if (fd_table[fd] != nullptr && fd_table[fd] != INVALID_HANDLE_VALUE) w32::CloseHandle(fd_table[fd]);
  fd_table[fd] = handle;
  return fd;
}

bool fd_validate(int fd) {
  if (is_open(fd)) return true;
  errno = ERROR_INVALID_HANDLE;
  return false;
}

int fd_release(int fd) {
  if (!is_open(fd)) return -1;
  fd_table[fd] = nullptr;
  if (fd < g_lowest_free) g_lowest_free = fd;
  return 0;
}

int read(int fd, void* buffer, unsigned count) {
  if (!fd_validate(fd)) return -1;
  HANDLE handle = fd_table[fd];
  if (handle == INVALID_HANDLE_VALUE) return -1;
  DWORD done = 0;
  if (!w32::ReadFile(handle, buffer, static_cast<DWORD>(clamp_count(count)), &done, nullptr)) {
    if (done > 0) return static_cast<int>(done);
    if (w32::GetLastError() == ERROR_BROKEN_PIPE) return 0;  // the writer has gone: end of file
    return map_system_error();
  }
  if (done > 0) return static_cast<int>(done);
  w32::Sleep(0);  // end of file: give up the rest of the time slice
  return 0;
}

long long read_fully(int fd, void* buffer, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const std::size_t chunk = count - done > 0x40000000 ? 0x40000000 : count - done;
    const int n = read(fd, static_cast<unsigned char*>(buffer) + done, static_cast<unsigned>(chunk));
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<long long>(done);
}

int write(int fd, const void* buffer, unsigned count) {
  if (!fd_validate(fd)) return -1;
  HANDLE handle = fd_table[fd];
  if (handle == INVALID_HANDLE_VALUE) return -1;
  DWORD done = 0;
  if (w32::WriteFile(handle, buffer, static_cast<DWORD>(clamp_count(count)), &done, nullptr)) {
    return static_cast<int>(done);
  }
  switch (w32::GetLastError()) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:  // an anonymous pipe whose reading end was closed
    case ERROR_PIPE_NOT_CONNECTED:
      raise(SIGPIPE);
      break;
    default:
      break;
  }
  return map_system_error();
}

off_t lseek(int fd, off_t offset, int whence) {
  if (!fd_validate(fd)) return -1;
  HANDLE handle = fd_table[fd];
  if (w32::GetFileType(handle) == FILE_TYPE_PIPE) {
    errno = ERR_ILLEGAL_SEEK;
    return -1;
  }
  const auto unsigned_offset = static_cast<std::uint64_t>(offset);
  LONG high = static_cast<LONG>(unsigned_offset >> 32);
  w32::SetLastError(NO_ERROR);
  const DWORD low = w32::SetFilePointer(handle, static_cast<LONG>(unsigned_offset & 0xFFFFFFFF), &high,
                                        static_cast<DWORD>(whence));
  if (low == INVALID_SET_FILE_POINTER && w32::GetLastError() != NO_ERROR) return map_system_error();
  return static_cast<off_t>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32) | low);
}

int close(int fd) {
  if (!fd_validate(fd)) return -1;
  if (fd_table[fd] != INVALID_HANDLE_VALUE && !w32::CloseHandle(fd_table[fd])) return map_system_error();
  fd_release(fd);
  return 0;
}

int dup(int fd) {
  if (!fd_validate(fd)) return -1;
  HANDLE copy = INVALID_HANDLE_VALUE;
  if (fd_table[fd] != INVALID_HANDLE_VALUE && !duplicate(fd_table[fd], true, copy)) return map_system_error();
  const int result = fd_alloc(copy);
  if (result < 0 && copy != INVALID_HANDLE_VALUE) w32::CloseHandle(copy);
  return result;
}

int dup2(int fd, int target) {
  if (!fd_validate(fd)) return -1;
  if (target < 0) {
    errno = ERROR_INVALID_HANDLE;
    return -1;
  }
  HANDLE copy = INVALID_HANDLE_VALUE;
  if (fd_table[fd] != INVALID_HANDLE_VALUE && !duplicate(fd_table[fd], true, copy)) return map_system_error();
  const int result = fd_install(target, copy);
  if (result < 0 && copy != INVALID_HANDLE_VALUE) w32::CloseHandle(copy);
  return result;
}

int fcntl(int fd, int command, int argument) {
  if (!fd_validate(fd)) return -1;
  switch (command) {
    case F_DUPFD: {
      int target = argument;
      while (is_open(target)) ++target;
      return dup2(fd, target);
    }
    case F_GETFD:
      return 0;  // close-on-exec is not recorded
    case F_SETFD: {
      // The inheritance of a handle is fixed when it is made, so the mark is
      // set by replacing the handle with a duplicate of the wanted kind.
      if (fd_table[fd] == INVALID_HANDLE_VALUE) return 0;  // no handle to mark
      HANDLE copy;
      if (!duplicate(fd_table[fd], (argument & FD_CLOEXEC) == 0, copy)) return -1;
      fd_install(fd, copy);
      return 0;
    }
    default:
      errno = ERROR_INVALID_FUNCTION;
      return -1;
  }
}

int fd_is_console(int fd) {
  if (!fd_validate(fd)) return -1;
  DWORD mode;
  return w32::GetConsoleMode(fd_table[fd], &mode) == 1 ? 1 : 0;
}

int map_system_error() {
  const DWORD code = w32::GetLastError();
  switch (code) {
    case ERROR_FILE_EXISTS: errno = ERROR_ALREADY_EXISTS; break;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: errno = ERROR_FILE_NOT_FOUND; break;
    case ERROR_FILENAME_EXCED_RANGE: errno = ERR_NAME_TOO_LONG; break;
    case ERROR_DIRECTORY: errno = ERROR_PATH_NOT_FOUND; break;
    default: errno = static_cast<int>(code); break;
  }
  return -1;
}

}  // namespace rt
