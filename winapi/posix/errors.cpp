// The last-error slot and the translation of POSIX errno values into Win32
// error codes.
#include <cerrno>

#include "winapi/posix/emulation.h"

namespace {

thread_local DWORD g_last_error = 0;

struct ErrnoCode {
  int error;
  DWORD code;
};

// Read both ways: an errno value becomes the first code listed for it, and
// a code is given the host's text of the first errno value listed for it,
// the text a user of this host expects for what the code means. So a
// missing directory on the way (3) reads as a missing file, not as the
// ENOTDIR that also leads to it; rows that only name a text say so.
constexpr ErrnoCode kErrnoCodes[] = {
    {ESPIPE, ERROR_INVALID_FUNCTION},  // 1: a seek on a pipe or terminal
    {ENOENT, ERROR_FILE_NOT_FOUND},    // 2
    {ENOENT, ERROR_PATH_NOT_FOUND},    // 3 (text only)
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},     // 5
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EROFS, 19},                       // ERROR_WRITE_PROTECT
    {ENXIO, 21},                       // ERROR_NOT_READY
    {ENODEV, 21},
    {EXDEV, 17},                       // ERROR_NOT_SAME_DEVICE
    {ETXTBSY, 32},                     // ERROR_SHARING_VIOLATION
    {EOPNOTSUPP, 50},                  // ERROR_NOT_SUPPORTED
    {ENOSYS, 50},
    {EEXIST, ERROR_FILE_EXISTS},       // 80
    {EINVAL, ERROR_INVALID_PARAMETER}, // 87
    {EOVERFLOW, ERROR_INVALID_PARAMETER},
    {EPIPE, ERROR_BROKEN_PIPE},        // 109
    {ENOSPC, ERROR_DISK_FULL},         // 112
    {EDQUOT, ERROR_DISK_FULL},
    {EINVAL, ERROR_NEGATIVE_SEEK},     // 131 (text only)
    {ENOTEMPTY, 145},                  // ERROR_DIR_NOT_EMPTY
    {EBUSY, 170},                      // ERROR_BUSY
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},  // 206
    {EFBIG, 223},                      // ERROR_FILE_TOO_LARGE
    {EFAULT, 487},                     // ERROR_INVALID_ADDRESS
    {EINTR, 995},                      // ERROR_OPERATION_ABORTED
    {EIO, 1117},                       // ERROR_IO_DEVICE
    {EMLINK, 1142},                    // ERROR_TOO_MANY_LINKS
    {ELOOP, 1921},                     // ERROR_CANT_RESOLVE_FILENAME
};

constexpr DWORD kGeneralFailure = 31;  // ERROR_GEN_FAILURE: no closer code

}  // namespace

DWORD GetLastError() { return g_last_error; }

void SetLastError(DWORD code) { g_last_error = code; }

namespace w32::posix {

DWORD code_from_errno(int error) {
  for (const ErrnoCode& entry : kErrnoCodes) {
    if (entry.error == error) return entry.code;
  }
  return kGeneralFailure;
}

bool errno_from_code(DWORD code, int& error) {
  for (const ErrnoCode& entry : kErrnoCodes) {
    if (entry.code == code) {
      error = entry.error;
      return true;
    }
  }
  return false;
}

void set_error_from_errno() { g_last_error = code_from_errno(errno); }

}  // namespace w32::posix
