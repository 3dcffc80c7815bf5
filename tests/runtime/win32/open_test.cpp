// Opening files by name: the request made of the system for each kind of
// name and flag, and what opening does to real files and descriptors.
#include <filesystem>
#include <string>
#include <tuple>

#include "tests/support/runtime_test.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/open.h"

namespace {

using w32::hook::Call;
using Open = support::RuntimeTest;

TEST_F(Open, RequestsForNamesAndFlags) {
  constexpr int R = rt::O_RDONLY, W = rt::O_WRONLY, RW = rt::O_RDWR, CREAT = rt::O_CREAT, TRUNC = rt::O_TRUNC;
  constexpr DWORD kRead = GENERIC_READ, kWrite = GENERIC_WRITE, kBoth = GENERIC_READ | GENERIC_WRITE;
  constexpr DWORD EXISTING = OPEN_EXISTING, ALWAYS = OPEN_ALWAYS, NORMAL = FILE_ATTRIBUTE_NORMAL;
  const struct {
    const char* name;
    int flags, permissions;
    const char* system_name;
    DWORD access, disposition, attributes;
  } cases[] = {
      {"/dev/null", W, 0, "nul", kWrite, EXISTING, NORMAL},
      {"/DEV/NULL", R, 0, "/DEV/NULL", kRead, EXISTING, NORMAL},
      {"/dev/tty", R, 0, "CONIN$", kBoth, EXISTING, NORMAL},
      {"CON", RW, 0, "CON", kRead, EXISTING, NORMAL},
      {"/Dev/Con", RW | CREAT, 0666, "/Dev/Con", kRead, EXISTING, 0},
      {"con", W, 0, "con", kWrite, EXISTING, NORMAL},
      {"ConOut$", W | TRUNC, 0, "ConOut$", kBoth, EXISTING, NORMAL},
      {"COM1:", RW | CREAT | TRUNC, 0666, "COM1:", kBoth, EXISTING, 0},
      {"\\\\.\\pipe\\p", W | CREAT, 0666, "\\\\.\\pipe\\p", kWrite, EXISTING, 0},
      {"//x/y", W | CREAT, 0666, "//x/y", kWrite, ALWAYS, 0},
      {"f", R, 0, "f", kRead, EXISTING, NORMAL},
      {"f", 3, 0, "f", kBoth, EXISTING, NORMAL},
      {"f", W | CREAT, 0666, "f", kWrite, ALWAYS, 0},
      {"f", W | TRUNC, 0666, "f", kWrite, TRUNCATE_EXISTING, NORMAL},
      {"f", W | CREAT | TRUNC, 0666, "f", kWrite, CREATE_ALWAYS, 0},
      {"f", W | CREAT | rt::O_EXCL | TRUNC, 0666, "f", kWrite, CREATE_NEW, 0},
      {"f", W | rt::O_EXCL, 0666, "f", kWrite, EXISTING, NORMAL},
      {"f", W | CREAT, 0444, "f", kWrite, ALWAYS, FILE_ATTRIBUTE_READONLY},
      {"f", W | CREAT, 0402, "f", kWrite, ALWAYS, 0},
      {"f", W | CREAT, 0x200 | 0x400 | 0x800 | 0x20000 | 0x40000 | 0x80000 | 0600, "f", kWrite, ALWAYS,
       FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_OFFLINE |
           FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_COMPRESSED},
  };
  for (const auto& c : cases) {
    const rt::OpenRequest r = rt::open_request(c.name, c.flags, c.permissions);
    EXPECT_EQ(std::tuple(std::string(r.name), r.access, r.disposition, r.attributes),
              std::tuple(std::string(c.system_name), c.access, c.disposition, c.attributes)) << c.name;
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
  for (const unsigned nth : {1, 2}) {  // the size asked, then the path written
    w32::hook::fail_nth(Call::GetFullPathNameA, nth, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_GE(rt::open("sub/f", rt::O_RDONLY, 0), 0) << nth;
  }
  w32::hook::fail_nth(Call::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_GE(rt::open("sub/f", rt::O_RDONLY, 0), 0);
}

}  // namespace
