// File status: the record's fields, mode bits and fallbacks; real files and their times.
// (Past 4 GiB: the command's large-file test; pipes, which have no status: its pipe cases.)
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/fstat.h"
#include "runtime/win32/open.h"

namespace {

using support::filetime_at;
using FileStatusTest = support::RuntimeTest;

TEST_F(FileStatusTest, StatusRecordFromFileInformation) {
  BY_HANDLE_FILE_INFORMATION info{};
  info.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
  info.ftLastWriteTime = filetime_at(1300184430);
  info.nFileSizeHigh = 1;
  info.nFileSizeLow = 5;
  info.nFileIndexLow = 0x12345;
  info.nNumberOfLinks = 0x10000;  // low 16 bits 0: one link
  rt::FileStatus status = rt::file_status(info);
  EXPECT_EQ(status.st_size, (std::int64_t{1} << 32) + 5);
  EXPECT_EQ(status.st_mode, 0x83FFu);
  EXPECT_EQ(std::vector<int>({status.st_ino, status.st_nlink, status.st_dev, status.st_uid, status.st_gid}),
            std::vector<int>({0x2345, 1, 0, 0, 0}));
  // Zero access and creation times read as the last-write time.
  EXPECT_EQ(std::vector<std::uint32_t>({status.st_mtime, status.st_atime, status.st_ctime}),
            std::vector<std::uint32_t>(3, 1300184430));

  info.ftCreationTime = filetime_at(951782400);
  info.ftLastAccessTime = filetime_at(951868800);
  info.nNumberOfLinks = 0x10003;
  status = rt::file_status(info);
  EXPECT_EQ(std::vector<std::uint32_t>({status.st_mtime, status.st_atime, status.st_ctime}),
            std::vector<std::uint32_t>({1300184430, 951868800, 951782400}));
  EXPECT_EQ(status.st_nlink, 3);

  const struct {
    DWORD attributes;
    std::uint32_t mode;
  } modes[] = {
      {FILE_ATTRIBUTE_NORMAL, 0x81FF},
      {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN, 0x49FF},
      {FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_OFFLINE,
       0x81FF | 0x400 | 0x40000 | 0x80000 | 0x20000},
  };
  for (const auto& c : modes) EXPECT_EQ(rt::file_mode(c.attributes), c.mode) << std::hex << c.attributes;
}

// A real file: its mode, size and links, and its modification time through
// the DOS date and time, in two-second steps from 1980 on.
TEST_F(FileStatusTest, RealFiles) {
  const std::string path = dir.write("f", "hello");
  const auto status_of = [&path] {
    const int fd = rt::open(path.c_str(), rt::O_RDONLY, 0);
    rt::FileStatus status{};
    EXPECT_EQ(rt::fstat(fd, &status), 0);
    rt::close(fd);
    return status;
  };
  std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
      {1300184430, 1300184430}, {1300184431, 1300184430},  // 2011-03-15 10:20:30 UTC; an odd second rounds down
      {951782400, 951782400}, {951868800, 951868800},      // 2000-02-29, 2000-03-01
      {315532800, 315532800}, {315532799, 315532800},      // the first DOS date, 1980-01-01, and before it
      {4102444800, 4102444800},                            // 2100-01-01
      {1330596004, 1330596004},                            // 2012-03-01 10:00:04, after a leap day
  };
  for (unsigned month = 1; month <= 12; ++month) {  // the first of each month of a leap year
    const std::chrono::sys_seconds first{std::chrono::sys_days{std::chrono::year{2016} / month / 1}};
    cases.emplace_back(first.time_since_epoch().count(), first.time_since_epoch().count());
  }
  for (const auto& [written, seconds] : cases) {
    const std::chrono::sys_seconds at{std::chrono::seconds{written}};
    std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(at));
    EXPECT_EQ(status_of().st_mtime, seconds) << written;
  }
  EXPECT_EQ(status_of().st_mode, 0x83FFu);
  EXPECT_EQ(status_of().st_size, 5);
  EXPECT_EQ(status_of().st_nlink, 1);
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                         std::filesystem::perms::others_read);
  EXPECT_EQ(status_of().st_mode, 0x1836Du);
}

}  // namespace
