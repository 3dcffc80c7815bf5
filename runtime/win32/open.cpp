// Opening files by name: device names, share mode, creation disposition,
// full paths for names with a separator, and attributes for new files.
#include "winapi/winapi.h"
#include "runtime/msg/ctype.h"
#include "runtime/msg/heap.h"
#include "runtime/string.h"
#include "runtime/win32/attributes.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/open.h"
#include "runtime/win32/wide_name.h"

namespace rt {
namespace {

// Computed on the first open and kept: FILE_SHARE_DELETE exists on NT only.
DWORD g_open_share_mode = 0;

// The top bit of GetVersion's result is set on the Windows 95 family.
bool is_windows_nt() { return (w32::GetVersion() & 0x80000000u) == 0; }

// Byte comparison after turning upper-case letters to lower case.
bool equal_ignoring_case(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b))) return false;
    if (*a == '\0') return true;
  }
}

bool has_separator(const char* name) {
  for (; *name; ++name) {
    if (is_path_separator(*name)) return true;
  }
  return false;
}

DWORD attributes_for(int flags, int permissions) {
  if (!(flags & O_CREAT)) return FILE_ATTRIBUTE_NORMAL;
  DWORD attributes = 0;
  for (const ModeAttribute& pair : kModeAttributes) {
    if (static_cast<std::uint32_t>(permissions) & pair.mode_bit) attributes |= pair.attribute;
  }
  if (!(permissions & 0222)) attributes |= FILE_ATTRIBUTE_READONLY;  // nobody may write
  return attributes;
}

DWORD disposition_for(int flags) {
  if ((flags & O_CREAT) && (flags & O_EXCL)) return CREATE_NEW;
  if (flags & O_CREAT) return (flags & O_TRUNC) ? CREATE_ALWAYS : OPEN_ALWAYS;
  return (flags & O_TRUNC) ? TRUNCATE_EXISTING : OPEN_EXISTING;
}

DWORD access_for(int flags) {
  switch (flags & 3) {
    case O_RDONLY: return GENERIC_READ;
    case O_WRONLY: return GENERIC_WRITE;
    default: return GENERIC_READ | GENERIC_WRITE;
  }
}

}  // namespace

OpenRequest open_request(const char* name, int flags, int permissions) {
  const bool nt = is_windows_nt();
  if (strcmp(name, "/dev/null") == 0) {
    name = "nul";
  } else if (strcmp(name, "/dev/tty") == 0) {
    name = nt ? "CONIN$" : "con";
  }
  if (g_open_share_mode == 0) {
    g_open_share_mode = FILE_SHARE_READ | FILE_SHARE_WRITE | (nt ? FILE_SHARE_DELETE : 0);
  }
  OpenRequest request{name, 0, g_open_share_mode, disposition_for(flags), attributes_for(flags, permissions)};

  const std::size_t length = strlen(name);
  if (length > 0 && name[length - 1] == ':') request.disposition = OPEN_EXISTING;  // a drive or a device
  if (length >= 4 && is_path_separator(name[0]) && is_path_separator(name[1]) && name[2] == '.' && is_path_separator(name[3])) {
    request.disposition = OPEN_EXISTING;  // the device namespace
  }
  if (equal_ignoring_case(name, "/dev/con") || equal_ignoring_case(name, "con")) {
    request.disposition = OPEN_EXISTING;
    if (flags & O_RDWR) flags &= ~3;  // the console opens read-only
  }
  if (nt && (equal_ignoring_case(name, "conin$") || equal_ignoring_case(name, "conout$"))) {
    request.disposition = OPEN_EXISTING;
    flags |= O_RDWR;
  }
  request.access = access_for(flags);
  return request;
}

int open(const char* name, int flags, int permissions) {
  const OpenRequest request = open_request(name, flags, permissions);
  const WideName wide(request.name, has_separator(request.name));
  if (!wide.get()) return -1;
  HANDLE handle = w32::CreateFileW(wide.get(), request.access, request.share, nullptr, request.disposition,
                                   request.attributes, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return map_system_error();

  const int fd = fd_alloc(handle);
  if (fd < 0) {
    w32::CloseHandle(handle);  // errno stays 4: no descriptor is free
    return -1;
  }
  if (flags & O_APPEND) lseek(fd, 0, SEEK_END);
  return fd;
}

}  // namespace rt
