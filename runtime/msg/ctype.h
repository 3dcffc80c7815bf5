// The character table and the case table: fixed, whatever the locale.
//
// The character table has 257 entries of class bits, indexed by the
// character value plus one, so that entry 0 belongs to EOF (-1). The upper
// half follows the OEM code page 437. The case table gives the other case of
// a letter (0 for every other byte); it is consulted only for characters the
// character table marks as letters of the case being converted.
#pragma once

#include <array>
#include <cstdint>

#include "runtime/prelude.h"

namespace rt {

// Class bits of the character table.
constexpr std::uint16_t CT_LOWER = 0x001;
constexpr std::uint16_t CT_UPPER = 0x002;
constexpr std::uint16_t CT_DIGIT = 0x004;
constexpr std::uint16_t CT_HEX_LETTER = 0x008;
constexpr std::uint16_t CT_SPACE = 0x010;
constexpr std::uint16_t CT_BLANK_CHAR = 0x020;  // the blank (32) alone
constexpr std::uint16_t CT_CONTROL = 0x040;
constexpr std::uint16_t CT_PUNCT = 0x080;
constexpr std::uint16_t CT_BLANK = 0x100;  // tab and blank
constexpr std::uint16_t CT_GRAPH = 0x200;
constexpr std::uint16_t CT_PRINT = 0x400;
constexpr std::uint16_t CT_ALPHA = 0x800;

namespace ctype_detail {

struct Range {
  int first;
  int last;
  std::uint16_t bits;
};

inline constexpr Range kClassRanges[] = {
    {0, 8, 0x040},     {9, 9, 0x150},     {10, 13, 0x050},   {14, 31, 0x040},   {32, 32, 0x530},
    {33, 47, 0x680},   {48, 57, 0x604},   {58, 64, 0x680},   {65, 70, 0xE0A},   {71, 90, 0xE02},
    {91, 96, 0x680},   {97, 102, 0xE09},  {103, 122, 0xE01}, {123, 126, 0x680}, {127, 127, 0x040},
    {128, 128, 0xE02}, {129, 141, 0xE01}, {142, 144, 0xE02}, {145, 145, 0xE01}, {146, 146, 0xE02},
    {147, 152, 0xE01}, {153, 154, 0xE02}, {155, 159, 0x680}, {160, 164, 0xE01}, {165, 165, 0xE02},
    {166, 167, 0xE01}, {168, 175, 0x680}, {176, 255, 0x400},
};

// Upper-half letters of code page 437 that have a partner of the other case.
inline constexpr std::array<std::array<int, 2>, 8> kCasePairs = {{
    {128, 135}, {129, 154}, {130, 144}, {132, 142}, {134, 143}, {145, 146}, {148, 153}, {164, 165},
}};
// Upper-half lower-case letters without an upper-case partner.
inline constexpr Range kSelfCase[] = {
    {131, 131, 0}, {133, 133, 0}, {136, 141, 0}, {147, 147, 0}, {149, 152, 0}, {160, 163, 0}, {166, 167, 0},
};

constexpr std::array<std::uint16_t, 257> make_char_table() {
  std::array<std::uint16_t, 257> table{};
  for (const Range& range : kClassRanges) {
    for (int c = range.first; c <= range.last; ++c) table[static_cast<std::size_t>(c) + 1] = range.bits;
  }
  return table;
}

constexpr std::array<unsigned char, 256> make_case_table() {
  std::array<unsigned char, 256> table{};
  for (int c = 'A'; c <= 'Z'; ++c) {
    table[static_cast<std::size_t>(c)] = static_cast<unsigned char>(c - 'A' + 'a');
    table[static_cast<std::size_t>(c - 'A' + 'a')] = static_cast<unsigned char>(c);
  }
  for (const auto& pair : kCasePairs) {
    table[static_cast<std::size_t>(pair[0])] = static_cast<unsigned char>(pair[1]);
    table[static_cast<std::size_t>(pair[1])] = static_cast<unsigned char>(pair[0]);
  }
  for (const Range& range : kSelfCase) {
    for (int c = range.first; c <= range.last; ++c) table[static_cast<std::size_t>(c)] = static_cast<unsigned char>(c);
  }
  return table;
}

}  // namespace ctype_detail

inline constexpr std::array<std::uint16_t, 257> char_table = ctype_detail::make_char_table();
inline constexpr std::array<unsigned char, 256> case_table = ctype_detail::make_case_table();

// The class bits of a character value 0 ... 255, or of EOF (-1).
constexpr std::uint16_t char_class(int c) { return char_table[static_cast<std::size_t>(c + 1)]; }

// An upper-case letter's lower-case partner; any other character unchanged.
constexpr int tolower(int c) {
  return (char_class(c) & CT_UPPER) ? case_table[static_cast<std::size_t>(c)] : c;
}
// A lower-case letter's upper-case partner (or itself when it has none).
constexpr int toupper(int c) {
  return (char_class(c) & CT_LOWER) ? case_table[static_cast<std::size_t>(c)] : c;
}

}  // namespace rt
