// Internals shared by the files of the POSIX emulation of the Win32 subset.
// Handles are small multiples of 4, as on Windows; each names an Object in a
// process-wide registry. Only the emulation and the native test support
// include this header; the runtime sees nothing but winapi.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <vector>

#include "winapi/winapi.h"

namespace w32::posix {

// A directory change request waiting for a change.
struct ChangeRequest {
  LPVOID buffer;
  DWORD length;
  DWORD filter;
  LPOVERLAPPED overlapped;
  LPOVERLAPPED_COMPLETION_ROUTINE routine;
};

// What only a directory handle has: its change requests (a directory opened
// with backup semantics), or the names a search has still to deliver.
struct Directory {
  int watch = -1;            // its inotify watch, once changes were asked for
  bool pending = false;      // `request` waits for a change
  ChangeRequest request{};   // the last request
  std::vector<std::pair<DWORD, std::string>> changes;  // actions and names not yet told
  bool overflowed = false;   // more changes came than are kept
  std::string directory_path;      // search: the directory searched
  std::vector<std::string> names;  // search: the names found, in directory order
  std::size_t next = 0;            // search: the next name to deliver
};

// An open kernel object behind a handle: a POSIX descriptor the object
// owns, or a directory search (fd -1) with the names still to deliver. A
// file's object is small: a process may hold thousands.
struct Object {
  int fd = -1;
  DWORD type = 0;  // FILE_TYPE_... once asked for: an open descriptor's type never changes
  std::unique_ptr<Directory> directory;  // a directory or a search; null for anything else
};

// Registers a POSIX descriptor as a new handle; the handle owns it.
HANDLE adopt_fd(int fd);
// Registers an object as a new handle.
HANDLE adopt(Object object);
// The type GetFileType gives a descriptor of this mode.
DWORD type_of(mode_t mode);
// Releases the object of a valid handle (without closing anything).
void release(HANDLE handle);
// The object behind a handle, or null (with ERROR_INVALID_HANDLE as the last
// error) when the handle names no open object.
Object* object_of(HANDLE handle);

// Before a handle is closed: a pending change request of its object is
// completed as aborted, and its watch ends when no other handle has it.
void abandon_request(HANDLE handle, Object& object);

// The Win32 code for a POSIX errno value.
DWORD code_from_errno(int error);
// The errno value whose text a Win32 code is given; false for a code that
// no errno value stands for.
bool errno_from_code(DWORD code, int& error);
// Sets the last error for a name that could not be found or opened: a
// missing directory on the way is "path not found", a missing last
// component "file not found".
void set_path_error(const char* name);

// The attributes Windows shows for a file: directory or archive, and
// read-only when nobody may write it.
DWORD attributes_of(mode_t mode);
// The current directory; false (with the last error set) when it cannot be had.
bool current_directory(std::string& directory);

// The bytes a name given to a wide function stands for: each unit is one
// byte, as the OEM page here converts them. False, with ERROR_INVALID_NAME,
// for a unit above 0xFF, which no name here has.
bool name_bytes(LPCWSTR name, std::string& bytes);
// Gives `text` back as a wide function does: its units and a zero unit when
// they fit in `size` units (the number of units stored, without the zero),
// else the number of units needed with the zero, and nothing stored.
DWORD give_units(const std::string& text, LPWSTR buffer, DWORD size);
// The host signal of the last console control event (SIGINT when none came):
// the one that ends the process at ExitProcess(STATUS_CONTROL_C_EXIT).
int control_signal();

// The FILETIME of a POSIX time.
FILETIME filetime_of(const struct timespec& time);
// Sets the last error from errno; for the callers' "return FALSE" paths.
void set_error_from_errno();

}  // namespace w32::posix
