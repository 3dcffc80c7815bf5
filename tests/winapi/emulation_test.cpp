// The POSIX emulation's own choices: the codes and texts of errno values,
// the console names on a process without a terminal.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "winapi/posix/emulation.h"

namespace {

// A failed POSIX call leaves a Win32 code: the one the runtime acts on, where
// it acts on one, and one that reads as the host's text for what happened
// (a missing directory on the way reads as a missing file). 0: any code, no text.
TEST(Emulation, ErrnoValuesBecomeCodesThatReadAsTheHostsTexts) {
  const struct { int error; DWORD code; int text; } cases[] = {
      {ENOENT, ERROR_FILE_NOT_FOUND, ENOENT},    {ENOTDIR, ERROR_PATH_NOT_FOUND, ENOENT},
      {EMFILE, ERROR_TOO_MANY_OPEN_FILES, EMFILE}, {EBADF, ERROR_INVALID_HANDLE, EBADF},
      {ENOMEM, ERROR_NOT_ENOUGH_MEMORY, ENOMEM},  {EEXIST, ERROR_FILE_EXISTS, EEXIST},
      {EPIPE, ERROR_BROKEN_PIPE, EPIPE},          {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
      {ESPIPE, ERROR_INVALID_FUNCTION, ESPIPE},   {EACCES, 0, EACCES},
      {EISDIR, 0, EACCES},                        {EINVAL, 0, EINVAL},
      {ENOSPC, 0, ENOSPC},                        {EIO, 0, EIO},
      {ELOOP, 0, ELOOP},                          {EPROTO, 0, 0},
  };
  for (const auto& c : cases) {
    const DWORD code = w32::posix::code_from_errno(c.error);
    EXPECT_TRUE(c.code == 0 || code == c.code) << c.error << " gives " << code;
    char text[256];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text, sizeof text, nullptr);
    EXPECT_EQ(std::string(text, length), c.text ? std::strerror(c.text) : "") << c.error;
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
