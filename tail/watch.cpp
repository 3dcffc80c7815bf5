// Watching the folders of followed names: each is asked, with
// ReadDirectoryChangesW and a completion routine, to tell the changes of the
// files followed in it; the routine runs while following waits alertably,
// and marks the inputs whose names a notice gives (every input of the
// folder when the notice overflowed or the folder failed).
//
// By name (-F) the folder above each folder of names is watched for names
// too: a notice that gives such a folder's name (renamed, deleted, a link to
// it re-pointed) has the folder compared with what its name leads to, and
// watched anew when that is another; so is every folder at a full look-up.
// A folder that cannot be watched (the system refuses, a network share, a
// folder that has gone) tells nothing: its inputs are left to the clock.
#include <cstdint>
#include <utility>

#include "tail/tail.h"

#include "runtime/msg/heap.h"
#include "runtime/startup/exit.h"
#include "runtime/string.h"
#include "runtime/win32/fstat.h"

namespace tail {
namespace {

// What a folder is asked to tell: writes to the files followed in it, and by
// name also names and attributes (a file made unreadable); the folder above
// a folder of names is asked for names only.
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
Folder* g_folders = nullptr;
int g_folder_count = 0;
bool g_noticed = false;  // a notice has come since the last take_notice
Followed* g_inputs = nullptr;  // the inputs followed, which notices mark
int g_input_count = 0;

// The index of the folder with this full path, added (with the filter) when
// it is new; the path is taken over.
int folder_of(char* path, DWORD filter) {
  for (int f = 0; f < g_folder_count; ++f) {
    if (rt::strcmp(g_folders[f].path, path) == 0) {
      rt::free(path);
      g_folders[f].filter |= filter;
      return f;
    }
  }
  g_folders[g_folder_count] = Folder{.path = path,
                                     .leaf = nullptr,
                                     .parent = -1,
                                     .filter = filter,
                                     .handle = nullptr,
                                     .id = {},
                                     .notice = nullptr,
                                     .check = false};
  return g_folder_count++;
}

// The folder above folder f, watched for the names in it (by name), so that
// a change of f's name is told. A root has none.
void watch_parent(int f) {
  const char* path = g_folders[f].path;
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
  const int p = folder_of(parent, kNameChanges);
  g_folders[f].leaf = leaf;
  g_folders[f].parent = p;
}

// Gives a named input the folder of its name, and its leaf; the folder's
// notices then concern it. Without memory it has none, and is looked at by
// the clock alone.
void give_folder(Followed& input) {
  LPSTR file_part = nullptr;
  const DWORD size = w32::GetFullPathNameA(input.name, 0, nullptr, &file_part);
  char* path = size != 0 ? static_cast<char*>(rt::malloc(size)) : nullptr;
  if (!path) return;
  const DWORD written = w32::GetFullPathNameA(input.name, size, path, &file_part);
  char* leaf = written != 0 && written < size && file_part ? rt::xstrdup(file_part) : nullptr;
  if (!leaf) {
    rt::free(path);
    return;
  }
  *file_part = '\0';
  const DWORD filter = input.by_name ? kWriteChanges | kNameChanges | kStatusChanges : kWriteChanges;
  input.folder = folder_of(path, filter);
  input.leaf = leaf;
  if (input.by_name && !g_folders[input.folder].leaf) watch_parent(input.folder);
}

// Lets the handle of folder f go; a request under way is freed by its
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

// Closes every watch and frees the folders (at exit).
void stop_watching() {
  for (int f = 0; f < g_folder_count; ++f) {
    unwatch(g_folders[f]);
    rt::free(g_folders[f].path);
    rt::free(g_folders[f].leaf);
  }
  rt::free(g_folders);
  g_folders = nullptr;
  g_folder_count = 0;
}

// The identity of what `path` names now, and its handle when it is a folder
// that can be watched; null when it cannot.
HANDLE open_folder(const char* path, rt::FileIdentity& id) {
  HANDLE handle = w32::CreateFileA(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  if (!w32::GetFileInformationByHandle(handle, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    w32::CloseHandle(handle);
    return nullptr;
  }
  id = rt::FileIdentity{info.dwVolumeSerialNumber, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
                        info.nNumberOfLinks, 0};
  return handle;
}

// A notice concerns an input: it is polled (by name, looked up) at once.
void touch(Followed& input) { input.touched = g_noticed = true; }
// A notice gives the name of a watched folder: it is compared at once.
void check_soon(Folder& folder) { folder.check = g_noticed = true; }

// Marks the inputs of folder f for a poll, and the folders in it for a check.
void touch_all(int f) {
  for (int k = 0; k < g_input_count; ++k) {
    if (g_inputs[k].folder == f) touch(g_inputs[k]);
  }
  for (int c = 0; c < g_folder_count; ++c) {
    if (g_folders[c].parent == f) check_soon(g_folders[c]);
  }
}

// Compares folder f with what its name leads to now; when that is another
// folder (or none), the old one is let go, the new one watched, and every
// name in it looked up. Then a folder that can be watched is.
void check_folder(int f) {
  Folder& folder = g_folders[f];
  folder.check = false;
  rt::FileIdentity now{};
  HANDLE handle = open_folder(folder.path, now);
  if (folder.handle && handle && same_file(now, folder.id)) {
    w32::CloseHandle(handle);
    return;
  }
  if (folder.handle || handle) touch_all(f);  // watched anew, or no more: every name may have changed
  unwatch(folder);
  folder.handle = handle;
  folder.id = now;
}

// Names compared as the system may give them: letters of either case.
bool same_leaf(const char* a, const char* b) {
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (; *a && fold(*a) == fold(*b); ++a, ++b) {
  }
  return *a == *b;
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
  const int f = notice->folder;
  if (error != NO_ERROR || bytes == 0 || bytes > kNoticeBufferSize) {
    if (error != NO_ERROR) check_soon(g_folders[f]);
    return touch_all(f);
  }
  for (DWORD at = 0; at + offsetof(FILE_NOTIFY_INFORMATION, FileName) <= bytes;) {
    FILE_NOTIFY_INFORMATION entry;
    rt::memcpy(&entry, notice->changes + at, offsetof(FILE_NOTIFY_INFORMATION, FileName));
    const DWORD units = entry.FileNameLength / sizeof(WCHAR);
    const DWORD name_at = at + static_cast<DWORD>(offsetof(FILE_NOTIFY_INFORMATION, FileName));
    WCHAR wide[MAX_PATH];
    char name[MAX_PATH + 1];
    int length = 0;
    BOOL lacking = FALSE;  // a name this page lacks names nothing followed
    if (units < MAX_PATH && name_at + entry.FileNameLength <= bytes) {
      rt::memcpy(wide, notice->changes + name_at, entry.FileNameLength);
      length = w32::WideCharToMultiByte(CP_OEMCP, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(units), name,
                                        MAX_PATH, nullptr, &lacking);
    }
    if (length <= 0 && units > 0 && !lacking) return touch_all(f);
    name[length > 0 && !lacking ? length : 0] = '\0';
    for (int k = 0; k < g_input_count && name[0]; ++k) {
      if (g_inputs[k].folder == f && same_leaf(g_inputs[k].leaf, name)) touch(g_inputs[k]);
    }
    for (int c = 0; c < g_folder_count && name[0]; ++c) {
      if (g_folders[c].parent == f && same_leaf(g_folders[c].leaf, name)) check_soon(g_folders[c]);
    }
    if (entry.NextEntryOffset == 0 || entry.NextEntryOffset > bytes - at) break;
    at += entry.NextEntryOffset;
  }
}

// Every watched folder with a request under way; one that cannot have it is
// watched no more (its names are then looked up at every clock poll).
void request_notices() {
  for (int f = 0; f < g_folder_count; ++f) {
    Folder& folder = g_folders[f];
    if (!folder.handle || (folder.notice && folder.notice->pending)) continue;
    if (!folder.notice) folder.notice = static_cast<Notice*>(rt::malloc(sizeof(Notice)));
    if (folder.notice) {
      *folder.notice = Notice{.overlapped = {}, .folder = f, .pending = true, .changes = {}};
      folder.notice->overlapped.hEvent = folder.notice;
      if (w32::ReadDirectoryChangesW(folder.handle, folder.notice->changes, kNoticeBufferSize, FALSE, folder.filter,
                                     nullptr, &folder.notice->overlapped, noticed)) {
        continue;
      }
      folder.notice->pending = false;
    }
    unwatch(folder);
    touch_all(f);
  }
}

}  // namespace

void watch_folders(Followed* inputs, int count) {
  g_inputs = inputs;
  g_input_count = count;
  g_folders = static_cast<Folder*>(rt::malloc(sizeof(Folder) * 2 * static_cast<std::size_t>(count)));
  if (!g_folders) return;
  rt::atexit(stop_watching);
  for (int k = 0; k < count; ++k) {
    if (inputs[k].named) give_folder(inputs[k]);
  }
  for (int f = 0; f < g_folder_count; ++f) check_folder(f);
  // The folders just watched need no check yet (following polls every input first).
  for (int f = 0; f < g_folder_count; ++f) g_folders[f].check = false;
  g_noticed = false;
  request_notices();
}

void renew_watches(bool full) {
  for (int f = 0; f < g_folder_count; ++f) {
    if (full || g_folders[f].check) check_folder(f);
  }
  request_notices();
}

bool take_notice() { return std::exchange(g_noticed, false); }

bool is_watched(const Followed& input) { return input.folder >= 0 && g_folders[input.folder].handle; }

}  // namespace tail
