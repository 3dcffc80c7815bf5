// The formatting engine: every difference from the C standard, the type-safe
// argument packing, which texts take the same arguments, and output into
// bounded buffers.
#include <climits>
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/msg/format.h"

namespace {

using rt::format_arg;

std::string formatted(const char* format, const std::vector<rt::FormatArg>& args) {
  char buffer[512];
  const int count = rt::vsnprintf(buffer, sizeof buffer, format, args);
  EXPECT_EQ(count, static_cast<int>(std::string(buffer).size())) << format;
  return buffer;
}

TEST(Format, ConversionsFlagsWidthsAndPrecisions) {
  const char unterminated[2] = {'a', 'b'};  // with a precision a %s array need not end in NUL
  const struct { const char* format; std::vector<rt::FormatArg> args; const char* expected; } cases[] = {
      {"%d|%5d|%d", {format_arg(INT_MIN), format_arg(1), format_arg(2)}, "-2147483648|    1|2"},
      {"%i|%u", {format_arg(-1), format_arg(-1)}, "-1|4294967295"},
      {"%+d|%+d|%+ d", {format_arg(0), format_arg(5), format_arg(5)}, "0|+5| 5"},
      {"%.0d|%.3d|%.3d", {format_arg(0), format_arg(-42), format_arg(42)}, "0|-42|042"},
      {"%5d|%05d|%-5d|", {format_arg(-42), format_arg(-42), format_arg(42)}, "  -42|-0042|42   |"},
      {"%-05d", {format_arg(42)}, "00042"},  // the zero flag wins
      {"%x|%X|%p", {format_arg(-1), format_arg(171), format_arg(0xbeef)}, "ffffffff|AB|beef"},
      {"%#x|%#.4x|%#x", {format_arg(255), format_arg(255), format_arg(0)}, "0xff|0x00ff|0"},
      {"%#o|%o|%#.3o", {format_arg(8), format_arg(8), format_arg(8)}, "010|10|0010"},
      {"%c|%3c|%-3c|%.0c|", {format_arg('a'), format_arg('b'), format_arg('c'), format_arg('d')}, "a|  b|c  ||"},
      {"%.1s|%.0s|%.2s", {format_arg(unterminated), format_arg(unterminated), format_arg(unterminated)}, "a||ab"},
      {"%05s|%-4s|", {format_arg("ab"), format_arg("ab")}, "000ab|ab  |"},
      // A width of -1 is unset; another negative width pads nothing and sets no left flag.
      {"%*d|%*d|", {format_arg(-1), format_arg(42), format_arg(-6), format_arg(42)}, "42|42|"},
      {"%.*s|%.*s", {format_arg(-3), format_arg("whole"), format_arg(2), format_arg("whole")}, "whole|wh"},
      {"%10.2f|%E|%d", {format_arg(7)}, "NO FLOATS|NO FLOATS|7"},  // no argument taken
      {"%%|%5%|%y|%-5y|", {}, "%|%|y|y|"},   {"ab%", {}, "ab"},   {"ab%5", {}, "ab"},
      {"%hd %lx %Lu", {format_arg(1), format_arg(2), format_arg(3)}, "1 2 3"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatted(c.format, c.args), c.expected) << c.format;
}

TEST(Format, MissingOrMismatchedArgumentsPrintHarmlessly) {
  using namespace std::string_literals;
  int count = -1;
  const struct { const char* format; std::vector<rt::FormatArg> args; std::string expected; } cases[] = {
      {"[%d|%s|%c|%x]", {}, "[0||\0|0]"s}, {"[%s]", {format_arg(42)}, "[]"}, {"[%d]", {format_arg("text")}, "[0]"},
      {"[%n]", {format_arg("text")}, "[]"},  {"[%5s]", {}, "[     ]"},      {"[%n]", {format_arg(7)}, "[]"},
      {"[%s]", {format_arg(&count)}, "[]"},
  };
  for (const auto& c : cases) {
    char buffer[64];
    const int n = rt::vsnprintf(buffer, sizeof buffer, c.format, c.args);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), c.expected) << c.format;
  }
  EXPECT_EQ(count, -1);
}

TEST(Format, SprintfCountsPacksArgumentsByTypeAndKeepsTheBuffersEnd) {
  int first = -1;
  int second = -1;
  char buffer[64];
  EXPECT_EQ(rt::sprintf(buffer, "ab%ncd%5d%n", &first, 1, &second), 9);
  EXPECT_STREQ(buffer, "abcd    1");
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 9);
  char mutable_text[] = "mutable";
  const unsigned short small = 65535;
  rt::sprintf(buffer, "%s|%s|%ld|%d|%c|%d", "file", mutable_text, 2147483647L, small, 'x', true);
  EXPECT_STREQ(buffer, "file|mutable|2147483647|65535|x|1");
  // A pointer is printed whole by the unsigned conversions.
  rt::sprintf(buffer, "free(0x%x)", reinterpret_cast<const void*>(std::uintptr_t{0x1234abcd}));
  EXPECT_STREQ(buffer, "free(0x1234abcd)");

  char cut[6];
  EXPECT_EQ(rt::sprintf(cut, "%s-%d", "abcdef", 12345), 12);
  EXPECT_STREQ(cut, "abcde");
  char exact[4];
  EXPECT_EQ(rt::sprintf(exact, "abc"), 3);
  EXPECT_STREQ(exact, "abc");
  char untouched = 'u';
  EXPECT_EQ(rt::snprintf(&untouched, 0, "xyz"), 3);
  EXPECT_EQ(untouched, 'u');
}

// Whether one text may stand for another: the same kinds of argument in the
// same order, each '*' taking an int of its own.
TEST(Format, TextsThatTakeTheSameArguments) {
  const struct { const char* format; const char* other; bool same; } cases[] = {
      {"%s: %d", "%-5s = %i", true}, {"%d", "%s", false},       {"%s %s", "%s", false},
      {"%*d", "%d", false},          {"%.*s", "%*s", true},      {"%c%x%u%p", "%d%i%o%X", true},
      {"%n", "%d", false},           {"%f %% %y", "", true},     {"50%", "50", true},
  };
  for (const auto& c : cases) EXPECT_EQ(rt::same_conversions(c.format, c.other), c.same) << c.format << " " << c.other;
}

}  // namespace
