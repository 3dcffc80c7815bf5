// File status from the Win32 file information of a handle.
#include "runtime/win32/fstat.h"

#include "runtime/win32/attributes.h"

namespace rt {
namespace {

// Days before each month in a year that is not a leap year.
constexpr std::uint16_t kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// Days from 1970-01-01 to 1980-01-01, where DOS dates start.
constexpr unsigned kDaysTo1980 = 3652;

constexpr WORD kDosDate1980 = 0x21;  // 1980-01-01

bool is_zero(const FILETIME& time) { return time.dwLowDateTime == 0 && time.dwHighDateTime == 0; }

off_t size_of(const BY_HANDLE_FILE_INFORMATION& info) {
  return static_cast<off_t>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
}

}  // namespace

std::uint32_t file_mode(DWORD attributes) {
  std::uint32_t mode = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? S_IFDIR : S_IFREG;
  mode |= (attributes & FILE_ATTRIBUTE_READONLY) ? 0x16D : 0x1FF;  // no write bits when read-only
  for (const ModeAttribute& pair : kModeAttributes) {
    if (attributes & pair.attribute) mode |= pair.mode_bit;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) mode |= 0x10000;
  return mode;
}

std::uint32_t file_time_seconds(const FILETIME& time) {
  WORD date;
  WORD clock;
  if (!w32::FileTimeToDosDateTime(&time, &date, &clock)) {
    date = kDosDate1980;
    clock = 0;
  }
  const unsigned day = date & 0x1F;
  const unsigned month = (date >> 5) & 0xF;
  const unsigned year = date >> 9;  // years since 1980
  // A month field outside 1 ... 12 cannot come from the system; it counts as January.
  unsigned day_of_year = (month >= 1 && month <= 12 ? kDaysBeforeMonth[month - 1] : 0) + day - 1;
  if (year % 4 == 0 && month > 2) ++day_of_year;
  const auto days = static_cast<std::uint16_t>(kDaysTo1980 + 365 * year + (year + 3) / 4 + day_of_year);
  const std::uint32_t hours = std::uint32_t{days} * 24 + (clock >> 11);
  const std::uint32_t minutes = hours * 60 + ((clock >> 5) & 0x3F);
  return minutes * 60 + 2 * (clock & 0x1F);
}

FileStatus file_status(const BY_HANDLE_FILE_INFORMATION& info) {
  const FILETIME& written = info.ftLastWriteTime;
  const FILETIME& created = is_zero(info.ftCreationTime) ? written : info.ftCreationTime;
  const FILETIME& accessed = is_zero(info.ftLastAccessTime) ? written : info.ftLastAccessTime;
  return FileStatus{
      0,
      static_cast<std::uint16_t>(info.nFileIndexLow),
      file_mode(info.dwFileAttributes),
      static_cast<std::int16_t>((info.nNumberOfLinks & 0xFFFF) == 0 ? 1 : info.nNumberOfLinks),
      0,
      0,
      size_of(info),
      file_time_seconds(accessed),
      file_time_seconds(written),
      file_time_seconds(created),
  };
}

int fstat(int fd, FileStatus* status) {
  if (!fd_validate(fd)) return -1;
  BY_HANDLE_FILE_INFORMATION info;
  if (!w32::GetFileInformationByHandle(fd_table[fd], &info)) return map_system_error();
  *status = file_status(info);
  return 0;
}

FileIdentity file_identity_of(const BY_HANDLE_FILE_INFORMATION& info) {
  const auto ticks = [](const FILETIME& time) {
    return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  };
  return FileIdentity{info.dwVolumeSerialNumber,
                      (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
                      info.nNumberOfLinks,
                      size_of(info),
                      ticks(info.ftCreationTime),
                      ticks(info.ftLastWriteTime)};
}

int file_identity(int fd, FileIdentity* identity) {
  if (!fd_validate(fd)) return -1;
  BY_HANDLE_FILE_INFORMATION info;
  if (!w32::GetFileInformationByHandle(fd_table[fd], &info)) return map_system_error();
  *identity = file_identity_of(info);
  return 0;
}

}  // namespace rt
