// The descriptor table: validation, descriptors without a handle, seeking, pipes,
// duplicates and their numbers, full tables, failures and the errors a user reads.
#include <functional>
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/msg/heap.h"
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
  char byte;
  rt::FileStatus status;
  const std::vector<std::pair<const char*, std::function<long long(int)>>> operations = {
      {"read", [&](int fd) { return rt::read(fd, &byte, 1); }}, {"write", [](int fd) { return rt::write(fd, "x", 1); }},
      {"lseek", [](int fd) { return rt::lseek(fd, 0, rt::SEEK_SET); }}, {"close", [](int fd) { return rt::close(fd); }},
      {"dup", [](int fd) { return rt::dup(fd); }}, {"dup2", [](int fd) { return rt::dup2(fd, 4); }},
      {"fcntl", [](int fd) { return rt::fcntl(fd, rt::F_GETFD, 0); }},
      {"fd_is_console", [](int fd) { return rt::fd_is_console(fd); }},
      {"fstat", [&](int fd) { return rt::fstat(fd, &status); }},
  };
  for (const int fd : {10, -1, closed, 1 << 20}) {
    for (const auto& [name, operation] : operations) {
      rt::errno = 0;
      EXPECT_EQ(operation(fd), -1) << name << " on " << fd;
      EXPECT_EQ(rt::errno, 6) << name << " on " << fd;
    }
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
  // A standard handle the process did not get makes such a slot.
  rt::free(rt::fd_table);
  w32::hook::fail_nth(Call::GetStdHandle, 2, ERROR_INVALID_HANDLE);
  ASSERT_EQ(rt::fd_init(), 0);
  EXPECT_EQ(rt::write(1, "x", 1), -1);
  EXPECT_EQ(rt::dup(0), 3);  // 3 and up are free
}

TEST_F(Descriptors, SeekingFilesAndPipes) {
  const int fd = open_scratch();
  EXPECT_EQ(rt::lseek(fd, 0, rt::SEEK_END), 10);
  EXPECT_EQ(rt::lseek(fd, -4, rt::SEEK_CUR), 6);
  EXPECT_EQ(next_byte(fd), '6');
  EXPECT_EQ(rt::lseek(fd, -1, rt::SEEK_SET), -1);
  EXPECT_EQ(rt::errno, ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(rt::lseek(fd, 0, rt::SEEK_CUR), 7);  // a refused seek moves nothing
  const support::Pipe pipe = support::make_pipe();
  EXPECT_EQ(rt::lseek(pipe.read_fd, 0, rt::SEEK_CUR), -1);
  EXPECT_EQ(rt::errno, rt::ERR_ILLEGAL_SEEK);
  EXPECT_EQ(rt::fd_is_console(fd) + rt::fd_is_console(pipe.read_fd), 0);
  // A pipe whose writer has gone ends with 0 bytes, not an error.
  ASSERT_EQ(rt::write(pipe.write_fd, "ab", 2), 2);
  ASSERT_EQ(rt::close(pipe.write_fd), 0);
  char bytes[8];
  EXPECT_EQ(rt::read(pipe.read_fd, bytes, sizeof bytes), 2);
  rt::errno = 0;
  EXPECT_EQ(rt::read(pipe.read_fd, bytes, sizeof bytes), 0);
  EXPECT_EQ(rt::errno, 0);
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

// Failures of the system, and the error numbers whose messages a user reads.
TEST_F(Descriptors, SystemFailures) {
  const int fd = open_scratch();
  const struct {
    DWORD code;
    int error;
  } cases[] = {
      {ERROR_FILE_NOT_FOUND, 2}, {ERROR_INVALID_NAME, 2},  // a name the system cannot take is not there
      {ERROR_FILENAME_EXCED_RANGE, rt::ERR_NAME_TOO_LONG}, {ERROR_ACCESS_DENIED, 5},
      {ERROR_NO_DATA, 232}, {ERROR_DISK_FULL, 112},
  };
  for (const auto& c : cases) {
    w32::hook::fail_nth(Call::ReadFile, 1, c.code);
    EXPECT_EQ(next_byte(fd), '-');
    EXPECT_EQ(rt::errno, c.error) << c.code;
  }
  w32::hook::fail_nth(Call::ReadFile, 1, ERROR_BROKEN_PIPE);  // the writer has gone: the end
  char byte;
  EXPECT_EQ(rt::read(fd, &byte, 1), 0);
  EXPECT_EQ(rt::write(fd, "x", 1), -1);  // opened read-only
  EXPECT_EQ(rt::errno, ERROR_ACCESS_DENIED);
  w32::hook::fail_nth(Call::SetFilePointer, 1, 1117);
  EXPECT_EQ(rt::lseek(fd, 0, rt::SEEK_SET), -1);
  EXPECT_EQ(rt::errno, 1117);
  w32::hook::fail_nth(Call::CloseHandle, 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(rt::close(fd), -1);
  EXPECT_EQ(next_byte(fd), '0');  // still open
}

}  // namespace
