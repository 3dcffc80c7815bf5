// The descriptor table: validation, the descriptor without a handle, pipes,
// duplication, growth of the table and the translation of system errors.
#include <functional>
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/msg/heap.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/fstat.h"
#include "runtime/win32/open.h"

namespace {

using support::RuntimeTest;
using w32::hook::Call;

class Descriptors : public RuntimeTest {
 protected:
  // A descriptor open on a scratch file holding "0123456789".
  int open_scratch(const char* name = "f") {
    const std::string path = dir.write(name, "0123456789");
    const int fd = rt::open(path.c_str(), rt::O_RDONLY, 0);
    EXPECT_GE(fd, 0);
    return fd;
  }
};

TEST_F(Descriptors, InvalidDescriptorsAreRefusedWithInvalidHandle) {
  const int closed = open_scratch();
  ASSERT_EQ(rt::close(closed), 0);
  char byte;
  rt::FileStatus status;
  const std::vector<std::pair<const char*, std::function<long long(int)>>> operations = {
      {"read", [&](int fd) { return rt::read(fd, &byte, 1); }},
      {"write", [&](int fd) { return rt::write(fd, "x", 1); }},
      {"lseek", [&](int fd) { return rt::lseek(fd, 0, rt::SEEK_SET); }},
      {"close", [&](int fd) { return rt::close(fd); }},
      {"dup", [&](int fd) { return rt::dup(fd); }},
      {"dup2", [&](int fd) { return rt::dup2(fd, 4); }},
      {"fcntl", [&](int fd) { return rt::fcntl(fd, rt::F_GETFD, 0); }},
      {"fd_is_console", [&](int fd) { return rt::fd_is_console(fd); }},
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
  char byte;
  rt::errno = 1234;
  EXPECT_EQ(rt::read(5, &byte, 1), -1);
  EXPECT_EQ(rt::write(5, "x", 1), -1);
  EXPECT_EQ(rt::errno, 1234);  // no error of its own
  EXPECT_EQ(rt::fcntl(5, rt::F_GETFD, 0), 0);
  EXPECT_EQ(rt::fcntl(5, rt::F_SETFD, rt::FD_CLOEXEC), 0);

  // dup copies the missing handle without asking the system.
  EXPECT_EQ(rt::dup(5), 3);
  EXPECT_EQ(rt::fd_table[3], INVALID_HANDLE_VALUE);
  EXPECT_EQ(w32::hook::calls(Call::DuplicateHandle), 0u);

  // close releases it without closing anything.
  EXPECT_EQ(rt::close(5), 0);
  EXPECT_EQ(rt::fd_table[5], nullptr);
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 0u);
}

TEST_F(Descriptors, MissingStandardHandleMakesASlotWithoutHandle) {
  rt::free(rt::fd_table);
  w32::hook::fail_nth(Call::GetStdHandle, 2, ERROR_INVALID_HANDLE);
  ASSERT_EQ(rt::fd_init(), 0);
  EXPECT_EQ(rt::fd_count, 10);
  EXPECT_NE(rt::fd_table[0], INVALID_HANDLE_VALUE);
  EXPECT_EQ(rt::fd_table[1], INVALID_HANDLE_VALUE);
  EXPECT_EQ(rt::write(1, "x", 1), -1);
  for (int fd = 3; fd < 10; ++fd) EXPECT_EQ(rt::fd_table[fd], nullptr);
}

TEST_F(Descriptors, FailedTableAllocationFailsInit) {
  rt::free(rt::fd_table);
  w32::hook::fail_nth(Call::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::fd_init(), -1);
  ASSERT_EQ(rt::fd_init(), 0);
}

TEST_F(Descriptors, ReadAtTheEndOfAPipeWhoseWriterHasGoneGivesZero) {
  const support::Pipe pipe = support::make_pipe();
  ASSERT_EQ(rt::write(pipe.write_fd, "ab", 2), 2);
  ASSERT_EQ(rt::close(pipe.write_fd), 0);
  char bytes[8];
  EXPECT_EQ(rt::read(pipe.read_fd, bytes, sizeof bytes), 2);
  rt::errno = 0;
  EXPECT_EQ(rt::read(pipe.read_fd, bytes, sizeof bytes), 0);
  EXPECT_EQ(rt::read(pipe.read_fd, bytes, sizeof bytes), 0);
  EXPECT_EQ(rt::errno, 0);
}

TEST_F(Descriptors, SeekingAPipeIsAnIllegalSeek) {
  const support::Pipe pipe = support::make_pipe();
  EXPECT_EQ(rt::lseek(pipe.read_fd, 0, rt::SEEK_CUR), -1);
  EXPECT_EQ(rt::errno, rt::ERR_ILLEGAL_SEEK);
  EXPECT_EQ(rt::lseek(pipe.write_fd, 5, rt::SEEK_SET), -1);
  EXPECT_EQ(rt::errno, rt::ERR_ILLEGAL_SEEK);
}

TEST_F(Descriptors, SeekingAFile) {
  const int fd = open_scratch();
  EXPECT_EQ(rt::lseek(fd, 0, rt::SEEK_END), 10);
  EXPECT_EQ(rt::lseek(fd, -4, rt::SEEK_CUR), 6);
  char bytes[4];
  EXPECT_EQ(rt::read(fd, bytes, 4), 4);
  EXPECT_EQ(std::string(bytes, 4), "6789");
  EXPECT_EQ(rt::lseek(fd, -1, rt::SEEK_SET), -1);
  EXPECT_EQ(rt::errno, ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(rt::lseek(fd, 0, rt::SEEK_CUR), 10);  // a refused seek moves nothing
}

TEST_F(Descriptors, DupTakesTheLowestFreeNumber) {
  const int a = open_scratch("a");
  const int b = open_scratch("b");
  const int c = open_scratch("c");
  ASSERT_EQ(std::vector<int>({a, b, c}), std::vector<int>({3, 4, 5}));
  ASSERT_EQ(rt::close(b), 0);
  EXPECT_EQ(rt::dup(c), 4);

  // With descriptor 0 free, dup gives 0.
  HANDLE standard_input = rt::fd_table[0];
  ASSERT_EQ(rt::fd_release(0), 0);
  EXPECT_EQ(rt::fd_release(0), -1);
  EXPECT_EQ(rt::dup(a), 0);
  EXPECT_EQ(rt::fd_install(0, standard_input), 0);  // closes the duplicate in slot 0
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 2u);

  // The duplicate shares the file position.
  char bytes[3];
  ASSERT_EQ(rt::read(c, bytes, 3), 3);
  ASSERT_EQ(rt::read(4, bytes, 3), 3);
  EXPECT_EQ(std::string(bytes, 3), "345");
}

TEST_F(Descriptors, Dup2ReplacesTheTarget) {
  const int a = open_scratch("a");
  const int b = open_scratch("b");
  EXPECT_EQ(rt::dup2(a, b), b);
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 1u);  // b's own handle
  HANDLE before = rt::fd_table[a];
  EXPECT_EQ(rt::dup2(a, a), a);  // replaced by its own duplicate
  EXPECT_NE(rt::fd_table[a], before);
  char byte;
  EXPECT_EQ(rt::read(a, &byte, 1), 1);
  EXPECT_EQ(rt::dup2(a, -1), -1);
  EXPECT_EQ(rt::errno, 6);
  EXPECT_EQ(rt::dup2(a, 20), 20);
  EXPECT_EQ(rt::fd_count, 21);
}

TEST_F(Descriptors, FcntlDupfdFindsAFreeNumberAndGrowsTheTable) {
  for (int i = 3; i < 10; ++i) ASSERT_EQ(rt::dup(2), i);
  EXPECT_EQ(rt::fd_count, 10);
  EXPECT_EQ(rt::fcntl(2, rt::F_DUPFD, 10), 10);
  EXPECT_EQ(rt::fd_count, 11);
  EXPECT_EQ(rt::fcntl(2, rt::F_DUPFD, 0), 11);
  EXPECT_EQ(rt::fd_count, 12);
  ASSERT_EQ(rt::close(5), 0);
  EXPECT_EQ(rt::fcntl(2, rt::F_DUPFD, 4), 5);
  EXPECT_EQ(rt::fcntl(2, rt::F_DUPFD, -1), -1);
  EXPECT_EQ(rt::errno, 6);
  EXPECT_EQ(rt::fcntl(2, 99, 0), -1);
}

TEST_F(Descriptors, FcntlSetfdReplacesTheHandle) {
  const int fd = open_scratch();
  HANDLE before = rt::fd_table[fd];
  EXPECT_EQ(rt::fcntl(fd, rt::F_SETFD, rt::FD_CLOEXEC), 0);
  EXPECT_NE(rt::fd_table[fd], before);
  EXPECT_EQ(w32::hook::calls(Call::DuplicateHandle), 1u);
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 1u);

  // A failed duplication leaves everything, errno included, as it was.
  w32::hook::fail_nth(Call::DuplicateHandle, 1, ERROR_NOT_ENOUGH_MEMORY);
  rt::errno = 77;
  before = rt::fd_table[fd];
  EXPECT_EQ(rt::fcntl(fd, rt::F_SETFD, 0), -1);
  EXPECT_EQ(rt::errno, 77);
  EXPECT_EQ(rt::fd_table[fd], before);
}

TEST_F(Descriptors, AFailedGrowthLeavesTheTableAsItWas) {
  for (int i = 3; i < 10; ++i) ASSERT_EQ(rt::dup(2), i);
  HANDLE* table = rt::fd_table;
  w32::hook::fail_nth(Call::HeapReAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::dup(2), -1);
  EXPECT_EQ(rt::errno, ERROR_TOO_MANY_OPEN_FILES);
  EXPECT_EQ(rt::fd_count, 10);
  EXPECT_EQ(rt::fd_table, table);
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 1u);  // the duplicate that found no slot
  EXPECT_EQ(rt::fd_install(1 << 20, INVALID_HANDLE_VALUE), -1);  // beyond any table
  EXPECT_EQ(rt::errno, ERROR_TOO_MANY_OPEN_FILES);
}

TEST_F(Descriptors, SystemFailuresOfReadWriteAndSeek) {
  const int fd = open_scratch();
  char byte;
  w32::hook::fail_nth(Call::ReadFile, 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(rt::read(fd, &byte, 1), -1);
  EXPECT_EQ(rt::errno, 5);
  w32::hook::fail_nth(Call::ReadFile, 1, ERROR_BROKEN_PIPE);
  EXPECT_EQ(rt::read(fd, &byte, 1), 0);
  EXPECT_EQ(rt::write(fd, "x", 1), -1);  // opened read-only
  EXPECT_EQ(rt::errno, ERROR_ACCESS_DENIED);
  w32::hook::fail_nth(Call::SetFilePointer, 1, 1117);
  EXPECT_EQ(rt::lseek(fd, 0, rt::SEEK_SET), -1);
  EXPECT_EQ(rt::errno, 1117);
  w32::hook::fail_nth(Call::CloseHandle, 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(rt::close(fd), -1);
  EXPECT_NE(rt::fd_table[fd], nullptr);  // the slot stays as it was
}

TEST_F(Descriptors, ConsoleTest) {
  const int fd = open_scratch();
  EXPECT_EQ(rt::fd_is_console(fd), 0);
  const support::Pipe pipe = support::make_pipe();
  EXPECT_EQ(rt::fd_is_console(pipe.read_fd), 0);
}

TEST_F(Descriptors, SystemErrorTranslation) {
  const struct {
    DWORD code;
    int error;
  } cases[] = {
      {ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS},
      {ERROR_INVALID_NAME, ERROR_FILE_NOT_FOUND},
      {ERROR_BAD_PATHNAME, ERROR_FILE_NOT_FOUND},
      {ERROR_FILENAME_EXCED_RANGE, rt::ERR_NAME_TOO_LONG},
      {ERROR_DIRECTORY, ERROR_PATH_NOT_FOUND},
      {ERROR_ACCESS_DENIED, 5},
      {ERROR_BROKEN_PIPE, 109},
      {0, 0},
  };
  for (const auto& c : cases) {
    w32::SetLastError(c.code);
    EXPECT_EQ(rt::map_system_error(), -1);
    EXPECT_EQ(rt::errno, c.error) << c.code;
  }
}

}  // namespace
