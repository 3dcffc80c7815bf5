// The POSIX emulation's own choices: error codes for errno values and the
// host texts of codes, full path names, the console names on a process
// without a terminal.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "winapi/posix/emulation.h"

namespace {

TEST(Emulation, ErrnoValuesBecomeWin32Codes) {
  const struct {
    int error;
    DWORD code;
  } cases[] = {
      {ENOENT, 2},   {ENOTDIR, 3},  {EMFILE, 4},     {EACCES, 5},  {EPERM, 5},    {EISDIR, 5},
      {EBADF, 6},    {ENOMEM, 8},   {EEXIST, 80},    {EINVAL, 87}, {EPIPE, 109},  {ENOSPC, 112},
      {ENAMETOOLONG, 206},          {EIO, 1117},     {ESPIPE, 1},  {EPROTO, 31},
  };
  for (const auto& c : cases) EXPECT_EQ(w32::posix::code_from_errno(c.error), c.code) << c.error;
}

TEST(Emulation, CodesReadAsTheHostsTexts) {
  // The text this host gives for what each code means; 3 is a directory
  // on the way that does not exist, which the host calls a missing file.
  const struct {
    DWORD code;
    int error;
  } cases[] = {
      {1, ESPIPE},  {2, ENOENT},   {3, ENOENT},   {4, EMFILE},      {5, EACCES},         {6, EBADF},
      {8, ENOMEM},  {19, EROFS},   {32, ETXTBSY}, {50, EOPNOTSUPP}, {80, EEXIST},        {87, EINVAL},
      {109, EPIPE}, {112, ENOSPC}, {131, EINVAL}, {145, ENOTEMPTY}, {206, ENAMETOOLONG}, {1117, EIO},
  };
  for (const auto& c : cases) {
    char text[256];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, c.code, 0, text, sizeof text, nullptr);
    EXPECT_EQ(std::string(text, length), std::strerror(c.error)) << c.code;
  }
  char text[256];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 31, 0, text, sizeof text, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

TEST(Emulation, FullPathNames) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  const std::string here = cwd;
  const struct {
    const char* name;
    std::string full;
  } cases[] = {
      {"a/b/../c", here + "/a/c"},
      {"./x//y/", here + "/x/y/"},
      {"/p/../../q", "/q"},
      {"/", "/"},
  };
  for (const auto& c : cases) {
    const DWORD needed = GetFullPathNameA(c.name, 0, nullptr, nullptr);
    EXPECT_EQ(needed, c.full.size() + 1) << c.name;
    std::string buffer(needed, '\0');
    char* file_part = nullptr;
    EXPECT_EQ(GetFullPathNameA(c.name, needed, buffer.data(), &file_part), c.full.size()) << c.name;
    EXPECT_EQ(buffer.c_str(), c.full) << c.name;
  }
}

TEST(Emulation, ConsoleNamesWithoutATerminal) {
  const int tty = ::open("/dev/tty", O_RDONLY | O_NOCTTY);
  if (tty >= 0) {
    ::close(tty);
    GTEST_SKIP() << "this process has a terminal";
  }
  for (const char* name : {"CONIN$", "con", "conout$"}) {
    EXPECT_EQ(CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << name;
  }
}

}  // namespace
