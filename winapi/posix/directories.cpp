// Directories and volumes: the directory search, volume information and
// the current directory.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "winapi/posix/emulation.h"

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Fills the search record for one name of a directory; each byte of the name is a unit.
void describe(const std::string& directory, const std::string& name, WIN32_FIND_DATAW& data) {
  data = WIN32_FIND_DATAW{};
  const std::string path = directory + "/" + name;
  struct stat status;
  if (::stat(path.c_str(), &status) == 0 || ::lstat(path.c_str(), &status) == 0) {
    data.dwFileAttributes = w32::posix::attributes_of(status.st_mode);
    data.ftCreationTime = w32::posix::filetime_of(status.st_ctim);
    data.ftLastAccessTime = w32::posix::filetime_of(status.st_atim);
    data.ftLastWriteTime = w32::posix::filetime_of(status.st_mtim);
    const auto size = static_cast<std::uint64_t>(status.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
  }
  for (std::size_t i = 0; i <= name.size(); ++i) data.cFileName[i] = static_cast<unsigned char>(name.c_str()[i]);
}

}  // namespace

// The pattern is a directory, a separator ('/' or '\') and a mask: "*" and
// "*.*" take every name, any other mask names one entry. Names are bytes
// here: each unit of the pattern is one.
HANDLE FindFirstFileW(LPCWSTR wide_pattern, LPWIN32_FIND_DATAW data) {
  std::string bytes;
  if (!w32::posix::name_bytes(wide_pattern, bytes)) return INVALID_HANDLE_VALUE;
  const char* const pattern = bytes.c_str();
  const char* separator = nullptr;
  for (const char* p = pattern; *p; ++p) {
    if (is_separator(*p)) separator = p;
  }
  const std::string directory = !separator          ? std::string(".")
                                : separator == pattern ? std::string("/")
                                                       : std::string(pattern, static_cast<std::size_t>(separator - pattern));
  const std::string mask = separator ? separator + 1 : pattern;

  DIR* stream = ::opendir(directory.c_str());
  if (!stream) {
    SetLastError(errno == ENOTDIR || errno == ENOENT ? ERROR_PATH_NOT_FOUND : w32::posix::code_from_errno(errno));
    return INVALID_HANDLE_VALUE;
  }
  w32::posix::Directory search;
  search.directory_path = directory;
  while (const struct dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name.size() >= MAX_PATH) continue;  // no Windows name is that long
    if (mask == "*" || mask == "*.*" || mask == name) search.names.push_back(name);
  }
  ::closedir(stream);
  if (search.names.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  describe(search.directory_path, search.names[0], *data);
  search.next = 1;
  w32::posix::Object object;
  object.directory = std::make_unique<w32::posix::Directory>(std::move(search));
  return w32::posix::adopt(std::move(object));
}

BOOL FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW data) {
  w32::posix::Object* object = w32::posix::object_of(handle);
  if (!object || object->fd != -1 || !object->directory) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  w32::posix::Directory* search = object->directory.get();
  if (search->next == search->names.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  describe(search->directory_path, search->names[search->next++], *data);
  return TRUE;
}

BOOL FindClose(HANDLE handle) {
  w32::posix::Object* search = w32::posix::object_of(handle);
  if (!search || search->fd != -1) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  w32::posix::release(handle);
  return TRUE;
}

// Every local volume keeps the case of names, as POSIX file systems do; a
// network share ("\\server\share\") is not reachable here.
BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volume_name, DWORD volume_name_size, LPDWORD serial,
                           LPDWORD maximum_component_length, LPDWORD file_system_flags, LPWSTR file_system_name,
                           DWORD file_system_name_size) {
  if (!root || (is_separator(static_cast<char>(root[0])) && is_separator(static_cast<char>(root[1])))) {
    SetLastError(ERROR_BAD_NETPATH);
    return FALSE;
  }
  if (volume_name && volume_name_size > 0) volume_name[0] = 0;
  if (serial) *serial = 0;
  if (maximum_component_length) *maximum_component_length = 255;
  if (file_system_flags) *file_system_flags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES;
  if (file_system_name) w32::posix::give_units("POSIX", file_system_name, file_system_name_size);
  return TRUE;
}

namespace w32::posix {

bool current_directory(std::string& directory) {
  std::vector<char> cwd(4096);
  while (!::getcwd(cwd.data(), cwd.size())) {
    if (errno != ERANGE) {
      set_error_from_errno();
      return false;
    }
    cwd.resize(cwd.size() * 2);
  }
  directory = cwd.data();
  return true;
}

}  // namespace w32::posix

DWORD GetCurrentDirectoryW(DWORD size, LPWSTR buffer) {
  std::string cwd;
  if (!w32::posix::current_directory(cwd)) return 0;
  return w32::posix::give_units(cwd, buffer, size);
}
