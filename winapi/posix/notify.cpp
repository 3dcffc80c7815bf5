// Directory change requests over inotify, and the waits that run their
// completions.
//
// The process has one inotify instance (the kernel allows few of them, and
// many watches in each); a directory opened with backup semantics gets a
// watch in it at its first ReadDirectoryChangesW. The watch goes through
// the open descriptor, so it stays with the directory it was made for, as
// a Win32 directory handle does. Changes are kept for each directory from
// its first request on, as Win32 keeps them between two requests; a request
// completes as soon as one it asks for is there, its completion routine
// running in the next alertable wait of the thread, which then returns
// WAIT_IO_COMPLETION, exactly as Win32 runs it. Changes that do not fit the
// caller's buffer (or more than kMostKept, or an overflow of the kernel's
// queue) complete the request with no entries: the caller must look at
// everything. A name moved within a directory is told by its old and its
// new name, one moved out of it as removed and one moved into it as added.
// As under Win32, a watched directory that is itself renamed tells nothing;
// one that is deleted ends its requests with ERROR_ACCESS_DENIED, as Win32
// ends those of a folder marked for deletion. Its own watch cannot tell
// that while the handle holds the directory, so the folder above it is
// watched too, from the first request on, for a folder going from it.
// Closing a handle with a request pending completes the request with
// ERROR_OPERATION_ABORTED.
#include <algorithm>
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
int g_inotify = -1;  // the process's inotify instance, made at the first request
// The directory handles with a watch, and of them those with a request pending.
std::vector<HANDLE> g_watching;
std::vector<HANDLE> g_requesting;
// The watch on the folder above each directory with a watch.
std::vector<std::pair<HANDLE, int>> g_above;
constexpr std::size_t kMostKept = 4096;  // changes kept for a directory between two requests

std::uint32_t mask_of(DWORD filter) {
  std::uint32_t mask = IN_ONLYDIR | IN_MASK_ADD;
  if (filter & kNameChanges) mask |= IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
  if (filter & kWriteChanges) mask |= IN_MODIFY;
  if (filter & kStatusChanges) mask |= IN_ATTRIB;
  return mask;
}

// The action an event reports under a request's filter, `moved` that of a
// move; 0 when the request does not ask for it.
DWORD action_of(const struct inotify_event& event, DWORD filter, DWORD moved) {
  const DWORD names = (event.mask & IN_ISDIR) ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
  if (event.mask & IN_CREATE) return (filter & names) ? FILE_ACTION_ADDED : 0;
  if (event.mask & IN_DELETE) return (filter & names) ? FILE_ACTION_REMOVED : 0;
  if (event.mask & (IN_MOVED_FROM | IN_MOVED_TO)) return (filter & names) ? moved : 0;
  if (event.mask & IN_MODIFY) return (filter & kWriteChanges) ? FILE_ACTION_MODIFIED : 0;
  if (event.mask & IN_ATTRIB) return (filter & kStatusChanges) ? FILE_ACTION_MODIFIED : 0;
  return 0;
}

// True while a handle needs an inotify watch: as its directory's own, or as
// the one above its directory.
bool needed(int watch) {
  return std::any_of(g_watching.begin(), g_watching.end(),
                     [&](HANDLE handle) { return w32::posix::object_of(handle)->directory->watch == watch; }) ||
         std::any_of(g_above.begin(), g_above.end(), [&](const auto& above) { return above.second == watch; });
}

// True when a directory has been deleted (its descriptor holds it still).
bool deleted(const w32::posix::Object& directory) {
  struct stat status;
  return ::fstat(directory.fd, &status) == 0 && status.st_nlink == 0;
}

// Completes the pending request of a directory with the changes kept for
// it, when there are any; without any, a directory that has been deleted
// (`gone`) ends it with ERROR_ACCESS_DENIED.
void complete(HANDLE handle, w32::posix::Object& directory, bool gone = false) {
  if (!directory.directory->pending || (directory.directory->changes.empty() && !directory.directory->overflowed && !gone)) return;
  const DWORD error = directory.directory->changes.empty() && !directory.directory->overflowed ? ERROR_ACCESS_DENIED : NO_ERROR;
  w32::posix::ChangeRequest& request = directory.directory->request;
  auto* const out = static_cast<unsigned char*>(request.buffer);
  std::size_t used = 0;
  std::size_t last = 0;  // where the entry before begins
  bool overflow = directory.directory->overflowed;
  for (const auto& [action, name] : directory.directory->changes) {
    const std::size_t entry = (offsetof(FILE_NOTIFY_INFORMATION, FileName) + 2 * name.size() + 3) & ~std::size_t{3};
    if (overflow || used + entry > request.length) {
      overflow = true;
      break;
    }
    const FILE_NOTIFY_INFORMATION information{0, action, static_cast<DWORD>(2 * name.size()), {}};
    std::memcpy(out + used, &information, offsetof(FILE_NOTIFY_INFORMATION, FileName));
    for (std::size_t i = 0; i < name.size(); ++i) {  // each byte is the unit of its value
      const auto unit = static_cast<WCHAR>(static_cast<unsigned char>(name[i]));
      std::memcpy(out + used + offsetof(FILE_NOTIFY_INFORMATION, FileName) + 2 * i, &unit, sizeof unit);
    }
    if (used > 0) {
      const auto offset = static_cast<DWORD>(used - last);
      std::memcpy(out + last, &offset, sizeof offset);
    }
    last = used;
    used += entry;
  }
  g_completions.push_back(
      Completion{request.routine, error, overflow ? 0 : static_cast<DWORD>(used), request.overlapped});
  directory.directory->changes.clear();
  directory.directory->overflowed = false;
  directory.directory->pending = false;
  std::erase(g_requesting, handle);
}

// Keeps a change for a directory; too many make an overflow.
void keep(w32::posix::Object& directory, DWORD action, const char* name) {
  if (directory.directory->overflowed) return;
  if (directory.directory->changes.size() == kMostKept) {
    directory.directory->changes.clear();
    directory.directory->overflowed = true;
    return;
  }
  directory.directory->changes.emplace_back(action, name);
}

// Moves the changes the kernel holds to the directories they concern, and
// completes the requests that have some, or whose directory has been deleted.
void take_changes() {
  alignas(struct inotify_event) char events[8192];
  std::uint32_t renamed = 0;  // the cookie of a move within a folder whose old name came last
  bool folder_gone = false;   // a folder has been deleted: perhaps a watched one
  for (;;) {
    const ssize_t n = ::read(g_inotify, events, sizeof events);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      // A move within a folder comes as two events in a row with one cookie,
      // its old name and its new one; a move out of a folder is a removal
      // from it and a move into it an addition, as Windows tells them.
      DWORD moved = 0;
      if (event->mask & IN_MOVED_FROM) {
        const auto* next = at < n ? reinterpret_cast<const struct inotify_event*>(events + at) : nullptr;
        const bool within =
            next && (next->mask & IN_MOVED_TO) && next->wd == event->wd && next->cookie == event->cookie;
        renamed = within ? event->cookie : 0;
        moved = within ? FILE_ACTION_RENAMED_OLD_NAME : FILE_ACTION_REMOVED;
      } else if (event->mask & IN_MOVED_TO) {
        moved = renamed != 0 && renamed == event->cookie ? FILE_ACTION_RENAMED_NEW_NAME : FILE_ACTION_ADDED;
        renamed = 0;
      }
      folder_gone |= (event->mask & IN_DELETE) && (event->mask & IN_ISDIR);
      if (event->mask & IN_IGNORED) {
        std::erase_if(g_above, [&](const auto& above) { return above.second == event->wd; });
      }
      for (HANDLE handle : g_watching) {
        w32::posix::Object& directory = *w32::posix::object_of(handle);
        if (event->mask & IN_Q_OVERFLOW) {
          directory.directory->changes.clear();
          directory.directory->overflowed = true;
        } else if (event->wd == directory.directory->watch && (event->mask & IN_IGNORED)) {
          directory.directory->watch = -1;  // the directory is gone, and its watch with it: its number may be given again
        } else if (event->wd == directory.directory->watch) {
          if (const DWORD action = action_of(*event, directory.directory->request.filter, moved)) {
            keep(directory, action, event->name);
          }
        }
      }
    }
  }
  std::erase_if(g_watching, [](HANDLE handle) { return w32::posix::object_of(handle)->directory->watch < 0; });
  const std::vector<HANDLE> requesting = g_requesting;
  for (HANDLE handle : requesting) {
    w32::posix::Object& directory = *w32::posix::object_of(handle);
    complete(handle, directory, folder_gone && deleted(directory));
  }
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
  for (;;) {
    if (alertable && run_completions()) return WAIT_IO_COMPLETION;
    struct pollfd ready[2];
    nfds_t count = 0;
    if (fd >= 0) ready[count++] = {fd, POLLIN, 0};
    if (alertable && !g_requesting.empty()) ready[count++] = {g_inotify, POLLIN, 0};
    int timeout = -1;
    if (milliseconds != INFINITE) {
      const std::uint64_t now = now_ms();
      timeout = now < deadline ? static_cast<int>(deadline - now) : 0;
    }
    const int n = ::poll(ready, count, timeout);
    if (n < 0 && errno != EINTR) {
      w32::posix::set_error_from_errno();
      return WAIT_FAILED;
    }
    if (n > 0 && fd >= 0 && ready[0].revents != 0) return WAIT_OBJECT_0;
    if (n > 0) take_changes();
    if (n == 0) return WAIT_TIMEOUT;  // what completed meanwhile waits for an alertable wait
  }
}

}  // namespace

namespace w32::posix {

void abandon_request(HANDLE handle, Object& object) {
  if (!object.directory) return;  // no directory: no request
  if (object.directory->pending) {
    g_completions.push_back(
        Completion{object.directory->request.routine, ERROR_OPERATION_ABORTED, 0, object.directory->request.overlapped});
    object.directory->pending = false;
    std::erase(g_requesting, handle);
  }
  std::erase(g_watching, handle);
  const auto above = std::find_if(g_above.begin(), g_above.end(), [&](const auto& a) { return a.first == handle; });
  if (above != g_above.end()) {
    const int watch = above->second;
    g_above.erase(above);
    if (!needed(watch)) ::inotify_rm_watch(g_inotify, watch);
  }
  if (object.directory->watch >= 0 && !needed(object.directory->watch)) ::inotify_rm_watch(g_inotify, object.directory->watch);
  object.directory->watch = -1;
}

}  // namespace w32::posix

BOOL ReadDirectoryChangesW(HANDLE directory, LPVOID buffer, DWORD length, BOOL watch_subtree, DWORD filter,
                           LPDWORD /*returned*/, LPOVERLAPPED overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  w32::posix::Object* object = w32::posix::object_of(directory);
  if (!object) return FALSE;
  if (!object->directory || object->fd < 0 || watch_subtree || filter == 0 || !overlapped || !routine || object->directory->pending ||
      (filter & ~(kNameChanges | kWriteChanges | kStatusChanges)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (deleted(*object)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (g_inotify < 0) {
    g_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g_inotify < 0) {
      w32::posix::set_error_from_errno();
      return FALSE;
    }
  }
  const std::string self = "/proc/self/fd/" + std::to_string(object->fd);
  const int watch = ::inotify_add_watch(g_inotify, self.c_str(), mask_of(filter));
  if (watch < 0) {
    w32::posix::set_error_from_errno();
    return FALSE;
  }
  if (std::find(g_watching.begin(), g_watching.end(), directory) == g_watching.end()) g_watching.push_back(directory);
  if (std::none_of(g_above.begin(), g_above.end(), [&](const auto& above) { return above.first == directory; })) {
    const int above = ::inotify_add_watch(g_inotify, (self + "/..").c_str(), IN_ONLYDIR | IN_MASK_ADD | IN_DELETE);
    if (above >= 0) g_above.emplace_back(directory, above);
  }
  object->directory->watch = watch;
  object->directory->request = w32::posix::ChangeRequest{buffer, length, filter, overlapped, routine};
  object->directory->pending = true;
  g_requesting.push_back(directory);
  complete(directory, *object);  // changes kept since the last request complete it at once
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
