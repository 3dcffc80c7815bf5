// Directory change notifications over inotify. A notification is an
// inotify instance that watches one directory: its descriptor is readable
// while events are pending, which is what WaitForSingleObject waits for, so
// the handle is signalled from the first change until
// FindNextChangeNotification takes the pending events away. Like a Win32
// notification it stays with the directory it was made for: one renamed
// goes on being watched, and one deleted never signals again.
#include <cerrno>
#include <cstdint>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "winapi/posix/emulation.h"

namespace {

constexpr DWORD kNameChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr DWORD kStatusChanges = FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SECURITY;

// The notification behind a handle, or null (with ERROR_INVALID_HANDLE as
// the last error) when the handle names no notification.
w32::posix::Object* notification_of(HANDLE handle) {
  w32::posix::Object* object = w32::posix::object_of(handle);
  if (object && !object->change) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

// The error of a directory that cannot be watched: a name that is no
// directory is ERROR_DIRECTORY, a missing one as for any path.
void set_watch_error(const char* directory) {
  const int error = errno;
  struct stat status;
  if (error == ENOTDIR && ::stat(directory, &status) == 0) {
    SetLastError(ERROR_DIRECTORY);
    return;
  }
  errno = error;
  w32::posix::set_path_error(directory);
}

}  // namespace

// Names made, deleted or renamed in the directory, and a status change of
// anything in it (attributes and permissions are one inode status here);
// the directory deleted or renamed itself signals too. Subtrees and the
// other kinds of change are not watched.
HANDLE FindFirstChangeNotificationA(LPCSTR directory, BOOL watch_subtree, DWORD filter) {
  if (watch_subtree || (filter & ~(kNameChanges | kStatusChanges)) != 0 || filter == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (!*directory) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::uint32_t mask = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
  if (filter & kNameChanges) mask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
  if (filter & kStatusChanges) mask |= IN_ATTRIB;
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) {
    w32::posix::set_error_from_errno();
    return INVALID_HANDLE_VALUE;
  }
  if (::inotify_add_watch(fd, directory, mask) < 0) {
    set_watch_error(directory);
    ::close(fd);
    return INVALID_HANDLE_VALUE;
  }
  w32::posix::Object notification;
  notification.fd = fd;
  notification.change = true;
  return w32::posix::adopt(std::move(notification));
}

// Takes the pending events away: the handle is signalled again by the
// next change.
BOOL FindNextChangeNotification(HANDLE change) {
  const w32::posix::Object* notification = notification_of(change);
  if (!notification) return FALSE;
  alignas(struct inotify_event) char events[4096];
  for (;;) {
    if (::read(notification->fd, events, sizeof events) >= 0) continue;
    if (errno == EAGAIN) return TRUE;
    if (errno != EINTR) {
      w32::posix::set_error_from_errno();
      return FALSE;
    }
  }
}

BOOL FindCloseChangeNotification(HANDLE change) {
  if (!notification_of(change)) return FALSE;
  return CloseHandle(change);
}
