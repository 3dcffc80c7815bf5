// Names between the program and the system: the names' page and UTF-16, and
// the \\?\ form of long paths.
#include "runtime/win32/wide_name.h"

#include "runtime/msg/heap.h"
#include "runtime/string.h"
#include "runtime/win32/errno.h"
#include "runtime/win32/fd.h"

namespace rt {
namespace {

constexpr char kExtended[] = "\\\\?\\";      // \\?\ before a full path
constexpr char kExtendedUnc[] = "\\\\?\\UNC";  // \\?\UNC before a share's path without its first backslash
constexpr int kPrefixUnits = 4;

bool is_separator(WCHAR unit) { return unit == '\\' || unit == '/'; }

// "\\?\" or "\\.\": the system's namespaces, which take a name as it is.
bool in_namespace(const WCHAR* units) {
  return is_separator(units[0]) && is_separator(units[1]) && (units[2] == '?' || units[2] == '.') &&
         is_separator(units[3]);
}

template <class Unit>
DWORD length_of(const Unit* units) {
  DWORD length = 0;
  while (units[length] != 0) ++length;
  return length;
}

}  // namespace

UINT names_page() { return w32::kNamePage == CP_OEMCP ? w32::GetOEMCP() : w32::kNamePage; }

int name_from_wide(const WCHAR* wide, int units, char* text, int size) {
  if (units == 0) return 0;
  return w32::WideCharToMultiByte(w32::kNamePage, 0, wide, units, text, size, nullptr, nullptr);
}

char* name_from_page(UINT page, const char* text) {
  if (page == names_page()) return strdup(text);
  const int units = w32::MultiByteToWideChar(page, 0, text, -1, nullptr, 0);
  auto* wide = units > 0 ? static_cast<WCHAR*>(malloc(sizeof(WCHAR) * static_cast<std::size_t>(units))) : nullptr;
  char* name = nullptr;
  if (wide && w32::MultiByteToWideChar(page, 0, text, -1, wide, units) == units) {
    const int size = name_from_wide(wide, units, nullptr, 0);
    name = size > 0 ? static_cast<char*>(malloc(static_cast<std::size_t>(size))) : nullptr;
    if (name && name_from_wide(wide, units, name, size) != size) {
      free(name);
      name = nullptr;
    }
  }
  free(wide);
  return name;
}

WideName::WideName(const char* name, bool full) {
  if (!convert(name) || in_namespace(units_)) return;
  if ((full || w32::kExtendedPaths) && !make_full(full)) units_ = nullptr;
}

WideName::~WideName() { free(owned_); }

// Room for `units` units: small_, or a new block the name keeps.
WCHAR* WideName::reserve(DWORD units) {
  if (units <= MAX_PATH) return small_;
  auto* block = static_cast<WCHAR*>(malloc(sizeof(WCHAR) * units));
  if (!block) {
    errno = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  free(owned_);
  owned_ = block;
  return block;
}

bool WideName::convert(const char* name) {
  const int units = w32::MultiByteToWideChar(w32::kNamePage, 0, name, -1, nullptr, 0);
  if (units <= 0) {
    map_system_error();
    return false;
  }
  WCHAR* room = reserve(static_cast<DWORD>(units));
  if (!room) return false;
  if (w32::MultiByteToWideChar(w32::kNamePage, 0, name, -1, room, units) != units) {
    map_system_error();
    return false;
  }
  units_ = room;
  return true;
}

// Makes the name its full path when `full` asks for it or when that path
// is too long for the plain form, which it then leaves for the \\?\ form.
// The full path is made in a block of its own: it may be longer than the name.
bool WideName::make_full(bool full) {
  WCHAR* file_part = nullptr;
  const DWORD needed = w32::GetFullPathNameW(units_, 0, nullptr, &file_part);
  if (needed == 0) {
    map_system_error();
    return false;
  }
  const bool extended = w32::kExtendedPaths && needed - 1 >= MAX_PATH;
  if (!full && !extended) return true;  // a short path goes as it is
  // Room in front for "\\?\UNC" less the share's first backslash, or for "\\?\".
  const DWORD front = extended ? kPrefixUnits + 3 : 0;
  auto* block = static_cast<WCHAR*>(malloc(sizeof(WCHAR) * (front + needed)));
  if (!block) {
    errno = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  WCHAR* path = block + front;
  const DWORD written = w32::GetFullPathNameW(units_, needed, path, &file_part);
  if (written == 0 || written >= needed) {
    // The current directory changed in between and is longer now.
    if (written == 0) map_system_error(); else errno = ERR_NAME_TOO_LONG;
    free(block);
    return false;
  }
  if (extended) {
    const bool share = is_separator(path[0]) && is_separator(path[1]);  // "\\server\share\..."
    const char* prefix = share ? kExtendedUnc : kExtended;
    const DWORD prefix_units = length_of(prefix);
    WCHAR* start = path + (share ? 1 : 0) - prefix_units;
    for (DWORD i = 0; i < prefix_units; ++i) start[i] = static_cast<WCHAR>(prefix[i]);
    for (WCHAR* unit = start + prefix_units; *unit; ++unit) {
      if (*unit == '/') *unit = '\\';  // the \\?\ form takes only backslashes
    }
    path = start;
  }
  if (path != block) memmove(block, path, sizeof(WCHAR) * (length_of(path) + 1));
  free(owned_);
  owned_ = block;
  units_ = block;
  return true;
}

}  // namespace rt
