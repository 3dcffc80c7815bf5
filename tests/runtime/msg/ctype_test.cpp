// The character and case tables: the members of each class, and case pairs
// consistent with the classes, for ASCII and the upper half of code page 437.
#include "tests/support/runtime_test.h"
#include "runtime/msg/ctype.h"

namespace {

TEST(CharacterTables, ClassMembers) {
  const struct { std::uint16_t bits; const char* members; const char* others; } cases[] = {
      {rt::CT_DIGIT, "0189", "/:a\xb0"},
      {rt::CT_HEX_LETTER, "afAF", "gG09"},
      {rt::CT_SPACE, " \t\n\v\f\r", "a\x01\xff"},
      {rt::CT_BLANK, " \t", "\n\r"},
      {rt::CT_CONTROL, "\x01\x08\x1f\x7f\t", " ~\x80"},
      {rt::CT_PUNCT, "!/:@[`{~\x9b\xa8\xaf", "a0 \x7f\xb0"},
      {rt::CT_GRAPH, "!0aZ~\x80\xa7", " \x7f\xb0"},
      {rt::CT_PRINT, " !aZ~\x80\xb0\xff", "\x7f\t\x1f"},
      {rt::CT_ALPHA, "azAZ\x80\x9a\xa5\xa7", "09_\x9b\xa8"},
      {rt::CT_UPPER, "AZ\x80\x8e\x9a\xa5", "az\x81\x87"},
      {rt::CT_LOWER, "az\x81\x83\xa0\xa7", "AZ\x80\x9b"},
  };
  const auto in = [](char c, std::uint16_t bits) { return (rt::char_class(static_cast<unsigned char>(c)) & bits) != 0; };
  for (const auto& c : cases) {
    for (const char* p = c.members; *p; ++p) EXPECT_TRUE(in(*p, c.bits)) << c.bits << " " << +*p;
    for (const char* p = c.others; *p; ++p) EXPECT_FALSE(in(*p, c.bits)) << c.bits << " " << +*p;
  }
  EXPECT_EQ(rt::char_class(-1), 0);  // end of file
}

// A letter's partner has the other case and leads back to it; a lower-case
// letter may have none; every other character has none.
TEST(CharacterTables, CasePairsAgreeWithTheClasses) {
  int upper = 0;
  int lower = 0;
  for (int c = 0; c < 256; ++c) {
    const int bits = rt::char_class(c);
    upper += (bits & rt::CT_UPPER) != 0;
    lower += (bits & rt::CT_LOWER) != 0;
    const int down = rt::tolower(c);
    const int up = rt::toupper(c);
    const bool partner_down = (rt::char_class(down) & rt::CT_LOWER) && rt::toupper(down) == c;
    const bool partner_up = up == c || ((rt::char_class(up) & rt::CT_UPPER) && rt::tolower(up) == c);
    EXPECT_TRUE((bits & rt::CT_UPPER) ? partner_down : (bits & rt::CT_LOWER) ? partner_up : down == c && up == c) << c;
  }
  EXPECT_EQ(upper, 26 + 8);
  EXPECT_EQ(lower, 26 + 27);
  EXPECT_EQ(rt::tolower(128), 135);  // C cedilla
  EXPECT_EQ(rt::toupper(129), 154);  // u diaeresis
  EXPECT_EQ(rt::toupper(131), 131);  // a circumflex has no capital here
}

}  // namespace
