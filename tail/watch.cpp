// Watching the folders of followed names: each is asked, with
// ReadDirectoryChangesW and a completion routine, to tell the changes of the
// files followed in it; the routine runs while following waits alertably,
// and marks the inputs whose names a notice gives (every input of the
// folder when the notice overflowed or the folder failed). Everything lives
// in the Watcher record of the run; each request points back to it.
//
// A rename within a folder is told as the old name, then the new: an input
// followed by descriptor whose name was the old one takes the new one as
// the name its folder's notices concern, so that what its writer appends
// after a rotation is still told. A move to another folder leaves it to the
// clock.
//
// By name (-F) the folder above each folder of names is watched for names
// too: a notice that gives such a folder's name (renamed, deleted, a link to
// it re-pointed) has the folder compared with what its name leads to, and
// watched anew when that is another; so is every folder at its turn of the
// clock. A folder that cannot be watched (the system refuses, a network
// share, a folder that has gone) tells nothing: its inputs are left to the
// clock.
#include <cstdint>
#include <utility>

#include "tail/tail.h"

#include "runtime/msg/heap.h"
#include "runtime/win32/wide_name.h"
#include "runtime/string.h"
#include "runtime/win32/fstat.h"

namespace tail {

// What a folder is asked to tell: writes to the files followed in it and
// their names (a rename carries an input followed by descriptor along), and
// by name also attributes (a file made unreadable); the folder above a
// folder of names is asked for names only.
constexpr DWORD kWriteChanges = FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
constexpr DWORD kNameChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr DWORD kStatusChanges = FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SECURITY;

// The changes one notice can carry; more make it an overflow.
constexpr DWORD kNoticeBufferSize = 4096;

// A request for a folder's changes, under way or done. Its completion may
// come after its folder has let it go (the handle closed under it): the
// completion then frees it.
struct Notice {
  OVERLAPPED overlapped;  // hEvent: this record
  Watcher* watcher;
  int folder;             // -1 once its folder has let it go
  bool pending;           // the request is under way
  alignas(DWORD) unsigned char changes[kNoticeBufferSize];
};

// A folder watched: one of followed names, or the folder above one (by name).
struct Folder {
  char* path;          // its full path, ending in a separator
  char* leaf;          // its last component, as the parent's notices give it; null for a root
  int parent;          // by name: the folder above, which tells when this name changes; -1: none
  DWORD filter;        // what it is asked to tell
  HANDLE handle;       // null while it is not watched
  rt::FileIdentity id; // the folder the handle holds
  Notice* notice;      // the request of the handle; null when none is under way
  bool check;          // its name may lead to another folder now
};

namespace {

// The index of the folder with this full path, added (with the filter) when
// it is new; the path is taken over. -1 without memory for it.
int folder_of(Watcher& watcher, char* path, DWORD filter) {
  for (int f = watcher.folder_count - 1; f >= 0; --f) {
    if (rt::strcmp(watcher.folders[f].path, path) == 0) {
      rt::free(path);
      watcher.folders[f].filter |= filter;
      return f;
    }
  }
  if (watcher.folder_count == watcher.folder_room) {
    const int room = watcher.folder_room > 0 ? 2 * watcher.folder_room : 8;
    auto* grown = static_cast<Folder*>(rt::realloc(watcher.folders, sizeof(Folder) * static_cast<std::size_t>(room)));
    if (!grown) {
      rt::free(path);
      return -1;
    }
    watcher.folders = grown;
    watcher.folder_room = room;
  }
  watcher.folders[watcher.folder_count] = Folder{.path = path,
                                                 .leaf = nullptr,
                                                 .parent = -1,
                                                 .filter = filter,
                                                 .handle = nullptr,
                                                 .id = {},
                                                 .notice = nullptr,
                                                 .check = false};
  return watcher.folder_count++;
}

// The folder above folder f, watched for the names in it (by name), so that
// a change of f's name is told. A root has none.
void watch_parent(Watcher& watcher, int f) {
  const char* path = watcher.folders[f].path;
  std::size_t end = rt::strlen(path) - 1;  // the separator that ends it
  std::size_t start = end;
  while (start > 0 && !rt::is_path_separator(path[start - 1])) --start;
  if (start == 0 || start == end) return;
  char* leaf = static_cast<char*>(rt::malloc(end - start + 1));
  char* parent = static_cast<char*>(rt::malloc(start + 1));
  if (!leaf || !parent) {
    rt::free(leaf);
    rt::free(parent);
    return;
  }
  rt::memcpy(leaf, path + start, end - start);
  leaf[end - start] = '\0';
  rt::memcpy(parent, path, start);
  parent[start] = '\0';
  const int p = folder_of(watcher, parent, kNameChanges);
  if (p < 0) {
    rt::free(leaf);
    return;
  }
  watcher.folders[f].leaf = leaf;
  watcher.folders[f].parent = p;
}

// Gives a named input the folder of its name, and its leaf; the folder's
// notices then concern it. Without memory it has none, and is looked at by
// the clock alone.
void give_folder(Watcher& watcher, WatchedInput& input, const char* name) {
  const rt::WideName full(name, true);
  if (!full.get()) return;
  const WCHAR* units = full.get();
  int length_units = 0;
  while (units[length_units] != 0) ++length_units;
  int leaf_units = length_units;  // where the leaf begins: after the last separator
  while (leaf_units > 0 && units[leaf_units - 1] != '\\' && units[leaf_units - 1] != '/') --leaf_units;
  if (leaf_units == length_units) return;  // the name of a folder, ending in a separator
  const int size = rt::name_from_wide(units, length_units, nullptr, 0);
  char* path = size > 0 ? static_cast<char*>(rt::malloc(static_cast<std::size_t>(size) + 1)) : nullptr;
  if (!path || rt::name_from_wide(units, length_units, path, size) != size) {
    rt::free(path);
    return;
  }
  path[size] = '\0';
  char* file_part = path + (leaf_units > 0 ? rt::name_from_wide(units, leaf_units, nullptr, 0) : 0);
  // The name typed usually ends in its leaf: then the leaf needs no copy.
  const std::size_t length = rt::strlen(name);
  const std::size_t leaf_length = rt::strlen(file_part);
  const bool typed = length >= leaf_length && rt::strcmp(name + length - leaf_length, file_part) == 0;
  const char* leaf = typed ? name + length - leaf_length : rt::strdup(file_part);
  if (!leaf) {
    rt::free(path);
    return;
  }
  input.owns_leaf = !typed;
  *file_part = '\0';
  const DWORD filter = input.by_name ? kWriteChanges | kNameChanges | kStatusChanges : kWriteChanges | kNameChanges;
  input.folder = folder_of(watcher, path, filter);
  input.leaf = leaf;
  if (input.folder < 0) return;
  if (input.by_name && !watcher.folders[input.folder].leaf) watch_parent(watcher, input.folder);
}

// Lets the handle of a folder go; a request under way is freed by its
// completion, which closing the handle brings.
void unwatch(Folder& folder) {
  if (!folder.handle) return;
  w32::CloseHandle(folder.handle);
  folder.handle = nullptr;
  if (folder.notice && folder.notice->pending) {
    folder.notice->folder = -1;
  } else {
    rt::free(folder.notice);
  }
  folder.notice = nullptr;
}

// The identity of what `path` names now, and its handle when it is a folder
// that can be watched; null when it cannot.
HANDLE open_folder(const char* path, rt::FileIdentity& id) {
  const rt::WideName wide(path, false);
  if (!wide.get()) return nullptr;
  HANDLE handle = w32::CreateFileW(wide.get(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  if (!w32::GetFileInformationByHandle(handle, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    w32::CloseHandle(handle);
    return nullptr;
  }
  id = rt::file_identity_of(info);
  return handle;
}

// A notice concerns an input: it is polled (by name, looked up) at once.
void touch(Watcher& watcher, WatchedInput& input) { input.touched = watcher.noticed = true; }
// A notice gives the name of a watched folder: it is compared at once.
void check_soon(Watcher& watcher, Folder& folder) { folder.check = watcher.noticed = true; }

// Marks the inputs of folder f for a poll, and the folders in it for a check.
// What was told of them is lost: a rename begun ends unknown.
void touch_all(Watcher& watcher, int f) {
  for (int k = 0; k < watcher.input_count; ++k) {
    if (watcher.inputs[k].folder != f) continue;
    touch(watcher, watcher.inputs[k]);
    watcher.inputs[k].moving = false;
  }
  for (int c = 0; c < watcher.folder_count; ++c) {
    if (watcher.folders[c].parent == f) check_soon(watcher, watcher.folders[c]);
  }
}

// Compares folder f with what its name leads to now; when that is another
// folder (or none), the old one is let go, the new one watched, and every
// name in it looked up. Then a folder that can be watched is.
void check_folder(Watcher& watcher, int f) {
  Folder& folder = watcher.folders[f];
  folder.check = false;
  rt::FileIdentity now{};
  HANDLE handle = open_folder(folder.path, now);
  if (folder.handle && handle && same_file(now, folder.id)) {
    w32::CloseHandle(handle);
    return;
  }
  if (folder.handle || handle) touch_all(watcher, f);  // watched anew, or no more: every name may have changed
  unwatch(folder);
  folder.handle = handle;
  folder.id = now;
}

// Frees an input's leaf when it is a copy of its own.
void forget_leaf(WatchedInput& input) {
  if (input.owns_leaf) rt::free(const_cast<char*>(input.leaf));
  input.leaf = nullptr;
  input.owns_leaf = false;
}

// Names compared as the system may give them: letters of either case.
bool same_leaf(const char* a, const char* b) {
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (; *a && fold(*a) == fold(*b); ++a, ++b) {
  }
  return *a == *b;
}

// One change a notice gives, `name` in folder f: the inputs and folders of
// that name are marked; an input followed by descriptor follows a rename of
// its file to the new name.
void take_change(Watcher& watcher, int f, DWORD action, const char* name) {
  for (int k = 0; k < watcher.input_count; ++k) {
    WatchedInput& input = watcher.inputs[k];
    if (input.folder != f) continue;
    if (action == FILE_ACTION_RENAMED_NEW_NAME && input.moving) {
      if (char* leaf = rt::strdup(name)) {
        forget_leaf(input);
        input.leaf = leaf;
        input.owns_leaf = true;
      }
      input.moving = false;
      touch(watcher, input);
    } else if (same_leaf(input.leaf, name)) {
      input.moving = action == FILE_ACTION_RENAMED_OLD_NAME && !input.by_name;
      touch(watcher, input);
    }
  }
  for (int c = 0; c < watcher.folder_count; ++c) {
    if (watcher.folders[c].parent == f && same_leaf(watcher.folders[c].leaf, name)) {
      check_soon(watcher, watcher.folders[c]);
    }
  }
}

// A notice has come: the inputs and folders whose names it gives are
// marked; all of its folder's when it overflowed or the folder failed.
void CALLBACK noticed(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
  auto* notice = static_cast<Notice*>(overlapped->hEvent);
  notice->pending = false;
  if (notice->folder < 0) {
    rt::free(notice);
    return;
  }
  Watcher& watcher = *notice->watcher;
  const int f = notice->folder;
  if (error != NO_ERROR || bytes == 0 || bytes > kNoticeBufferSize) {
    if (error != NO_ERROR) check_soon(watcher, watcher.folders[f]);
    return touch_all(watcher, f);
  }
  for (DWORD at = 0; at + offsetof(FILE_NOTIFY_INFORMATION, FileName) <= bytes;) {
    FILE_NOTIFY_INFORMATION entry;
    rt::memcpy(&entry, notice->changes + at, offsetof(FILE_NOTIFY_INFORMATION, FileName));
    const DWORD units = entry.FileNameLength / sizeof(WCHAR);
    const DWORD name_at = at + static_cast<DWORD>(offsetof(FILE_NOTIFY_INFORMATION, FileName));
    WCHAR wide[MAX_PATH];
    char name[3 * MAX_PATH + 1];
    int length = 0;
    if (units < MAX_PATH && name_at + entry.FileNameLength <= bytes) {
      rt::memcpy(wide, notice->changes + name_at, entry.FileNameLength);
      length = rt::name_from_wide(wide, static_cast<int>(units), name, static_cast<int>(sizeof name) - 1);
    }
    if (length <= 0 && units > 0) return touch_all(watcher, f);
    name[length] = '\0';
    if (name[0]) take_change(watcher, f, entry.Action, name);
    if (entry.NextEntryOffset == 0 || entry.NextEntryOffset > bytes - at) break;
    at += entry.NextEntryOffset;
  }
}

// Every watched folder with a request under way; one that cannot have it is
// watched no more (its names are then looked up at every clock poll).
void request_notices(Watcher& watcher) {
  for (int f = 0; f < watcher.folder_count; ++f) {
    Folder& folder = watcher.folders[f];
    if (!folder.handle || (folder.notice && folder.notice->pending)) continue;
    if (!folder.notice) folder.notice = static_cast<Notice*>(rt::malloc(sizeof(Notice)));
    if (folder.notice) {
      *folder.notice = Notice{.overlapped = {}, .watcher = &watcher, .folder = f, .pending = true, .changes = {}};
      folder.notice->overlapped.hEvent = folder.notice;
      if (w32::ReadDirectoryChangesW(folder.handle, folder.notice->changes, kNoticeBufferSize, FALSE, folder.filter,
                                     nullptr, &folder.notice->overlapped, noticed)) {
        continue;
      }
      folder.notice->pending = false;
    }
    unwatch(folder);
    touch_all(watcher, f);
  }
}

}  // namespace

void watch_folders(Watcher& watcher, const Followed* inputs, int count) {
  watcher = Watcher{.folders = nullptr, .folder_count = 0, .folder_room = 0, .inputs = nullptr, .input_count = 0,
                    .noticed = false};
  watcher.inputs = static_cast<WatchedInput*>(rt::malloc(sizeof(WatchedInput) * static_cast<std::size_t>(count)));
  if (!watcher.inputs) return;
  watcher.input_count = count;
  for (int k = 0; k < count; ++k) {
    watcher.inputs[k] =
        WatchedInput{.folder = -1, .leaf = nullptr, .owns_leaf = false, .by_name = inputs[k].by_name, .touched = false,
                     .moving = false};
    if (inputs[k].named) give_folder(watcher, watcher.inputs[k], inputs[k].name);
  }
  for (int f = 0; f < watcher.folder_count; ++f) check_folder(watcher, f);
  // The folders just watched need no check yet, nor their inputs a poll:
  // following polls every input first.
  for (int f = 0; f < watcher.folder_count; ++f) watcher.folders[f].check = false;
  for (int k = 0; k < count; ++k) watcher.inputs[k].touched = false;
  watcher.noticed = false;
  request_notices(watcher);
}

void renew_watches(Watcher& watcher, long long tick) {
  for (int f = 0; f < watcher.folder_count; ++f) {
    if (watcher.folders[f].check || has_turn(f, tick)) check_folder(watcher, f);
  }
  request_notices(watcher);
}

bool take_notice(Watcher& watcher) { return std::exchange(watcher.noticed, false); }

bool take_touch(Watcher& watcher, int k) {
  return k < watcher.input_count && std::exchange(watcher.inputs[k].touched, false);
}

bool is_watched(const Watcher& watcher, int k) {
  return k < watcher.input_count && watcher.inputs[k].folder >= 0 && watcher.folders[watcher.inputs[k].folder].handle;
}

void stop_watching(Watcher& watcher) {
  for (int f = 0; f < watcher.folder_count; ++f) {
    unwatch(watcher.folders[f]);
    rt::free(watcher.folders[f].path);
    rt::free(watcher.folders[f].leaf);
  }
  for (int k = 0; k < watcher.input_count; ++k) forget_leaf(watcher.inputs[k]);
  rt::free(watcher.folders);
  rt::free(watcher.inputs);
  watcher = Watcher{};
}

}  // namespace tail
