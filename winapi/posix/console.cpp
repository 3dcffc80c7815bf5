// The console: a terminal is one. Its output code page follows the locale
// (UTF-8 under a UTF-8 locale, as a terminal then shows it), and
// WriteConsoleW writes the characters to it as UTF-8 (half a pair as U+FFFD).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "winapi/posix/emulation.h"

namespace {

// The locale's name as the C library chooses it for characters.
const char* character_locale() {
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value && *value) return value;
  }
  return "";
}

bool names_utf8(const char* locale) {
  const char* dot = std::strchr(locale, '.');
  return dot && (strncasecmp(dot + 1, "UTF-8", 5) == 0 || strncasecmp(dot + 1, "utf8", 4) == 0);
}

}  // namespace

UINT GetConsoleOutputCP() { return names_utf8(character_locale()) ? CP_UTF8 : 437; }

BOOL WriteConsoleW(HANDLE console, LPCVOID buffer, DWORD units, LPDWORD done, LPVOID /*reserved*/) {
  *done = 0;
  w32::posix::Object* object = w32::posix::object_of(console);
  if (!object) return FALSE;
  if (!::isatty(object->fd)) {
    SetLastError(ERROR_INVALID_HANDLE);  // no console: Windows refuses the handle
    return FALSE;
  }
  const auto* wide = static_cast<const WCHAR*>(buffer);
  char text[4096];
  for (DWORD at = 0; at < units;) {
    // A chunk of at most 1024 units (4 bytes each at most), a pair kept whole.
    DWORD n = units - at < 1024 ? units - at : 1024;
    if (at + n < units && wide[at + n - 1] >= 0xD800 && wide[at + n - 1] < 0xDC00) --n;
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide + at, static_cast<int>(n), text,
                                             static_cast<int>(sizeof text), nullptr, nullptr);
    for (int written = 0; written < length;) {
      const ssize_t put = ::write(object->fd, text + written, static_cast<std::size_t>(length - written));
      if (put < 0) {
        if (errno == EINTR) continue;
        w32::posix::set_error_from_errno();
        return FALSE;
      }
      written += static_cast<int>(put);
    }
    at += n;
  }
  *done = units;
  return TRUE;
}
