// Opening files by name.
#pragma once

#include "winapi/winapi.h"
#include "runtime/prelude.h"

namespace rt {

// Open flags (this system's values). The low two bits are the access mode.
constexpr int O_RDONLY = 0;
constexpr int O_WRONLY = 1;
constexpr int O_RDWR = 2;
constexpr int O_APPEND = 0x8;
constexpr int O_CREAT = 0x200;
constexpr int O_TRUNC = 0x400;
constexpr int O_EXCL = 0x800;

// What open asks of CreateFileW, before a name with a separator is made a
// full path.
struct OpenRequest {
  const char* name;  // the name, or the system's name of a device
  DWORD access;
  DWORD share;
  DWORD disposition;
  DWORD attributes;
};

// The request for an open: device names, access, sharing, disposition and
// the attributes of a file to be created.
OpenRequest open_request(const char* name, int flags, int permissions);

// One CreateFileW call for a POSIX-style open request. "/dev/null" and
// "/dev/tty" name the system's devices; permissions (with O_CREAT only)
// become file attributes; O_APPEND positions at the end once. A new
// descriptor, or -1 with errno set from the system's error.
int open(const char* name, int flags, int permissions);

}  // namespace rt
