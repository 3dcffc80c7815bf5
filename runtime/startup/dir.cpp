// Directories, paths and volumes.
#include "runtime/startup/dir.h"

#include "runtime/msg/ctype.h"
#include "runtime/msg/heap.h"
#include "runtime/startup/start.h"
#include "runtime/string.h"
#include "runtime/win32/errno.h"

namespace rt {
namespace {

constexpr std::size_t kLongestDirectoryName = 256;
constexpr char kMask[] = "*.*";

// The name of the entry found, in the file functions' code page, into
// entry_name: a character the page lacks is '?', which opens no file, never
// a look-alike that could name another. False for a name longer than
// entry_name holds, which no shortened name would open either.
bool take_name(DIR* dir) {
  const WCHAR* found = dir->find_data.cFileName;
  int units = 0;
  while (units < static_cast<int>(MAX_PATH) && found[units] != 0) ++units;
  const int length = to_oem(found, units, dir->entry_name, sizeof dir->entry_name - 1, nullptr);
  dir->entry_name[length] = '\0';
  return length > 0 || units == 0;
}

}  // namespace

bool path_exists(const char* path) { return w32::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

DIR* opendir(const char* name) {
  auto* dir = static_cast<DIR*>(malloc(sizeof(DIR)));
  if (!dir) {
    errno = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  const std::size_t length = strlen(name);
  if (length > kLongestDirectoryName) {
    free(dir);
    errno = ERR_NAME_TOO_LONG;
    return nullptr;
  }
  memcpy(dir->dir_path, name, length + 1);
  const DWORD attributes = w32::GetFileAttributesA(dir->dir_path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    free(dir);
    errno = ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  std::size_t path_length = length;
  const bool bare_drive = length == 2 && name[1] == ':';
  if (!bare_drive && (length == 0 || !is_path_separator(name[length - 1]))) {
    dir->dir_path[path_length++] = '\\';
    dir->dir_path[path_length] = '\0';
  }
  dir->dir_path_len = static_cast<std::int32_t>(path_length);
  dir->position = 0;
  dir->find_handle = INVALID_HANDLE_VALUE;
  return dir;
}

const char* readdir(DIR* dir) {
  do {
    if (dir->position == 0) {
      char* mask_at = dir->dir_path + dir->dir_path_len;
      memcpy(mask_at, kMask, sizeof kMask);
      WCHAR pattern[sizeof dir->dir_path];
      const int units = w32::MultiByteToWideChar(CP_OEMCP, 0, dir->dir_path, -1, pattern, sizeof dir->dir_path);
      dir->find_handle = units == 0 ? INVALID_HANDLE_VALUE : w32::FindFirstFileW(pattern, &dir->find_data);
      *mask_at = '\0';
      if (dir->find_handle == INVALID_HANDLE_VALUE) return nullptr;
      dir->fold_names = volume_folds_names(dir->dir_path) ? 1 : 0;
    } else if (dir->find_handle == INVALID_HANDLE_VALUE || !w32::FindNextFileW(dir->find_handle, &dir->find_data)) {
      return nullptr;
    }
    ++dir->position;
  } while (!take_name(dir));
  if (dir->fold_names) fold_to_lower(dir->entry_name);
  for (char* p = dir->entry_name; *p; ++p) {
    if (*p == '\\') *p = '/';
  }
  return dir->entry_name;
}

int closedir(DIR* dir) {
  if (dir->find_handle != INVALID_HANDLE_VALUE) w32::FindClose(dir->find_handle);
  free(dir);
  return 0;
}

void fold_to_lower(char* text) {
  for (; *text; ++text) *text = static_cast<char>(tolower(static_cast<unsigned char>(*text)));
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
  char file_system[25] = "";
  const BOOL known = w32::GetVolumeInformationA(root, nullptr, 0, nullptr, &maximum_component_length, &flags,
                                               file_system, sizeof file_system);
  free(root);
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
  const DWORD needed = w32::GetCurrentDirectoryA(0, nullptr);
  char* directory = static_cast<char*>(malloc(needed + 1));
  if (!directory) {
    errno = ERROR_NOT_ENOUGH_MEMORY;
    return -1;
  }
  w32::GetCurrentDirectoryA(needed + 1, directory);
  const char first = directory[0];
  free(directory);
  return first >= 'a' && first <= 'z' ? first - 'a' : first - 'A';
}

}  // namespace rt
