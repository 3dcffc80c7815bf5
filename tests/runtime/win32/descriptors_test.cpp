// The descriptor table grows as long as the heap gives it memory; a file's modification time in its status.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/support.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/fstat.h"
#include "runtime/win32/open.h"

namespace {

using w32::hook::Call;
using Descriptors = support::RuntimeTest;

// Descriptors are numbered from the lowest free one; when the table cannot grow, an open fails with too many open
// files and its handle is closed, and the next one that can grows it.
TEST_F(Descriptors, TheTableGrowsWhileThereIsMemory) {
  const std::string path = dir.write("f", "0123456789");
  w32::hook::fail_nth(Call::HeapReAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  int next = 3;
  for (int fd; (fd = rt::open(path.c_str(), rt::O_RDONLY, 0)) >= 0; ++next) ASSERT_EQ(fd, next);
  EXPECT_EQ(rt::errno, ERROR_TOO_MANY_OPEN_FILES);
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 1u);
  for (const int last = next + 100; next < last; ++next) ASSERT_EQ(rt::open(path.c_str(), rt::O_RDONLY, 0), next);
  ASSERT_EQ(rt::close(5), 0);
  EXPECT_EQ(rt::dup(next - 1), 5);
  char byte = 0;
  EXPECT_EQ(rt::read(5, &byte, 1), 1);
  EXPECT_EQ(byte, '0');
}

// The time goes through the DOS date and time: two-second steps, and 1980-01-01 for anything before it.
TEST_F(Descriptors, ModificationTimesOfRealFiles) {
  const std::string path = dir.write("f", "hello");
  std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
      {1300184431, 1300184430},  // 2011-03-15 10:20:31 UTC: an odd second rounds down
      {315532799, 315532800},    // before the first DOS date
  };
  for (unsigned month = 1; month <= 12; ++month) {  // the first of each month of a leap year
    const std::chrono::sys_seconds first{std::chrono::sys_days{std::chrono::year{2016} / month / 1}};
    cases.emplace_back(first.time_since_epoch().count(), first.time_since_epoch().count());
  }
  for (const auto& [written, seconds] : cases) {
    std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(std::chrono::sys_seconds{
                                               std::chrono::seconds{written}}));
    const int fd = rt::open(path.c_str(), rt::O_RDONLY, 0);
    rt::FileStatus status{};
    EXPECT_EQ(rt::fstat(fd, &status), 0);
    EXPECT_EQ(status.st_mtime, seconds) << written;
    rt::close(fd);
  }
}

}  // namespace
