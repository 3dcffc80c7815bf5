// File status: mode bits, the fields and fallbacks of the record, the
// times of real files, 64-bit sizes, and the inputs that have no status.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/fstat.h"
#include "runtime/win32/open.h"

namespace {

using support::filetime_at;
using FileStatusTest = support::RuntimeTest;

TEST_F(FileStatusTest, ModeBitsFromAttributes) {
  const struct {
    DWORD attributes;
    std::uint32_t mode;
  } cases[] = {
      {FILE_ATTRIBUTE_ARCHIVE, 0x83FF},
      {FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, 0x1836D},
      {FILE_ATTRIBUTE_NORMAL, 0x81FF},
      {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN, 0x49FF},
      {FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_OFFLINE,
       0x81FF | 0x400 | 0x40000 | 0x80000 | 0x20000},
  };
  for (const auto& c : cases) EXPECT_EQ(rt::file_mode(c.attributes), c.mode) << std::hex << c.attributes;
}

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
  const struct {
    std::int64_t written;
    std::uint32_t seconds;
  } cases[] = {
      {1300184430, 1300184430}, {1300184431, 1300184430},  // 2011-03-15 10:20:30 UTC; an odd second rounds down
      {951782400, 951782400}, {951868800, 951868800},      // 2000-02-29, 2000-03-01
      {315532800, 315532800}, {315532799, 315532800},      // the first DOS date, 1980-01-01, and before it
      {4102444800, 4102444800},                            // 2100-01-01
  };
  for (const auto& c : cases) {
    const std::chrono::sys_seconds written{std::chrono::seconds{c.written}};
    std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(written));
    EXPECT_EQ(status_of().st_mtime, c.seconds) << c.written;
  }
  EXPECT_EQ(status_of().st_mode, 0x83FFu);
  EXPECT_EQ(status_of().st_size, 5);
  EXPECT_EQ(status_of().st_nlink, 1);
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                         std::filesystem::perms::others_read);
  EXPECT_EQ(status_of().st_mode, 0x1836Du);
}

TEST_F(FileStatusTest, SizesAndPositionsBeyondFourGigabytes) {
  const std::string path = dir.write("sparse", "");
  const std::int64_t size = (std::int64_t{5} << 30) + 5;
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size));
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(size - 5);
    file.write("tail\n", 5);
  }
  const int fd = rt::open(path.c_str(), rt::O_RDONLY, 0);
  rt::FileStatus status;
  ASSERT_EQ(rt::fstat(fd, &status), 0);
  EXPECT_EQ(status.st_size, size);
  EXPECT_EQ(rt::lseek(fd, 0, rt::SEEK_END), size);
  EXPECT_EQ(rt::lseek(fd, -5, rt::SEEK_END), size - 5);
  char bytes[5];
  ASSERT_EQ(rt::read(fd, bytes, 5), 5);
  EXPECT_EQ(std::string(bytes, 5), "tail\n");
  EXPECT_EQ(rt::lseek(fd, size - 4, rt::SEEK_SET), size - 4);
  ASSERT_EQ(rt::read(fd, bytes, 4), 4);
  EXPECT_EQ(std::string(bytes, 4), "ail\n");
}

TEST_F(FileStatusTest, PipesAndHandlelessSlotsHaveNoStatus) {
  const support::Pipe pipe = support::make_pipe();
  ASSERT_EQ(rt::fd_install(6, INVALID_HANDLE_VALUE), 6);
  for (const int fd : {pipe.read_fd, 6}) {
    rt::FileStatus status{};
    status.st_size = 99;
    rt::errno = 0;
    EXPECT_EQ(rt::fstat(fd, &status), -1) << fd;
    EXPECT_NE(rt::errno, 0) << fd;
    EXPECT_EQ(status.st_size, 99) << fd;  // untouched
  }
}

}  // namespace
