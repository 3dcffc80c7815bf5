// Opening files by name: the request made of the system for each kind of
// name and flag, and what opening does to real files and descriptors.
#include <filesystem>
#include <string>

#include "tests/support/runtime_test.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/fstat.h"
#include "runtime/win32/open.h"

namespace {

using w32::hook::Call;
using Open = support::RuntimeTest;

constexpr DWORD kRead = GENERIC_READ;
constexpr DWORD kWrite = GENERIC_WRITE;
constexpr DWORD kBoth = GENERIC_READ | GENERIC_WRITE;

TEST_F(Open, RequestsForNamesAndFlags) {
  const struct {
    const char* name;
    int flags;
    int permissions;
    const char* system_name;
    DWORD access;
    DWORD disposition;
    DWORD attributes;
  } cases[] = {
      {"/dev/null", rt::O_WRONLY, 0, "nul", kWrite, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL},
      {"/DEV/NULL", rt::O_RDONLY, 0, "/DEV/NULL", kRead, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL},
      {"/dev/tty", rt::O_RDONLY, 0, "CONIN$", kBoth, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL},
      {"CON", rt::O_RDWR, 0, "CON", kRead, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL},
      {"/Dev/Con", rt::O_RDWR | rt::O_CREAT, 0666, "/Dev/Con", kRead, OPEN_EXISTING, 0},
      {"con", rt::O_WRONLY, 0, "con", kWrite, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL},
      {"ConOut$", rt::O_WRONLY | rt::O_TRUNC, 0, "ConOut$", kBoth, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL},
      {"COM1:", rt::O_RDWR | rt::O_CREAT | rt::O_TRUNC, 0666, "COM1:", kBoth, OPEN_EXISTING, 0},
      {"\\\\.\\pipe\\p", rt::O_WRONLY | rt::O_CREAT, 0666, "\\\\.\\pipe\\p", kWrite, OPEN_EXISTING, 0},
      {"//x/y", rt::O_WRONLY | rt::O_CREAT, 0666, "//x/y", kWrite, OPEN_ALWAYS, 0},
      {"f", rt::O_RDONLY, 0, "f", kRead, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL},
      {"f", 3, 0, "f", kBoth, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL},
      {"f", rt::O_WRONLY | rt::O_CREAT, 0666, "f", kWrite, OPEN_ALWAYS, 0},
      {"f", rt::O_WRONLY | rt::O_TRUNC, 0666, "f", kWrite, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL},
      {"f", rt::O_WRONLY | rt::O_CREAT | rt::O_TRUNC, 0666, "f", kWrite, CREATE_ALWAYS, 0},
      {"f", rt::O_WRONLY | rt::O_CREAT | rt::O_EXCL | rt::O_TRUNC, 0666, "f", kWrite, CREATE_NEW, 0},
      {"f", rt::O_WRONLY | rt::O_EXCL, 0666, "f", kWrite, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL},
      {"f", rt::O_WRONLY | rt::O_CREAT, 0444, "f", kWrite, OPEN_ALWAYS, FILE_ATTRIBUTE_READONLY},
      {"f", rt::O_WRONLY | rt::O_CREAT, 0402, "f", kWrite, OPEN_ALWAYS, 0},
      {"f", rt::O_WRONLY | rt::O_CREAT, 0x200 | 0x400 | 0x800 | 0x20000 | 0x40000 | 0x80000 | 0600, "f", kWrite,
       OPEN_ALWAYS, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN |
                        FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_COMPRESSED},
  };
  for (const auto& c : cases) {
    const rt::OpenRequest request = rt::open_request(c.name, c.flags, c.permissions);
    EXPECT_STREQ(request.name, c.system_name) << c.name << " " << c.flags;
    EXPECT_EQ(request.access, c.access) << c.name << " " << c.flags;
    EXPECT_EQ(request.disposition, c.disposition) << c.name << " " << c.flags;
    EXPECT_EQ(request.attributes, c.attributes) << c.name << " " << c.flags;
  }
  EXPECT_EQ(rt::open_request("f", 0, 0).share, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

TEST_F(Open, DevNullSwallowsWritesAndReadsAsEmpty) {
  const int out = rt::open("/dev/null", rt::O_WRONLY, 0);
  ASSERT_GE(out, 0);
  EXPECT_EQ(rt::write(out, "hello", 5), 5);
  const int in = rt::open("/dev/null", rt::O_RDONLY, 0);
  ASSERT_GE(in, 0);
  char byte;
  EXPECT_EQ(rt::read(in, &byte, 1), 0);
}

TEST_F(Open, FailuresCarryTheSystemsError) {
  dir.write("f", "x");
  const struct {
    std::string name;
    int flags;
    int error;
  } cases[] = {
      {in_dir("missing"), rt::O_RDONLY, ERROR_FILE_NOT_FOUND},
      {in_dir("nodir/f"), rt::O_RDONLY, ERROR_PATH_NOT_FOUND},
      {std::string(300, 'n'), rt::O_RDONLY, rt::ERR_NAME_TOO_LONG},
      {dir.path().string(), rt::O_RDONLY, ERROR_ACCESS_DENIED},
      {in_dir("f"), rt::O_WRONLY | rt::O_CREAT | rt::O_EXCL, ERROR_ALREADY_EXISTS},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rt::open(c.name.c_str(), c.flags, 0666), -1) << c.name;
    EXPECT_EQ(rt::errno, c.error) << c.name;
  }
}

TEST_F(Open, AppendPositionsAtTheEndOnce) {
  const std::string path = dir.write("f", "12345");
  const int fd = rt::open(path.c_str(), rt::O_WRONLY | rt::O_APPEND, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(rt::lseek(fd, 0, rt::SEEK_CUR), 5);
  EXPECT_EQ(rt::write(fd, "6", 1), 1);
  EXPECT_EQ(rt::lseek(fd, 0, rt::SEEK_SET), 0);
  EXPECT_EQ(rt::write(fd, "x", 1), 1);  // not positioned again
  rt::close(fd);
  EXPECT_EQ(support::ScratchDir::read(path), "x23456");
}

TEST_F(Open, CreateAndTruncate) {
  const std::string path = in_dir("new");
  int fd = rt::open(path.c_str(), rt::O_WRONLY | rt::O_CREAT | rt::O_TRUNC, 0666);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(rt::write(fd, "abc", 3), 3);
  rt::close(fd);
  fd = rt::open(path.c_str(), rt::O_RDWR | rt::O_TRUNC, 0);
  ASSERT_GE(fd, 0);
  rt::close(fd);
  EXPECT_EQ(support::ScratchDir::read(path), "");

  // Permissions without any write bit make a read-only file.
  const std::string read_only = in_dir("ro");
  rt::close(rt::open(read_only.c_str(), rt::O_WRONLY | rt::O_CREAT, 0444));
  fd = rt::open(read_only.c_str(), rt::O_RDONLY, 0);
  rt::FileStatus status;
  ASSERT_EQ(rt::fstat(fd, &status), 0);
  EXPECT_EQ(status.st_mode & 0x10092u, 0x10000u);
}

// A name with a separator is opened by its full path, in which ".."
// takes back the directory before it, even one that does not exist.
TEST_F(Open, NamesWithASeparatorAreOpenedByTheirFullPath) {
  std::filesystem::create_directory(dir.path() / "sub");
  dir.write("sub/f", "in sub");
  const support::CurrentDir here(dir.path());
  const int fd = rt::open("nodir/../sub/f", rt::O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  char bytes[6];
  EXPECT_EQ(rt::read(fd, bytes, 6), 6);
  EXPECT_EQ(std::string(bytes, 6), "in sub");

  // When the full path cannot be made, the name is tried as it came.
  w32::hook::fail_nth(Call::GetFullPathNameA, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_GE(rt::open("sub/f", rt::O_RDONLY, 0), 0);
  w32::hook::fail_nth(Call::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_GE(rt::open("sub/f", rt::O_RDONLY, 0), 0);
}

TEST_F(Open, NoFreeDescriptorClosesTheNewHandle) {
  const std::string path = dir.write("f", "x");
  for (int i = 3; i < 10; ++i) ASSERT_EQ(rt::dup(2), i);
  w32::hook::reset();
  w32::hook::fail_nth(Call::HeapReAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::open(path.c_str(), rt::O_RDONLY, 0), -1);
  EXPECT_EQ(rt::errno, ERROR_TOO_MANY_OPEN_FILES);
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 1u);
}

}  // namespace
