// System message texts and message modules. The text of a Win32 code is the
// host's own text for the errno value behind it, so that users read the
// messages they know. No message module exists here.
#include <cstdlib>
#include <cstring>

#include "winapi/posix/emulation.h"

DWORD FormatMessageA(DWORD flags, LPCVOID /*source*/, DWORD message_id, DWORD /*language_id*/, LPSTR buffer,
                     DWORD size, va_list* /*arguments*/) {
  int error = 0;
  if (message_id != 0 && !w32::posix::errno_from_code(message_id, error)) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  const char* text = std::strerror(error);
  const std::size_t length = std::strlen(text);
  char* target = buffer;
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    target = static_cast<char*>(std::malloc(length + 1));
    if (!target) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    *reinterpret_cast<char**>(buffer) = target;
  } else if (length >= size) {
    SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
    return 0;
  }
  std::memcpy(target, text, length + 1);
  return static_cast<DWORD>(length);
}

HMODULE LoadLibraryExA(LPCSTR /*name*/, HANDLE /*file*/, DWORD /*flags*/) {
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE /*module*/) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

HLOCAL LocalFree(HLOCAL block) {
  std::free(block);
  return nullptr;
}
