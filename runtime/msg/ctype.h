// The character table and the case table: fixed, whatever the locale.
//
// The character table has 257 entries of class bits, indexed by the
// character value plus one, so that entry 0 belongs to EOF (-1). The upper
// half follows the OEM code page 437. The case table gives the other case of
// a letter (0 for every other byte); it is consulted only for characters the
// character table marks as letters of the case being converted.
//
// For text in code points (names in UTF-8) the code point table knows the
// letters of the Latin-1 Supplement, Latin Extended-A, Greek and Coptic,
// Cyrillic and Cyrillic Supplement blocks: their case and their simple case
// folding. Below U+0080 the character table holds; every other code point is
// no letter and has no class.
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

// --- Code points ----------------------------------------------------------------

namespace ctype_detail {

constexpr std::uint16_t kUpperLetter = CT_UPPER | CT_ALPHA | CT_GRAPH | CT_PRINT;
constexpr std::uint16_t kLowerLetter = CT_LOWER | CT_ALPHA | CT_GRAPH | CT_PRINT;
constexpr std::uint16_t kCaselessLetter = CT_ALPHA | CT_GRAPH | CT_PRINT;

// Letters whose simple case folding adds `delta`: every code point from
// first to last (step 1) or every other one (step 2). The letters are upper
// case, and what they fold to lower case, unless `lower` says they are
// lower-case letters themselves (final sigma to sigma, long s to s).
struct FoldRun {
  char32_t first;
  char32_t last;
  std::int32_t delta;
  std::uint8_t step;
  bool lower;
};

inline constexpr FoldRun kFoldRuns[] = {
    {0x0041, 0x005A, 32, 1, false},   {0x00B5, 0x00B5, 775, 1, true},   {0x00C0, 0x00D6, 32, 1, false},
    {0x00D8, 0x00DE, 32, 1, false},   {0x0100, 0x012E, 1, 2, false},    {0x0132, 0x0136, 1, 2, false},
    {0x0139, 0x0147, 1, 2, false},    {0x014A, 0x0176, 1, 2, false},    {0x0178, 0x0178, -121, 1, false},
    {0x0179, 0x017D, 1, 2, false},    {0x017F, 0x017F, -268, 1, true},  {0x0370, 0x0372, 1, 2, false},
    {0x0376, 0x0376, 1, 1, false},    {0x037F, 0x037F, 116, 1, false},  {0x0386, 0x0386, 38, 1, false},
    {0x0388, 0x038A, 37, 1, false},   {0x038C, 0x038C, 64, 1, false},   {0x038E, 0x038F, 63, 1, false},
    {0x0391, 0x03A1, 32, 1, false},   {0x03A3, 0x03AB, 32, 1, false},   {0x03C2, 0x03C2, 1, 1, true},
    {0x03CF, 0x03CF, 8, 1, false},    {0x03D0, 0x03D0, -30, 1, true},   {0x03D1, 0x03D1, -25, 1, true},
    {0x03D5, 0x03D5, -15, 1, true},   {0x03D6, 0x03D6, -22, 1, true},   {0x03D8, 0x03EE, 1, 2, false},
    {0x03F0, 0x03F0, -54, 1, true},   {0x03F1, 0x03F1, -48, 1, true},   {0x03F4, 0x03F4, -60, 1, false},
    {0x03F5, 0x03F5, -64, 1, true},   {0x03F7, 0x03F7, 1, 1, false},    {0x03F9, 0x03F9, -7, 1, false},
    {0x03FA, 0x03FA, 1, 1, false},    {0x03FD, 0x03FF, -130, 1, false}, {0x0400, 0x040F, 80, 1, false},
    {0x0410, 0x042F, 32, 1, false},   {0x0460, 0x0480, 1, 2, false},    {0x048A, 0x04BE, 1, 2, false},
    {0x04C0, 0x04C0, 15, 1, false},   {0x04C1, 0x04CD, 1, 2, false},    {0x04D0, 0x052E, 1, 2, false},
};

// The letters of the blocks that fold to no other letter and no other
// letter folds to: sharp s, dotted capital I, dotless i and the like, and
// the letters without case.
inline constexpr Range kOtherLetters[] = {
    {0x00AA, 0x00AA, kCaselessLetter}, {0x00BA, 0x00BA, kCaselessLetter}, {0x00DF, 0x00DF, kLowerLetter},
    {0x0130, 0x0130, kUpperLetter},    {0x0131, 0x0131, kLowerLetter},    {0x0138, 0x0138, kLowerLetter},
    {0x0149, 0x0149, kLowerLetter},    {0x0374, 0x0374, kCaselessLetter}, {0x037A, 0x037A, kCaselessLetter},
    {0x0390, 0x0390, kLowerLetter},    {0x03B0, 0x03B0, kLowerLetter},    {0x03D2, 0x03D4, kUpperLetter},
    {0x03FC, 0x03FC, kLowerLetter},
};

// The code point table covers U+0080 up to this end.
constexpr char32_t kCodePointEnd = 0x0530;

struct CodePoint {
  std::int16_t fold;    // what simple case folding adds
  std::uint16_t bits;  // class bits
};

constexpr bool in_run(const FoldRun& run, char32_t c) {
  return c >= run.first && c <= run.last && (c - run.first) % run.step == 0;
}

constexpr std::array<CodePoint, kCodePointEnd - 0x80> make_code_point_table() {
  std::array<CodePoint, kCodePointEnd - 0x80> table{};
  for (const FoldRun& run : kFoldRuns) {
    for (char32_t c = run.first; c <= run.last; c += run.step) {
      const char32_t folded = static_cast<char32_t>(static_cast<std::int32_t>(c) + run.delta);
      if (c >= 0x80) table[c - 0x80] = {static_cast<std::int16_t>(run.delta), run.lower ? kLowerLetter : kUpperLetter};
      if (folded >= 0x80) table[folded - 0x80].bits = kLowerLetter;
    }
  }
  for (const Range& range : kOtherLetters) {
    for (int c = range.first; c <= range.last; ++c) table[static_cast<std::size_t>(c) - 0x80].bits = range.bits;
  }
  return table;
}

// Folding is done once: no letter folds to a letter that folds on.
constexpr bool folds_once() {
  for (const FoldRun& run : kFoldRuns) {
    for (char32_t c = run.first; c <= run.last; c += run.step) {
      const char32_t folded = static_cast<char32_t>(static_cast<std::int32_t>(c) + run.delta);
      for (const FoldRun& other : kFoldRuns) {
        if (in_run(other, folded)) return false;
      }
    }
  }
  return true;
}
static_assert(folds_once());

}  // namespace ctype_detail

inline constexpr std::array<ctype_detail::CodePoint, ctype_detail::kCodePointEnd - 0x80> code_point_table =
    ctype_detail::make_code_point_table();

// The class bits of a code point.
constexpr std::uint16_t code_point_class(char32_t c) {
  if (c < 0x80) return char_class(static_cast<int>(c));
  return c < ctype_detail::kCodePointEnd ? code_point_table[c - 0x80].bits : 0;
}

// The simple case folding of a code point: upper case to lower case, and a
// few lower-case letters to the usual form (final sigma to sigma).
constexpr char32_t fold_code_point(char32_t c) {
  if (c < 0x80) return static_cast<char32_t>(tolower(static_cast<int>(c)));
  if (c >= ctype_detail::kCodePointEnd) return c;
  return static_cast<char32_t>(static_cast<std::int32_t>(c) + code_point_table[c - 0x80].fold);
}

// Whether some code point from first to last other than c folds to c.
constexpr bool range_folds_to(char32_t first, char32_t last, char32_t c) {
  for (const ctype_detail::FoldRun& run : ctype_detail::kFoldRuns) {
    const auto from = static_cast<char32_t>(static_cast<std::int32_t>(c) - run.delta);
    if (from >= first && from <= last && ctype_detail::in_run(run, from)) return true;
  }
  return false;
}

}  // namespace rt
