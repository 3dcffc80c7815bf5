// The character and case tables: the case pairs are consistent with the
// classes, for ASCII and for the upper half of code page 437.
#include "tests/support/runtime_test.h"
#include "runtime/msg/ctype.h"

namespace {

TEST(CharacterTables, CaseTableAgreesWithTheClasses) {
  int upper = 0;
  int lower = 0;
  for (int c = 0; c < 256; ++c) {
    const auto bits = rt::char_class(c);
    const int other = rt::case_table[static_cast<std::size_t>(c)];
    if (bits & rt::CT_UPPER) {
      ++upper;
      EXPECT_TRUE(rt::char_class(other) & rt::CT_LOWER) << c;
      EXPECT_EQ(rt::case_table[static_cast<std::size_t>(other)], c) << c;
      EXPECT_EQ(rt::toupper(rt::tolower(c)), c) << c;
    } else if (bits & rt::CT_LOWER) {
      ++lower;
      EXPECT_TRUE(other == c || (rt::char_class(other) & rt::CT_UPPER)) << c;
      EXPECT_EQ(rt::tolower(rt::toupper(c)), c) << c;
    } else {
      EXPECT_EQ(other, 0) << c;
      EXPECT_EQ(rt::tolower(c), c) << c;
      EXPECT_EQ(rt::toupper(c), c) << c;
    }
    if (bits & (rt::CT_UPPER | rt::CT_LOWER)) {
      EXPECT_TRUE(bits & rt::CT_ALPHA) << c;
    }
  }
  EXPECT_EQ(upper, 26 + 8);
  EXPECT_EQ(lower, 26 + 27);
  EXPECT_EQ(rt::char_class(-1), 0);
}

TEST(CharacterTables, Samples) {
  EXPECT_EQ(rt::char_class(' '), 0x530);
  EXPECT_EQ(rt::char_class('\t'), 0x150);
  EXPECT_EQ(rt::char_class('7'), 0x604);
  EXPECT_EQ(rt::char_class('F'), 0xE0A);
  EXPECT_EQ(rt::char_class('g'), 0xE01);
  EXPECT_EQ(rt::char_class(127), 0x040);
  EXPECT_EQ(rt::char_class(200), 0x400);
  EXPECT_EQ(rt::tolower(128), 135);  // C cedilla
  EXPECT_EQ(rt::toupper(129), 154);  // u diaeresis
  EXPECT_EQ(rt::toupper(131), 131);  // a circumflex has no capital here
}

}  // namespace
