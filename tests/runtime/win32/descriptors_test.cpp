// Descriptors: refused numbers, slots without a handle, duplicates and their
// numbers, full tables and marked handles; what opening by name asks of the
// system; and the modification times of real files.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/fstat.h"
#include "runtime/win32/open.h"

namespace {

using w32::hook::Call;

class Descriptors : public support::RuntimeTest {
 protected:
  // A descriptor open on a scratch file holding "0123456789".
  int open_scratch(const char* name = "f") {
    const std::string path = dir.write(name, "0123456789");
    const int fd = rt::open(path.c_str(), rt::O_RDONLY, 0);
    EXPECT_GE(fd, 0);
    return fd;
  }

  // The next byte a descriptor reads, or '-' when it reads none.
  static char next_byte(int fd) {
    char byte;
    return rt::read(fd, &byte, 1) == 1 ? byte : '-';
  }
};

TEST_F(Descriptors, InvalidDescriptorsAreRefusedWithInvalidHandle) {
  const int closed = open_scratch();
  ASSERT_EQ(rt::close(closed), 0);
  rt::errno = 0;
  char byte;
  rt::FileStatus status;
  const auto refused = [](long long result) {
    const bool refused = result == -1 && rt::errno == ERROR_INVALID_HANDLE;
    rt::errno = 0;
    return refused;
  };
  for (const int fd : {10, -1, closed}) {  // read, write, lseek, fstat, dup
    EXPECT_EQ(std::vector<bool>({refused(rt::read(fd, &byte, 1)), refused(rt::write(fd, "x", 1)),
                                 refused(rt::lseek(fd, 0, rt::SEEK_SET)), refused(rt::fstat(fd, &status)),
                                 refused(rt::dup(fd))}),
              std::vector<bool>(5, true)) << fd;
  }
}

TEST_F(Descriptors, ASlotWithoutHandleIsOpenButDoesNoIO) {
  ASSERT_EQ(rt::fd_install(5, INVALID_HANDLE_VALUE), 5);
  rt::errno = 1234;
  EXPECT_EQ(next_byte(5), '-');
  EXPECT_EQ(rt::write(5, "x", 1), -1);
  EXPECT_EQ(rt::errno, 1234);  // no error of its own
  EXPECT_EQ(rt::fcntl(5, rt::F_SETFD, rt::FD_CLOEXEC), 0);
  // A duplicate has no handle either; closing either closes no handle.
  EXPECT_EQ(rt::dup(5), 3);
  EXPECT_EQ(next_byte(3), '-');
  EXPECT_EQ(rt::errno, 1234);
  EXPECT_EQ(rt::close(5), 0);
  EXPECT_EQ(rt::close(3), 0);
}

TEST_F(Descriptors, DuplicatesTakeTheLowestFreeNumberAndShareThePosition) {
  const int a = open_scratch("a");
  const int b = open_scratch("b");
  const int c = open_scratch("c");
  ASSERT_EQ(std::vector<int>({a, b, c}), std::vector<int>({3, 4, 5}));
  ASSERT_EQ(rt::close(b), 0);
  EXPECT_EQ(rt::dup(c), 4);
  EXPECT_EQ(next_byte(c), '0');
  EXPECT_EQ(next_byte(4), '1');

  // With descriptor 0 free, dup gives 0; putting a handle back closes the duplicate.
  HANDLE standard_input = rt::fd_table[0];
  ASSERT_EQ(rt::fd_release(0), 0);
  EXPECT_EQ(rt::fd_release(0), -1);
  EXPECT_EQ(rt::dup(a), 0);
  EXPECT_EQ(next_byte(0), '0');
  w32::hook::reset();
  EXPECT_EQ(rt::fd_install(0, standard_input), 0);
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 1u);

  // dup2 closes the target's handle, grows the table, and duplicates onto itself.
  EXPECT_EQ(rt::dup2(a, c), c);
  EXPECT_EQ(rt::dup2(a, a), a);
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 3u);  // c's handle, then a's own
  EXPECT_EQ(rt::dup2(a, 20), 20);
  EXPECT_EQ(next_byte(a), '1');
  EXPECT_EQ(next_byte(c), '2');
  EXPECT_EQ(next_byte(20), '3');
  EXPECT_EQ(rt::dup2(a, -1), -1);
  EXPECT_EQ(rt::errno, 6);
}

// 0 to 9 open: a table that cannot grow refuses more; F_DUPFD takes the first free from its argument on.
TEST_F(Descriptors, FullTables) {
  const std::string path = dir.write("f", "x");
  for (int i = 3; i < 10; ++i) ASSERT_EQ(rt::dup(2), i);
  w32::hook::fail_nth(Call::HeapReAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::dup(2), -1);
  EXPECT_EQ(rt::errno, ERROR_TOO_MANY_OPEN_FILES);
  w32::hook::fail_nth(Call::HeapReAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::open(path.c_str(), rt::O_RDONLY, 0), -1);
  EXPECT_EQ(rt::errno, ERROR_TOO_MANY_OPEN_FILES);
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 2u);  // the handles that found no slot
  EXPECT_EQ(rt::fd_install(1 << 20, INVALID_HANDLE_VALUE), -1);  // beyond any table
  EXPECT_EQ(rt::errno, ERROR_TOO_MANY_OPEN_FILES);

  EXPECT_EQ(rt::fcntl(2, rt::F_DUPFD, 10), 10);
  EXPECT_EQ(rt::fcntl(2, rt::F_DUPFD, 0), 11);
  ASSERT_EQ(rt::close(5), 0);
  EXPECT_EQ(rt::fcntl(2, rt::F_DUPFD, 4), 5);
  EXPECT_EQ(rt::fcntl(2, rt::F_DUPFD, -1), -1);
  EXPECT_EQ(rt::errno, 6);
  EXPECT_EQ(rt::fcntl(2, 99, 0), -1);
}

// Marking a descriptor replaces its handle by a duplicate: the old one is closed.
TEST_F(Descriptors, FcntlMarksHandles) {
  const int fd = open_scratch();
  w32::hook::reset();
  EXPECT_EQ(rt::fcntl(fd, rt::F_SETFD, rt::FD_CLOEXEC), 0);
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 1u);
  EXPECT_EQ(next_byte(fd), '0');
  // A failed duplication leaves everything, errno included, as it was.
  w32::hook::fail_nth(Call::DuplicateHandle, 1, ERROR_NOT_ENOUGH_MEMORY);
  rt::errno = 77;
  EXPECT_EQ(rt::fcntl(fd, rt::F_SETFD, 0), -1);
  EXPECT_EQ(rt::errno, 77);
  EXPECT_EQ(next_byte(fd), '1');
}

// The name, access and disposition asked of the system for device names and flags.
TEST_F(Descriptors, OpenRequestsForDeviceNames) {
  constexpr int R = rt::O_RDONLY, W = rt::O_WRONLY, RW = rt::O_RDWR, CREAT = rt::O_CREAT, TRUNC = rt::O_TRUNC;
  constexpr DWORD kRead = GENERIC_READ, kWrite = GENERIC_WRITE, kBoth = GENERIC_READ | GENERIC_WRITE;
  const struct { const char* name; int flags; const char* system_name; DWORD access; } cases[] = {
      {"/dev/null", W, "nul", kWrite},
      {"/dev/tty", R, "CONIN$", kBoth},
      {"CON", RW, "CON", kRead},  // the console opens read-only
      {"COM1:", RW | CREAT | TRUNC, "COM1:", kBoth},
      {"\\\\.\\pipe\\p", W | CREAT, "\\\\.\\pipe\\p", kWrite},  // the device namespace
  };
  for (const auto& c : cases) {
    const rt::OpenRequest r = rt::open_request(c.name, c.flags, 0666);
    EXPECT_EQ(std::tuple(std::string(r.name), r.access, r.disposition),
              std::tuple(std::string(c.system_name), c.access, DWORD{OPEN_EXISTING})) << c.name;
  }
  EXPECT_EQ(rt::open_request("f", 0, 0).share, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

// A name with a separator is opened by its full path, in which ".."
// takes back the directory before it, even one that does not exist.
TEST_F(Descriptors, NamesWithASeparatorAreOpenedByTheirFullPath) {
  std::filesystem::create_directory(dir.path() / "sub");
  dir.write("sub/f", "in sub");
  const support::CurrentDir here(dir.path());
  const int fd = rt::open("nodir/../sub/f", rt::O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  char bytes[6];
  EXPECT_EQ(rt::read(fd, bytes, 6), 6);
  EXPECT_EQ(std::string(bytes, 6), "in sub");

  // When the full path cannot be made, the name is tried as it came.
  for (const unsigned nth : {1, 2}) {  // the size asked, then the path written
    w32::hook::fail_nth(Call::GetFullPathNameA, nth, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_GE(rt::open("sub/f", rt::O_RDONLY, 0), 0) << nth;
  }
  w32::hook::fail_nth(Call::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_GE(rt::open("sub/f", rt::O_RDONLY, 0), 0);
}

// A real file's modification time goes through the DOS date and time: two-second
// steps, and 1980-01-01 for anything before it.
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
    const std::chrono::sys_seconds at{std::chrono::seconds{written}};
    std::filesystem::last_write_time(path, std::chrono::file_clock::from_sys(at));
    const int fd = rt::open(path.c_str(), rt::O_RDONLY, 0);
    rt::FileStatus status{};
    EXPECT_EQ(rt::fstat(fd, &status), 0);
    EXPECT_EQ(status.st_mtime, seconds) << written;
    rt::close(fd);
  }
}

}  // namespace
