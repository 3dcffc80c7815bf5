// Directory change requests over inotify, and the waits that run their
// completions.
//
// A directory opened with backup semantics gets an inotify instance that
// watches it (through its open descriptor, so the watch stays with the
// directory it was made for, as a Win32 directory handle does) at its first
// ReadDirectoryChangesW. A request waits until a change it asks for has
// happened; its completion routine then runs in the next alertable wait of
// the thread, which returns WAIT_IO_COMPLETION, exactly as Win32 runs it.
// The kernel queues changes between two requests, so nothing is lost
// between them either. A change that does not fit the caller's buffer (or
// an overflow of the kernel's queue) completes the request with no entries:
// the caller must look at everything. As under Win32, a watched directory
// that is itself renamed or deleted tells nothing. Closing a handle with a
// request pending completes the request with ERROR_OPERATION_ABORTED.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

#include "winapi/posix/emulation.h"

namespace {

constexpr DWORD kNameChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr DWORD kWriteChanges = FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
constexpr DWORD kStatusChanges = FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SECURITY;

// A completion routine to run at the next alertable wait.
struct Completion {
  LPOVERLAPPED_COMPLETION_ROUTINE routine;
  DWORD error;
  DWORD bytes;
  LPOVERLAPPED overlapped;
};
std::vector<Completion> g_completions;
// The handles with a request pending, in the order of their requests.
std::vector<HANDLE> g_requesting;

std::uint32_t mask_of(DWORD filter) {
  std::uint32_t mask = IN_ONLYDIR;
  if (filter & kNameChanges) mask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
  if (filter & kWriteChanges) mask |= IN_MODIFY;
  if (filter & kStatusChanges) mask |= IN_ATTRIB;
  return mask;
}

// The action an event reports under a request's filter; 0 when the request
// does not ask for it.
DWORD action_of(const struct inotify_event& event, DWORD filter) {
  const DWORD names = (event.mask & IN_ISDIR) ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
  if (event.mask & IN_CREATE) return (filter & names) ? FILE_ACTION_ADDED : 0;
  if (event.mask & IN_DELETE) return (filter & names) ? FILE_ACTION_REMOVED : 0;
  if (event.mask & IN_MOVED_FROM) return (filter & names) ? FILE_ACTION_RENAMED_OLD_NAME : 0;
  if (event.mask & IN_MOVED_TO) return (filter & names) ? FILE_ACTION_RENAMED_NEW_NAME : 0;
  if (event.mask & IN_MODIFY) return (filter & kWriteChanges) ? FILE_ACTION_MODIFIED : 0;
  if (event.mask & IN_ATTRIB) return (filter & kStatusChanges) ? FILE_ACTION_MODIFIED : 0;
  return 0;
}

// Moves the changes the kernel holds for a directory into its pending
// request; completes the request when there was one it asks for.
void take_changes(HANDLE handle, w32::posix::Object& directory) {
  w32::posix::ChangeRequest& request = directory.request;
  auto* const out = static_cast<unsigned char*>(request.buffer);
  std::size_t used = 0;
  DWORD* last_next = nullptr;  // the NextEntryOffset of the entry before
  bool overflow = false;
  bool any = false;
  alignas(struct inotify_event) char events[8192];
  for (;;) {
    const ssize_t n = ::read(directory.notify_fd, events, sizeof events);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        overflow = any = true;
        continue;
      }
      const DWORD action = action_of(*event, request.filter);
      if (action == 0) continue;
      any = true;
      const std::size_t length = std::strlen(event->name);
      const std::size_t entry = (offsetof(FILE_NOTIFY_INFORMATION, FileName) + 2 * length + 3) & ~std::size_t{3};
      if (overflow || used + entry > request.length) {
        overflow = true;
        continue;
      }
      FILE_NOTIFY_INFORMATION information{0, action, static_cast<DWORD>(2 * length), {}};
      std::memcpy(out + used, &information, offsetof(FILE_NOTIFY_INFORMATION, FileName));
      for (std::size_t i = 0; i < length; ++i) {  // each byte is the unit of its value
        const auto unit = static_cast<WCHAR>(static_cast<unsigned char>(event->name[i]));
        std::memcpy(out + used + offsetof(FILE_NOTIFY_INFORMATION, FileName) + 2 * i, &unit, sizeof unit);
      }
      if (last_next) {
        const auto offset = static_cast<DWORD>(out + used - reinterpret_cast<unsigned char*>(last_next));
        std::memcpy(last_next, &offset, sizeof offset);
      }
      last_next = reinterpret_cast<DWORD*>(out + used);
      used += entry;
    }
  }
  if (!any) return;
  g_completions.push_back(Completion{request.routine, NO_ERROR, overflow ? 0 : static_cast<DWORD>(used),
                                     request.overlapped});
  directory.pending = false;
  std::erase(g_requesting, handle);
}

// Runs the completions due: true when there were any.
bool run_completions() {
  if (g_completions.empty()) return false;
  const std::vector<Completion> due = std::move(g_completions);
  g_completions.clear();
  for (const Completion& completion : due) completion.routine(completion.error, completion.bytes, completion.overlapped);
  return true;
}

std::uint64_t now_ms() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

// Waits until the descriptor `fd` (-1: none) is readable, the time is up, or,
// when alertable, a completion has run.
DWORD wait_for(int fd, DWORD milliseconds, bool alertable) {
  const std::uint64_t deadline = milliseconds == INFINITE ? 0 : now_ms() + milliseconds;
  std::vector<struct pollfd> ready;
  for (;;) {
    if (alertable && run_completions()) return WAIT_IO_COMPLETION;
    ready.clear();
    if (fd >= 0) ready.push_back({fd, POLLIN, 0});
    const std::size_t first = ready.size();
    if (alertable) {
      for (HANDLE handle : g_requesting) ready.push_back({w32::posix::object_of(handle)->notify_fd, POLLIN, 0});
    }
    int timeout = -1;
    if (milliseconds != INFINITE) {
      const std::uint64_t now = now_ms();
      timeout = now < deadline ? static_cast<int>(deadline - now) : 0;
    }
    const int n = ::poll(ready.data(), ready.size(), timeout);
    if (n < 0 && errno != EINTR) {
      w32::posix::set_error_from_errno();
      return WAIT_FAILED;
    }
    if (n > 0 && fd >= 0 && ready[0].revents != 0) return WAIT_OBJECT_0;
    if (n > 0) {
      const std::vector<HANDLE> requesting = g_requesting;
      for (std::size_t i = first; i < ready.size(); ++i) {
        if (ready[i].revents != 0) take_changes(requesting[i - first], *w32::posix::object_of(requesting[i - first]));
      }
    }
    if (n == 0) return WAIT_TIMEOUT;  // what completed meanwhile waits for an alertable wait
  }
}

}  // namespace

namespace w32::posix {

void abandon_request(HANDLE handle, Object& object) {
  if (object.pending) {
    g_completions.push_back(
        Completion{object.request.routine, ERROR_OPERATION_ABORTED, 0, object.request.overlapped});
    object.pending = false;
    std::erase(g_requesting, handle);
  }
  if (object.notify_fd >= 0) ::close(object.notify_fd);
  object.notify_fd = -1;
}

}  // namespace w32::posix

BOOL ReadDirectoryChangesW(HANDLE directory, LPVOID buffer, DWORD length, BOOL watch_subtree, DWORD filter,
                           LPDWORD /*returned*/, LPOVERLAPPED overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  w32::posix::Object* object = w32::posix::object_of(directory);
  if (!object) return FALSE;
  if (!object->directory || watch_subtree || filter == 0 || !overlapped || !routine || object->pending ||
      (filter & ~(kNameChanges | kWriteChanges | kStatusChanges)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (object->notify_fd < 0) {
    object->notify_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (object->notify_fd < 0) {
      w32::posix::set_error_from_errno();
      return FALSE;
    }
    object->notify_mask = 0;
  }
  const std::uint32_t mask = mask_of(filter);
  if (mask != object->notify_mask) {
    const std::string self = "/proc/self/fd/" + std::to_string(object->fd);
    if (::inotify_add_watch(object->notify_fd, self.c_str(), mask) < 0) {
      w32::posix::set_error_from_errno();
      return FALSE;
    }
    object->notify_mask = mask;
  }
  object->request = w32::posix::ChangeRequest{buffer, length, filter, overlapped, routine};
  object->pending = true;
  g_requesting.push_back(directory);
  return TRUE;
}

DWORD SleepEx(DWORD milliseconds, BOOL alertable) {
  const DWORD waited = wait_for(-1, milliseconds, alertable != FALSE);
  return waited == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

// An object is signalled while its descriptor is readable: a process once
// it has ended.
DWORD WaitForSingleObjectEx(HANDLE object, DWORD milliseconds, BOOL alertable) {
  const w32::posix::Object* waited = w32::posix::object_of(object);
  if (!waited) return WAIT_FAILED;
  return wait_for(waited->fd, milliseconds, alertable != FALSE);
}

ULONGLONG GetTickCount64() { return now_ms(); }
