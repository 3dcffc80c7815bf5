// Directories, paths and volumes.
#include "runtime/startup/dir.h"

#include "runtime/msg/heap.h"
#include "runtime/string.h"
#include "runtime/win32/errno.h"
#include "runtime/win32/wide_name.h"

namespace rt {
namespace {

constexpr char kMask[] = "*.*";

// The name of the entry found, every character kept, into entry_name.
void take_name(DIR* dir) {
  const WCHAR* found = dir->find_data.cFileName;
  int units = 0;
  while (units < static_cast<int>(MAX_PATH) && found[units] != 0) ++units;
  const int length = name_from_wide(found, units, dir->entry_name, sizeof dir->entry_name - 1);
  dir->entry_name[length] = '\0';
}

}  // namespace

DWORD file_attributes(const char* path) {
  const WideName name(path, false);
  return name.get() ? w32::GetFileAttributesW(name.get()) : INVALID_FILE_ATTRIBUTES;
}

bool path_exists(const char* path) { return file_attributes(path) != INVALID_FILE_ATTRIBUTES; }

DIR* opendir(const char* name) {
  const DWORD attributes = file_attributes(name);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    errno = ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  const std::size_t length = strlen(name);
  auto* dir = static_cast<DIR*>(malloc(sizeof(DIR)));
  char* path = static_cast<char*>(malloc(length + 1 + sizeof kMask));
  if (!dir || !path) {
    free(dir);
    free(path);
    errno = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  memcpy(path, name, length + 1);
  std::size_t path_length = length;
  const bool bare_drive = length == 2 && name[1] == ':';
  if (!bare_drive && (length == 0 || !is_path_separator(name[length - 1]))) {
    path[path_length++] = '\\';
    path[path_length] = '\0';
  }
  dir->dir_path = path;
  dir->dir_path_len = path_length;
  dir->position = 0;
  dir->find_handle = INVALID_HANDLE_VALUE;
  return dir;
}

const char* readdir(DIR* dir) {
  if (dir->position == 0) {
    char* mask_at = dir->dir_path + dir->dir_path_len;
    memcpy(mask_at, kMask, sizeof kMask);
    const WideName pattern(dir->dir_path, false);
    dir->find_handle = pattern.get() ? w32::FindFirstFileW(pattern.get(), &dir->find_data) : INVALID_HANDLE_VALUE;
    *mask_at = '\0';
    if (dir->find_handle == INVALID_HANDLE_VALUE) return nullptr;
    dir->fold_names = volume_folds_names(dir->dir_path) ? 1 : 0;
  } else if (dir->find_handle == INVALID_HANDLE_VALUE || !w32::FindNextFileW(dir->find_handle, &dir->find_data)) {
    return nullptr;
  }
  ++dir->position;
  take_name(dir);
  if (dir->fold_names) fold_to_lower(dir->entry_name);
  for (char* p = dir->entry_name; *p; ++p) {
    if (*p == '\\') *p = '/';
  }
  return dir->entry_name;
}

int closedir(DIR* dir) {
  if (dir->find_handle != INVALID_HANDLE_VALUE) w32::FindClose(dir->find_handle);
  free(dir->dir_path);
  free(dir);
  return 0;
}

void fold_to_lower(char* text) {
  for (; *text; ++text) {
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
  }
}

bool volume_folds(std::uint32_t maximum_component_length, std::uint32_t flags, const char* file_system) {
  if (flags & FILE_CASE_PRESERVED_NAMES) return false;
  if (strcmp(file_system, "AS400") == 0) return false;
  return maximum_component_length == 12;
}

bool volume_folds_names(const char* path) {
  char* root = volume_root_of(path);
  if (!root) return true;
  DWORD maximum_component_length = 0;
  DWORD flags = 0;
  WCHAR file_system_units[25] = {};
  const WideName root_name(root, false);
  const BOOL known = root_name.get() && w32::GetVolumeInformationW(root_name.get(), nullptr, 0, nullptr,
                                                                   &maximum_component_length, &flags,
                                                                   file_system_units, 25);
  free(root);
  char file_system[25] = "";
  for (int i = 0; i < 24 && file_system_units[i] != 0; ++i) {
    file_system[i] = file_system_units[i] < 0x80 ? static_cast<char>(file_system_units[i]) : '?';
  }
  return !known || volume_folds(maximum_component_length, flags, file_system);
}

char* volume_root_of(const char* path) {
  if (path[0] != '\0' && path[1] == ':') {
    char* root = static_cast<char*>(malloc(4));
    if (root) memcpy(root, "X:\\", 4);
    if (root) root[0] = path[0];
    return root;
  }
  if (is_path_separator(path[0]) && is_path_separator(path[1])) {
    // \\server\share\...: the root ends after the share name.
    const std::size_t length = strlen(path);
    std::size_t end = 2;
    while (end < length && !is_path_separator(path[end])) ++end;
    if (end == length) return nullptr;  // no share
    ++end;
    while (end < length && !is_path_separator(path[end])) ++end;
    char* root = static_cast<char*>(malloc(end + 2));
    if (!root) return nullptr;
    memcpy(root, path, end);
    root[end] = '\\';
    root[end + 1] = '\0';
    return root;
  }
  char* root = static_cast<char*>(malloc(4));
  if (!root) return nullptr;
  memcpy(root, "X:\\", 4);
  root[0] = static_cast<char>('A' + current_drive_index());
  return root;
}

int current_drive_index() {
  const DWORD needed = w32::GetCurrentDirectoryW(0, nullptr);
  auto* directory = static_cast<WCHAR*>(malloc(sizeof(WCHAR) * (needed + 1)));
  if (!directory) {
    errno = ERROR_NOT_ENOUGH_MEMORY;
    return -1;
  }
  directory[0] = 0;
  w32::GetCurrentDirectoryW(needed + 1, directory);
  const WCHAR first = directory[0];
  free(directory);
  return first >= 'a' && first <= 'z' ? first - 'a' : first - 'A';
}

}  // namespace rt
