// Files by name and file information: CreateFileW with the DOS device names,
// GetFullPathNameW, GetFileInformationByHandle and FileTimeToDosDateTime.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "winapi/posix/emulation.h"

namespace {

bool is_console_name(const char* name) {
  return ::strcasecmp(name, "con") == 0 || ::strcasecmp(name, "conin$") == 0 || ::strcasecmp(name, "conout$") == 0;
}

// The DOS device names a program may open; each stands for a POSIX device.
const char* device_path(const char* name) {
  if (::strcasecmp(name, "nul") == 0) return "/dev/null";
  if (is_console_name(name)) return "/dev/tty";
  return name;
}

// The error of a failed open: a process without a console has no console
// to open; other names as for any path.
void set_open_error(const char* name) {
  if (is_console_name(name)) {
    SetLastError(ERROR_INVALID_HANDLE);
  } else {
    w32::posix::set_path_error(name);
  }
}

// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr std::int64_t kEpochDifference = 11644473600;
constexpr std::int64_t kTicksPerSecond = 10000000;

// Civil date (proleptic Gregorian) of a count of days since 1970-01-01.
void civil_from_days(std::int64_t days, int& year, unsigned& month, unsigned& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  year = static_cast<int>(year_of_era + era * 400) + (month <= 2 ? 1 : 0);
}

}  // namespace

namespace w32::posix {

bool name_bytes(LPCWSTR name, std::string& bytes) {
  bytes.clear();
  for (; *name; ++name) {
    if (*name > 0xFF) {
      SetLastError(ERROR_INVALID_NAME);
      return false;
    }
    bytes += static_cast<char>(*name);
  }
  return true;
}

DWORD give_units(const std::string& text, LPWSTR buffer, DWORD size) {
  if (text.size() >= size) return static_cast<DWORD>(text.size() + 1);
  for (std::size_t i = 0; i <= text.size(); ++i) buffer[i] = static_cast<unsigned char>(text.c_str()[i]);
  return static_cast<DWORD>(text.size());
}

}  // namespace w32::posix

HANDLE CreateFileW(LPCWSTR wide_name, DWORD access, DWORD /*share*/, LPSECURITY_ATTRIBUTES /*security*/,
                   DWORD disposition, DWORD attributes, HANDLE /*template_file*/) {
  std::string bytes;
  if (!wide_name || !w32::posix::name_bytes(wide_name, bytes)) return INVALID_HANDLE_VALUE;
  if (bytes.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const char* const name = bytes.c_str();
  int flags = O_RDONLY;
  if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) {
    flags = O_RDWR;
  } else if (access & GENERIC_WRITE) {
    flags = O_WRONLY;
  }
  switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  const mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  // CreateFileA never waits: a FIFO without a writer opens at once (its
  // reads then find the end), as anything else an open would block on.
  int fd;
  do {
    fd = ::open(device_path(name), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    set_open_error(name);
    return INVALID_HANDLE_VALUE;
  }
  struct stat status;
  if (::fstat(fd, &status) == 0) {
    // CreateFileA opens a directory only with backup semantics: as a
    // directory, to ask for its changes; never as a file.
    if (S_ISDIR(status.st_mode)) {
      if (!(attributes & FILE_FLAG_BACKUP_SEMANTICS)) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
      }
      w32::posix::Object directory;
      directory.fd = fd;
      directory.directory = std::make_unique<w32::posix::Directory>();
      return w32::posix::adopt(std::move(directory));
    }
    // Reads and writes wait as on any handle.
    if (!S_ISREG(status.st_mode)) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    w32::posix::Object file;
    file.fd = fd;
    file.type = w32::posix::type_of(status.st_mode);  // known now: GetFileType need not ask again
    return w32::posix::adopt(std::move(file));
  }
  return w32::posix::adopt_fd(fd);
}

namespace w32::posix {

DWORD attributes_of(mode_t mode) {
  DWORD attributes = S_ISDIR(mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!(mode & (S_IWUSR | S_IWGRP | S_IWOTH))) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

FILETIME filetime_of(const struct timespec& time) {
  std::int64_t ticks = (time.tv_sec + kEpochDifference) * kTicksPerSecond + time.tv_nsec / 100;
  if (ticks < 0) ticks = 0;
  const auto value = static_cast<std::uint64_t>(ticks);
  return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

void set_path_error(const char* name) {
  if (errno == ENOENT) {
    const char* slash = std::strrchr(name, '/');
    if (slash && slash != name) {
      const std::string directory(name, static_cast<std::size_t>(slash - name));
      struct stat status;
      if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return;
      }
    }
  }
  set_error_from_errno();
}

}  // namespace w32::posix

DWORD GetFileAttributesW(LPCWSTR wide_name) {
  std::string bytes;
  if (!wide_name || !w32::posix::name_bytes(wide_name, bytes)) return INVALID_FILE_ATTRIBUTES;
  const char* const name = bytes.c_str();
  struct stat status;
  if (!*name) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (::stat(device_path(name), &status) != 0) {
    w32::posix::set_path_error(name);
    return INVALID_FILE_ATTRIBUTES;
  }
  return w32::posix::attributes_of(status.st_mode);
}

DWORD GetFullPathNameW(LPCWSTR wide_name, DWORD size, LPWSTR buffer, LPWSTR* file_part) {
  std::string name;
  if (!wide_name || !w32::posix::name_bytes(wide_name, name)) return 0;
  if (name.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  std::string path;
  if (name[0] != '/') {
    if (!w32::posix::current_directory(path)) return 0;
    path += '/';
  }
  path += name;
  // Lexical clean-up, as Windows does it: no empty or "." components, and
  // ".." removes the component before it (never going above the root).
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    const std::string part = path.substr(start, slash - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::string full;
  for (const std::string& part : parts) full += "/" + part;
  if (full.empty() || path.back() == '/') full += '/';
  if (full.size() >= size) return static_cast<DWORD>(full.size() + 1);
  w32::posix::give_units(full, buffer, size);
  if (file_part) {
    const std::size_t last = full.rfind('/');
    *file_part = last + 1 < full.size() ? buffer + last + 1 : nullptr;
  }
  return static_cast<DWORD>(full.size());
}

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  w32::posix::Object* object = w32::posix::object_of(file);
  if (!object) return FALSE;
  struct statx status;
  if (::statx(object->fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &status) != 0) {
    w32::posix::set_error_from_errno();
    return FALSE;
  }
  // Pipes, terminals and other devices have no file information, as consoles
  // and pipes have none on Windows.
  if (!S_ISREG(status.stx_mode) && !S_ISDIR(status.stx_mode)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto time = [](const struct statx_timestamp& stamp) {
    return w32::posix::filetime_of(timespec{stamp.tv_sec, static_cast<long>(stamp.tv_nsec)});
  };
  // The creation time is the birth time where the file system keeps one, and
  // otherwise the last change of the file's status, which a rename or a
  // write moves on: a file whose number is given anew never passes for the
  // one that had it.
  const bool born = (status.stx_mask & STATX_BTIME) != 0;
  *info = BY_HANDLE_FILE_INFORMATION{
      w32::posix::attributes_of(status.stx_mode),
      time(born ? status.stx_btime : status.stx_ctime),
      time(status.stx_atime),
      time(status.stx_mtime),
      static_cast<DWORD>(::makedev(status.stx_dev_major, status.stx_dev_minor)),
      static_cast<DWORD>(status.stx_size >> 32),
      static_cast<DWORD>(status.stx_size),
      static_cast<DWORD>(status.stx_nlink),
      static_cast<DWORD>(status.stx_ino >> 32),
      static_cast<DWORD>(status.stx_ino),
  };
  return TRUE;
}

BOOL FileTimeToDosDateTime(const FILETIME* time, LPWORD dos_date, LPWORD dos_time) {
  const std::uint64_t ticks = (static_cast<std::uint64_t>(time->dwHighDateTime) << 32) | time->dwLowDateTime;
  const auto seconds = static_cast<std::int64_t>(ticks / kTicksPerSecond) - kEpochDifference;
  const std::int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
  const std::int64_t second_of_day = seconds - days * 86400;
  int year;
  unsigned month, day;
  civil_from_days(days, year, month, day);
  if (year < 1980 || year > 2107) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *dos_date = static_cast<WORD>(((year - 1980) << 9) | (month << 5) | day);
  *dos_time = static_cast<WORD>(((second_of_day / 3600) << 11) | ((second_of_day / 60 % 60) << 5) |
                                (second_of_day % 60 / 2));
  return TRUE;
}
