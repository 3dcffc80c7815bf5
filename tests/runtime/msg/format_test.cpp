// The formatter as messages use it: the conversions of message texts with the widths a translation may give them,
// arguments missing or of another type, which texts take the same arguments, and output into bounded buffers.
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/support.h"
#include "runtime/msg/format.h"

namespace {

using rt::format_arg;

// Arguments that are missing or of another type print harmlessly: %n writes nothing.
TEST(Format, ConversionsWidthsPrecisionsAndMismatchedArguments) {
  using namespace std::string_literals;
  const char unterminated[2] = {'a', 'b'};  // with a precision a %s array need not end in NUL
  int count = -1;
  int stored = -1;
  const struct { const char* format; std::vector<rt::FormatArg> args; std::string expected; } cases[] = {
      {"%d|%5d|%d", {format_arg(INT_MIN), format_arg(1), format_arg(2)}, "-2147483648|    1|2"},
      {"%ld..%ld|%x", {format_arg(0L), format_arg(2147483647L), format_arg(-10)}, "0..2147483647|fffffff6"},
      {"%5d|%05d|%-5d|", {format_arg(-42), format_arg(-42), format_arg(42)}, "  -42|-0042|42   |"},
      {"%c|%3c|%-3c|", {format_arg('a'), format_arg('b'), format_arg('c')}, "a|  b|c  |"},
      {"%.1s|%.2s|%-4s|", {format_arg(unterminated), format_arg(unterminated), format_arg("ab")}, "a|ab|ab  |"},
      {"%*d|%.*s", {format_arg(4), format_arg(42), format_arg(2), format_arg("whole")}, "  42|wh"},
      {"%%|%y|ab%", {}, "%|y|ab"},
      {"[%d|%s|%c|%x]", {}, "[0||\0|0]"s}, {"[%s]", {format_arg(42)}, "[]"}, {"[%d]", {format_arg("text")}, "[0]"},
      {"[%n]", {format_arg("text")}, "[]"}, {"[%5s]", {}, "[     ]"}, {"[%s]", {format_arg(&count)}, "[]"},
      // %.0s and %.0c print nothing; %n stores the count so far; a name in a string is its bytes, padded by bytes.
      {"[%.0s%.0c%n|%-6s|%3s]", {format_arg("abc"), format_arg('d'), format_arg(&stored), format_arg(rt::Name{"ж.x"}), format_arg(rt::Name{"a"})},
       "[|\xD0\xB6.x  |  a]"},
  };
  for (const auto& c : cases) {
    char buffer[128];
    const int n = rt::vsnprintf(buffer, sizeof buffer, c.format, c.args);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), c.expected) << c.format;
    EXPECT_EQ(buffer[n], '\0') << c.format;
  }
  EXPECT_EQ(count, -1);
  EXPECT_EQ(stored, 1);
}

TEST(Format, SprintfKeepsTheBuffersEnd) {
  char buffer[32];  // a pointer is printed whole by the unsigned conversions, as the heap's warning does
  rt::sprintf(buffer, "free(0x%x)", reinterpret_cast<const void*>(std::uintptr_t{0x1234abcd}));
  EXPECT_STREQ(buffer, "free(0x1234abcd)");
  char cut[6];
  EXPECT_EQ(rt::sprintf(cut, "%s-%d", "abcdef", 12345), 12);
  EXPECT_STREQ(cut, "abcde");
  char exact[4];
  EXPECT_EQ(rt::sprintf(exact, "abc"), 3);
  EXPECT_STREQ(exact, "abc");
}

// One text may stand for another: the same kinds of argument in the same order, each '*' taking an int.
TEST(Format, TextsThatTakeTheSameArguments) {
  const struct { const char* format; const char* other; bool same; } cases[] = {
      {"%s: %d", "%-5s = %i", true}, {"%d", "%s", false},       {"%s %s", "%s", false},
      {"%*d", "%d", false},          {"%.*s", "%*s", true},      {"%c%x%u%ld", "%d%i%X%d", true},
      {"%n", "%d", false},           {"%% %y", "", true},        {"50%", "50", true},
  };
  for (const auto& c : cases) EXPECT_EQ(rt::same_conversions(c.format, c.other), c.same) << c.format << " " << c.other;
}

}  // namespace
