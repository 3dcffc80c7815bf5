// Internals shared by the files of the POSIX emulation of the Win32 subset.
// Handles are small multiples of 4, as on Windows; each names an Object in a
// process-wide registry. Only the emulation and the native test support
// include this header; the runtime sees nothing but winapi.h.
#pragma once

#include "winapi/winapi.h"

namespace w32::posix {

// An open kernel object behind a handle. Every kind so far wraps a POSIX
// descriptor that the object owns.
struct Object {
  int fd = -1;
};

// Registers a POSIX descriptor as a new handle; the handle owns it.
HANDLE adopt_fd(int fd);
// The object behind a handle, or null (with ERROR_INVALID_HANDLE as the last
// error) when the handle names no open object.
Object* object_of(HANDLE handle);

// The Win32 code for a POSIX errno value.
DWORD code_from_errno(int error);
// The errno value whose text a Win32 code is given; false for a code that
// no errno value stands for.
bool errno_from_code(DWORD code, int& error);
// Sets the last error for a name that could not be found or opened: a
// missing directory on the way is "path not found", a missing last
// component "file not found".
void set_path_error(const char* name);
// Sets the last error from errno; for the callers' "return FALSE" paths.
void set_error_from_errno();

}  // namespace w32::posix
