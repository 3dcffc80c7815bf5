// The console: a terminal is one. Its output code page follows the locale
// (UTF-8 under a UTF-8 locale, as a terminal then shows it), and
// WriteConsoleW writes the characters to it as UTF-8.
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
  DWORD at = 0;
  while (at < units) {
    std::size_t length = 0;
    // Each unit gives at most 4 bytes; a pair is taken whole.
    while (at < units && length + 4 <= sizeof text) {
      std::uint32_t c = wide[at++];
      if (c >= 0xD800 && c < 0xDC00 && at < units && wide[at] >= 0xDC00 && wide[at] < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (wide[at++] - 0xDC00);
      } else if (c >= 0xD800 && c < 0xE000) {
        c = 0xFFFD;  // half a pair shows as the replacement character
      }
      if (c < 0x80) {
        text[length++] = static_cast<char>(c);
      } else if (c < 0x800) {
        text[length++] = static_cast<char>(0xC0 | c >> 6);
        text[length++] = static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        text[length++] = static_cast<char>(0xE0 | c >> 12);
        text[length++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        text[length++] = static_cast<char>(0x80 | (c & 0x3F));
      } else {
        text[length++] = static_cast<char>(0xF0 | c >> 18);
        text[length++] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
        text[length++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
        text[length++] = static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    for (std::size_t written = 0; written < length;) {
      const ssize_t n = ::write(object->fd, text + written, length - written);
      if (n < 0) {
        if (errno == EINTR) continue;
        w32::posix::set_error_from_errno();
        return FALSE;
      }
      written += static_cast<std::size_t>(n);
    }
  }
  *done = units;
  return TRUE;
}
