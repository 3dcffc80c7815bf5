// The POSIX emulation's own choice of Win32 codes for errno values, and the
// texts they read as.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

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

}  // namespace
