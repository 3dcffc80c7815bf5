// Code pages and UTF-16 through the seam: Windows' (Wine's) conversions and the emulation's check each other.
#include <gtest/gtest.h>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include "runtime/msg/heap.h"
#include "runtime/startup/start.h"
#include "winapi/winapi.h"

namespace {
using Units = std::basic_string<WCHAR>;  // UTF-16 units as the host's WCHAR holds them
Units units_of(std::u16string_view text) { return Units(text.begin(), text.end()); }
constexpr int kWhole = -2;  // the input's length is its own size (-1 counts it up to its zero and that too)
constexpr int kRoom = 32;   // an output with room to spare
constexpr WCHAR kUnwrittenUnit = 0x2222;
constexpr char kUnwrittenByte = '#';

// One conversion: `bytes` of a page to UTF-16 `units` (widening) or back (narrowing, with `flags`). Success returns
// `result` and writes that many when there is room (none with a room of 0); failure returns 0 with `error`.
struct Row {
  const char* what;
  UINT page;
  DWORD flags;
  std::string_view bytes;
  std::u16string_view units;
  int length, room, result;
  DWORD error;
};

template <class Text>
void check_result(const Row& row, int result, const Text& out, const Text& expected,
                  typename Text::value_type unwritten) {
  EXPECT_EQ(result, row.result);
  EXPECT_EQ(result == 0 ? w32::GetLastError() : NO_ERROR, row.error);
  const std::size_t shown = row.room > 0 && result > 0 ? static_cast<std::size_t>(result) : 0;
  EXPECT_EQ(out.substr(0, shown), expected);
  const std::size_t written = row.room == 0 ? 0 : static_cast<std::size_t>(result > 0 ? result : row.room);
  EXPECT_EQ(out.substr(written), Text(kRoom - written, unwritten)) << "written past the output";
}
void widen(const Row& row) {
  SCOPED_TRACE(row.what);
  Units out(kRoom, kUnwrittenUnit);
  w32::SetLastError(NO_ERROR);
  const int length = row.length == kWhole ? static_cast<int>(row.bytes.size()) : row.length;
  const int result = w32::MultiByteToWideChar(row.page, row.flags, row.bytes.data(), length, out.data(), row.room);
  check_result(row, result, out, units_of(row.units), kUnwrittenUnit);
}
void narrow(const Row& row) {
  SCOPED_TRACE(row.what);
  std::string out(kRoom, kUnwrittenByte);
  w32::SetLastError(NO_ERROR);
  const Units units = units_of(row.units);  // ended by a zero unit, for a length of -1
  const int length = row.length == kWhole ? static_cast<int>(units.size()) : row.length;
  const int result =
      w32::WideCharToMultiByte(row.page, row.flags, units.c_str(), length, out.data(), row.room, nullptr, nullptr);
  check_result(row, result, out, std::string(row.bytes), kUnwrittenByte);
}

// Both ways: é ü ß in each page; 437 and 850 part at 0x9B.
constexpr Row kBothWays[] = {
    {"ASCII", 437, 0, "tail -f", u"tail -f", kWhole, kRoom, 7, 0},
    {"437", 437, 0, "\x82\x81\xE1\x9B", u"éüß¢", kWhole, kRoom, 4, 0},
    {"850", 850, 0, "\x82\x81\xE1\x9B", u"éüßø", kWhole, kRoom, 4, 0},
    {"1252", 1252, 0, "\xE9\xFC\xDF\x80", u"éüß€", kWhole, kRoom, 4, 0},
};
// 1252's five undefined bytes are the units of their values.
constexpr Row kWidenings[] = {
    {"1252 undefined", 1252, 0, "\x81\x8D\x8F\x90\x9D", u"\u0081\u008D\u008F\u0090\u009D", kWhole, kRoom, 5, 0},
    {"UTF-8", CP_UTF8, 0, "\xC3\xA9\xC3\xBC\xC3\x9F", u"éüß", kWhole, kRoom, 3, 0},
    {"UTF-8 pair", CP_UTF8, MB_ERR_INVALID_CHARS, "a\xF0\x9F\x98\x80", u"a\U0001F600", kWhole, kRoom, 3, 0},
    {"UTF-8 invalid byte", CP_UTF8, 0, "a\xFF" "b", u"a\uFFFDb", kWhole, kRoom, 3, 0},
    {"UTF-8 invalid refused", CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF" "b", u"", kWhole, kRoom, 0,
     ERROR_NO_UNICODE_TRANSLATION},
    {"UTF-8 no lead past F4, lone continuation", CP_UTF8, 0, "\xF5\x80z", u"\uFFFD\uFFFDz", kWhole, kRoom, 3, 0},
    {"UTF-8 cut short", CP_UTF8, 0, "z\xC3\xA9", u"z\uFFFD", 2, kRoom, 2, 0},
    {"-1: the zero too", 1252, 0, "ab", std::u16string_view(u"ab", 3), -1, kRoom, 3, 0},
    {"room 0: the size", 1252, 0, "ab", u"", -1, 0, 3, 0},
    {"room 0: a pair's size", CP_UTF8, 0, "\xF0\x9F\x98\x80", u"", kWhole, 0, 2, 0},
    {"too small", 1252, 0, "ab", u"", -1, 2, 0, ERROR_INSUFFICIENT_BUFFER},
    {"UTF-8 too small", CP_UTF8, 0, "\xC3\xA9\xC3\xA9\xC3\xA9", u"", kWhole, 2, 0, ERROR_INSUFFICIENT_BUFFER},
    {"no bytes", 437, 0, "", u"", kWhole, kRoom, 0, ERROR_INVALID_PARAMETER},
    {"no such page", 12345, 0, "a", u"", kWhole, kRoom, 0, ERROR_INVALID_PARAMETER},
};

// 中 is in no page here and has no near character in one; Ā and α have (A, a) but not without best fit.
constexpr Row kNarrowings[] = {
    {"1252 undefined", 1252, 0, "\x81\x9D", u"\u0081\u009D", kWhole, kRoom, 2, 0},
    {"437 lacks", 437, 0, "a?", u"a中", kWhole, kRoom, 2, 0},
    {"1252 without best fit", 1252, WC_NO_BEST_FIT_CHARS, "??", u"Āα", kWhole, kRoom, 2, 0},
    {"UTF-8", CP_UTF8, 0, "\xC3\xA9\xC3\xBC\xC3\x9F", u"éüß", kWhole, kRoom, 6, 0},
    {"UTF-8 last pair", CP_UTF8, 0, "a\xF4\x8F\xBF\xBF", u"a\U0010FFFF", kWhole, kRoom, 5, 0},
    {"UTF-8 lone surrogates", CP_UTF8, 0, "\xEF\xBF\xBDx\xEF\xBF\xBD", u"\xD800x\xDC00", kWhole, kRoom, 7, 0},
    {"UTF-8 pair cut by the length", CP_UTF8, 0, "a\xEF\xBF\xBD", u"a\U0001F600", 2, kRoom, 4, 0},
    {"-1: the zero too", 437, 0, std::string_view("a?", 3), u"a中", -1, kRoom, 3, 0},
    {"room 0: the size", 437, 0, "", u"a中", -1, 0, 3, 0},
    {"room 0: UTF-8's size", CP_UTF8, 0, "", u"é\U0001F600", -1, 0, 7, 0},
    {"too small", 437, 0, "", u"a中", -1, 2, 0, ERROR_INSUFFICIENT_BUFFER},
    {"UTF-8 too small", CP_UTF8, 0, "", u"é", kWhole, 1, 0, ERROR_INSUFFICIENT_BUFFER},
    {"no units", 437, 0, "", u"", kWhole, kRoom, 0, ERROR_INVALID_PARAMETER},
    {"no such page", 12345, 0, "", u"a", kWhole, kRoom, 0, ERROR_INVALID_PARAMETER},
};

TEST(CodePages, WideningAndNarrowing) {
  for (const Row& row : kBothWays) widen(row), narrow(row);
  for (const Row& row : kWidenings) widen(row);
  for (const Row& row : kNarrowings) narrow(row);
}

// Every byte of a table page is a unit that the page gives back as that byte, and no two bytes share a unit.
TEST(CodePages, EachByteComesBack) {
  for (const UINT page : {437u, 850u, 1252u}) {
    SCOPED_TRACE(page);
    std::string bytes;
    for (int byte = 1; byte < 256; ++byte) bytes += static_cast<char>(byte);
    Units units(bytes.size(), kUnwrittenUnit);
    const int size = static_cast<int>(bytes.size());
    ASSERT_EQ(w32::MultiByteToWideChar(page, 0, bytes.data(), size, units.data(), size), size);
    EXPECT_EQ(units.substr(0, 0x7F), units_of(std::u16string(bytes.begin(), bytes.begin() + 0x7F)));
    std::string back(bytes.size(), kUnwrittenByte);
    BOOL used = TRUE;
    ASSERT_EQ(w32::WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, units.data(), size, back.data(), size, nullptr,
                                       &used), size);
    EXPECT_EQ(back, bytes);
    EXPECT_FALSE(used);
  }
}

#ifndef _WIN32
// Names are bytes here: under CP_ACP and CP_OEMCP each byte is the unit of its value and back; above 0xFF is lacked.
TEST(CodePagesHere, NamesAreBytes) {
  const Row widenings[] = {
      {"OEM", CP_OEMCP, 0, "caf\xC3\xA9\x82", u"caf\u00C3\u00A9\u0082", kWhole, kRoom, 6, 0},
      {"ANSI", CP_ACP, 0, "\xFF\x80", u"\u00FF\u0080", kWhole, kRoom, 2, 0},
      {"OEM, -1", CP_OEMCP, 0, "\xE9", std::u16string_view(u"\u00E9", 2), -1, kRoom, 2, 0},
      {"OEM, too small", CP_OEMCP, 0, "ab", u"", -1, 2, 0, ERROR_INSUFFICIENT_BUFFER},
  };
  const Row narrowings[] = {
      {"OEM", CP_OEMCP, WC_NO_BEST_FIT_CHARS, "caf\xC3\xA9\x82", u"caf\u00C3\u00A9\u0082", kWhole, kRoom, 6, 0},
      {"OEM lacks", CP_OEMCP, WC_NO_BEST_FIT_CHARS, "a???", u"a\u0100\U0001F600", kWhole, kRoom, 4, 0},
      {"ANSI, room 0", CP_ACP, 0, "", u"\u00FF", -1, 0, 2, 0},
  };
  for (const Row& row : widenings) widen(row);
  for (const Row& row : narrowings) narrow(row);
}

// The OEM page is the terminal's, which follows the locale; start-up still takes the line's bytes as they are.
TEST(CodePagesHere, TheOemPageIsTheConsoles) {
  const char* const saved = std::getenv("LC_ALL");
  const std::optional<std::string> restored = saved ? std::optional<std::string>(saved) : std::nullopt;
  const std::u16string line = u"'tail' 'caf\u00C3\u00A9' '\u00FF*'";
  const struct { const char* locale; UINT page; } rows[] = {
      {"C.UTF-8", CP_UTF8}, {"en_US.utf8", CP_UTF8}, {"C", 437}, {"POSIX", 437}, {"de_DE.ISO-8859-1", 437},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.locale);
    ::setenv("LC_ALL", row.locale, 1);
    EXPECT_EQ(GetOEMCP(), row.page);
    EXPECT_EQ(GetOEMCP(), GetConsoleOutputCP());
    char* text = rt::command_line_text(reinterpret_cast<const WCHAR*>(line.c_str()));
    EXPECT_EQ(std::string(text ? text : "(none)"), "'tail' 'caf\xC3\xA9' '\xFF*'");
    rt::free(text);
  }
  restored ? ::setenv("LC_ALL", restored->c_str(), 1) : ::unsetenv("LC_ALL");
}

// The environment block that start-up reads: each entry of the process's, a byte a unit, then an empty one.
TEST(CodePagesHere, TheEnvironmentBlockEndsAfterItsEntries) {
  LPWCH block = w32::GetEnvironmentStringsW(), at = block;
  for (char** entry = ::environ; *entry; ++entry) at += std::strlen(*entry) + 1;
  EXPECT_EQ(*at, 0);
  w32::FreeEnvironmentStringsW(block);
}

#endif
}  // namespace
