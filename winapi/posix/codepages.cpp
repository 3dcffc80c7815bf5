// The code pages of texts: MultiByteToWideChar and WideCharToMultiByte
// convert between a page's bytes and UTF-16 units as Windows does, for the
// pages this program uses; and the OEM page is the terminal's.
//
// CP_ACP and CP_OEMCP are the pages of names, and names here are bytes in
// whatever encoding the terminal has: under both, each byte is the unit of
// its value and back (a unit above 0xFF is a character they lack), so that
// the file functions' conversions give every name back unchanged.
// 437, 850 and 1252 convert by their tables, 65001 is UTF-8, and any other
// page is refused as one Windows does not have. Windows also fits some
// characters a table page lacks to a near one (Ā as A) unless asked not to
// with WC_NO_BEST_FIT_CHARS; here each is the default character, as it is
// there with that flag.
#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

#include "winapi/posix/emulation.h"

namespace {

// The units of a page's bytes 0x80 to 0xFF; each byte below 0x80 is the
// unit of its value. Made by scripts/codepage_tables.py.
using Table = std::array<char16_t, 128>;

constexpr Table kPage437 = {{
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
}};
constexpr Table kPage850 = {{
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
}};
constexpr Table kPage1252 = {{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,
    0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,
}};

// A unit of a page's upper half and its byte.
struct Entry {
  char16_t unit;
  unsigned char byte;
};
using Inverse = std::array<Entry, 128>;

// The entries of a table in the order of their units, to be searched.
constexpr Inverse invert(const Table& table) {
  Inverse inverse{};
  for (std::size_t i = 0; i < table.size(); ++i) inverse[i] = {table[i], static_cast<unsigned char>(0x80 + i)};
  std::ranges::sort(inverse, {}, &Entry::unit);
  return inverse;
}

// Each unit of the upper half stands for one byte and is no unit of the
// lower half: the page converts both ways, and back to the same bytes.
constexpr bool one_to_one(const Inverse& inverse) {
  for (std::size_t i = 0; i < inverse.size(); ++i) {
    if (inverse[i].unit < 0x80 || (i > 0 && inverse[i].unit == inverse[i - 1].unit)) return false;
  }
  return true;
}

struct TablePage {
  UINT number;
  const Table* table;
  Inverse inverse;
};
constexpr TablePage kTablePages[] = {
    {437, &kPage437, invert(kPage437)},
    {850, &kPage850, invert(kPage850)},
    {1252, &kPage1252, invert(kPage1252)},
};
static_assert(std::ranges::all_of(kTablePages, [](const TablePage& page) { return one_to_one(page.inverse); }));

enum class Kind { kBytes, kTable, kUtf8, kUnknown };
struct Page {
  Kind kind;
  const TablePage* table;  // kTable: its table
};

Page page_of(UINT number) {
  if (number == CP_ACP || number == CP_OEMCP) return {Kind::kBytes, nullptr};
  if (number == CP_UTF8) return {Kind::kUtf8, nullptr};
  for (const TablePage& page : kTablePages) {
    if (page.number == number) return {Kind::kTable, &page};
  }
  return {Kind::kUnknown, nullptr};
}

// The byte of a unit in a page other than UTF-8; -1 when the page lacks it.
int byte_of(const Page& page, char16_t unit) {
  if (unit < 0x80 || (page.kind == Kind::kBytes && unit <= 0xFF)) return unit;
  if (page.kind == Kind::kBytes) return -1;
  const Inverse& inverse = page.table->inverse;
  const auto* entry = std::ranges::lower_bound(inverse, unit, {}, &Entry::unit);
  return entry != inverse.end() && entry->unit == unit ? entry->byte : -1;
}

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr char32_t kReplacement = 0xFFFD;

// One character read from UTF-8: its bytes, and whether they are a
// character. Bytes that begin none are one U+FFFD each, and so is the
// longest start of a character that breaks off, as Unicode advises.
struct Decoded {
  char32_t character;
  int length;
  bool valid;
};

Decoded decode_utf8(const unsigned char* bytes, int left) {
  const unsigned lead = bytes[0];
  if (lead < 0x80) return {lead, 1, true};
  int follow = 0;
  char32_t character = 0;
  unsigned low = 0x80, high = 0xBF;  // the second byte's range: no overlong form, surrogate or unit past U+10FFFF
  if (lead >= 0xC2 && lead <= 0xDF) {
    follow = 1;
    character = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    follow = 2;
    character = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    follow = 3;
    character = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {kReplacement, 1, false};
  }
  for (int i = 1; i <= follow; ++i) {
    if (i == left || bytes[i] < low || bytes[i] > high) return {kReplacement, i, false};
    character = character << 6 | (bytes[i] & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {character, follow + 1, true};
}

// Where a conversion puts what it makes: with no room (a size of 0) it
// only counts, else it writes while there is room.
template <class Unit>
struct Output {
  Unit* at;
  int room;
  int count = 0;

  bool put(Unit unit) {
    if (room != 0) {
      if (count == room) return false;
      at[count] = unit;
    }
    if (count == INT_MAX) return false;
    ++count;
    return true;
  }
};

bool put_utf16(Output<WCHAR>& out, char32_t character) {
  if (character < 0x10000) return out.put(static_cast<WCHAR>(character));
  character -= 0x10000;
  return out.put(static_cast<WCHAR>(0xD800 + (character >> 10))) &&
         out.put(static_cast<WCHAR>(0xDC00 + (character & 0x3FF)));
}

bool put_utf8(Output<char>& out, char32_t character) {
  const auto put = [&out](char32_t byte) { return out.put(static_cast<char>(byte)); };
  if (character < 0x80) return put(character);
  if (character < 0x800) return put(0xC0 | character >> 6) && put(0x80 | (character & 0x3F));
  if (character < 0x10000) {
    return put(0xE0 | character >> 12) && put(0x80 | (character >> 6 & 0x3F)) && put(0x80 | (character & 0x3F));
  }
  return put(0xF0 | character >> 18) && put(0x80 | (character >> 12 & 0x3F)) &&
         put(0x80 | (character >> 6 & 0x3F)) && put(0x80 | (character & 0x3F));
}

int fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace

// Names here are bytes in the terminal's encoding, and the console's page
// is that encoding: a name converted from this page to be shown comes out
// as the characters the terminal shows for its bytes. The file functions
// still take the bytes themselves (CP_OEMCP is the names' identity).
UINT GetOEMCP() { return GetConsoleOutputCP(); }

// A size of -1 takes the text up to its zero byte, that included; a size
// of 0 for `wide` gives the number of units the text needs, and writes none.
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCCH text, int size, LPWSTR wide, int units) {
  const Page page = page_of(code_page);
  if (page.kind == Kind::kUnknown || !text || size == 0 || size < -1 || units < 0 || (units > 0 && !wide)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (page.kind == Kind::kUtf8 && (flags & ~MB_ERR_INVALID_CHARS) != 0) return fail(ERROR_INVALID_FLAGS);
  if (size == -1) size = static_cast<int>(std::strlen(text)) + 1;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  Output<WCHAR> out{wide, units};
  for (int at = 0; at < size;) {
    if (page.kind == Kind::kUtf8) {
      const Decoded read = decode_utf8(bytes + at, size - at);
      if (!read.valid && (flags & MB_ERR_INVALID_CHARS) != 0) return fail(ERROR_NO_UNICODE_TRANSLATION);
      at += read.length;
      if (!put_utf16(out, read.character)) return fail(ERROR_INSUFFICIENT_BUFFER);
    } else {
      const unsigned char byte = bytes[at++];
      const char16_t unit = byte < 0x80 || page.kind == Kind::kBytes ? byte : (*page.table->table)[byte - 0x80];
      if (!out.put(unit)) return fail(ERROR_INSUFFICIENT_BUFFER);
    }
  }
  return out.count;
}

// The sizes as MultiByteToWideChar takes them. A unit a table page lacks
// is the first byte of `default_char` ('?' without one) and sets
// *used_default. UTF-8 takes neither, as on Windows: a pair is one
// character, and half of one is U+FFFD (with WC_ERR_INVALID_CHARS, the
// call fails).
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH wide, int units, LPSTR text, int size,
                        LPCCH default_char, LPBOOL used_default) {
  const Page page = page_of(code_page);
  if (page.kind == Kind::kUnknown || !wide || units == 0 || units < -1 || size < 0 || (size > 0 && !text)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (page.kind == Kind::kUtf8) {
    if ((flags & ~WC_ERR_INVALID_CHARS) != 0) return fail(ERROR_INVALID_FLAGS);
    if (default_char || used_default) return fail(ERROR_INVALID_PARAMETER);
  } else if ((flags & WC_ERR_INVALID_CHARS) != 0) {
    return fail(ERROR_INVALID_FLAGS);
  }
  if (units == -1) {
    units = 1;  // the end too
    while (wide[units - 1] != 0) ++units;
  }
  Output<char> out{text, size};
  BOOL lacking = FALSE;
  for (int at = 0; at < units;) {
    char32_t unit = wide[at++];
    if (page.kind == Kind::kUtf8) {
      if (is_high_surrogate(unit) && at < units && is_low_surrogate(wide[at])) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (wide[at++] - 0xDC00);
      } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
        if ((flags & WC_ERR_INVALID_CHARS) != 0) return fail(ERROR_NO_UNICODE_TRANSLATION);
        unit = kReplacement;
      }
      if (!put_utf8(out, unit)) return fail(ERROR_INSUFFICIENT_BUFFER);
      continue;
    }
    int byte = byte_of(page, static_cast<char16_t>(unit));
    if (byte < 0) {
      lacking = TRUE;
      byte = default_char ? static_cast<unsigned char>(*default_char) : '?';
    }
    if (!out.put(static_cast<char>(byte))) return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (used_default) *used_default = lacking;
  return out.count;
}
