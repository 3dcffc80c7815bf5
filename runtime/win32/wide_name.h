// Names between the program and the system. Inside the program a name is
// text in w32::kNamePage (UTF-8 on Windows, so it holds every character a
// file name can have); the file functions are the wide ones, and take it as
// UTF-16.
#pragma once

#include "winapi/winapi.h"
#include "runtime/prelude.h"

namespace rt {

// `units` units of `wide` as a name, into `text` of `size` bytes: the bytes
// stored (no zero byte added), 0 when they do not fit or the conversion
// fails. Every character is kept (a half surrogate pair, which no typed
// name holds, becomes U+FFFD).
int name_from_wide(const WCHAR* wide, int units, char* text, int size);

// The page names are in, by its number (the OEM page's own number where
// names are in the OEM page).
UINT names_page();

// A text in code page `page` (its number) as a name, newly allocated; null
// without memory or when the text cannot be converted.
char* name_from_page(UINT page, const char* text);

// A name in the form the wide file functions take: its UTF-16 units and a
// zero unit. With `full`, or where the path has MAX_PATH characters or more
// (w32::kExtendedPaths), the name is first made a full path; a full path of
// MAX_PATH characters or more is given in its \\?\ form ("\\?\C:\...",
// "\\?\UNC\server\share\..."), which the system takes at any length. A name
// already in that form, or in the device form "\\.\", is taken as it is.
class WideName {
 public:
  WideName(const char* name, bool full);
  ~WideName();
  WideName(const WideName&) = delete;
  WideName& operator=(const WideName&) = delete;

  // The units, or null when they could not be made: errno is then 8 (no
  // memory) or the system's error for a name it cannot take.
  const WCHAR* get() const { return units_; }

 private:
  bool convert(const char* name);
  bool make_full(bool full);
  WCHAR* reserve(DWORD units);

  WCHAR small_[MAX_PATH];
  WCHAR* units_ = nullptr;
  WCHAR* owned_ = nullptr;  // a conversion too long for small_, to be freed
};

}  // namespace rt
