// The formatting engine: every difference from the C standard, the type-safe
// argument packing, and output into streams and bounded buffers.
#include <climits>
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/msg/format.h"
#include "runtime/win32/open.h"

namespace {

using rt::format_arg;

std::string formatted(const char* format, const std::vector<rt::FormatArg>& args) {
  char buffer[512];
  const int count = rt::vsnprintf(buffer, sizeof buffer, format, args);
  EXPECT_EQ(count, static_cast<int>(std::string(buffer).size())) << format;
  return buffer;
}

TEST(Format, ConversionsFlagsWidthsAndPrecisions) {
  const struct {
    const char* format;
    std::vector<rt::FormatArg> args;
    const char* expected;
  } cases[] = {
      {"%d", {format_arg(0)}, "0"},
      {"%d", {format_arg(INT_MIN)}, "-2147483648"},
      {"%ld", {format_arg(INT_MIN)}, "-2147483648"},
      {"%i|%u", {format_arg(-1), format_arg(-1)}, "-1|4294967295"},
      {"%+d", {format_arg(0)}, "0"},
      {"%+d", {format_arg(5)}, "+5"},
      {"%+ d", {format_arg(5)}, " 5"},
      {"% d", {format_arg(-5)}, "-5"},
      {"%.0d", {format_arg(0)}, "0"},
      {"%.3d|%.3d", {format_arg(-42), format_arg(42)}, "-42|042"},
      {"%5d|", {format_arg(-42)}, "  -42|"},
      {"%05d", {format_arg(-42)}, "-0042"},
      {"%-5d|", {format_arg(42)}, "42   |"},
      {"%-05d", {format_arg(42)}, "00042"},  // the zero flag wins
      {"%5d|%d", {format_arg(1), format_arg(2)}, "    1|2"},
      {"%x", {format_arg(-1)}, "ffffffff"},
      {"%X", {format_arg(171)}, "AB"},
      {"%#x", {format_arg(255)}, "0xff"},
      {"%#X", {format_arg(255)}, "0XFF"},
      {"%#.4x", {format_arg(255)}, "0x00ff"},
      {"%#07x", {format_arg(255)}, "0x000ff"},
      {"%#x", {format_arg(0)}, "0"},
      {"%#o|%o", {format_arg(8), format_arg(8)}, "010|10"},
      {"%#.3o", {format_arg(8)}, "0010"},
      {"%p", {format_arg(0xbeef)}, "beef"},
      {"%c|%3c|%-3c|", {format_arg('a'), format_arg('b'), format_arg('c')}, "a|  b|c  |"},
      {"%.1s", {format_arg("abc")}, "a"},
      {"%05s", {format_arg("ab")}, "000ab"},
      {"%-4s|", {format_arg("ab")}, "ab  |"},
      {"%*d", {format_arg(-1), format_arg(42)}, "42"},
      {"%*d|", {format_arg(4), format_arg(42)}, "  42|"},
      {"%*d|", {format_arg(-6), format_arg(42)}, "42|"},  // a negative width pads nothing, sets no left flag
      {"%.*s", {format_arg(-3), format_arg("whole")}, "whole"},
      {"%.*s", {format_arg(2), format_arg("whole")}, "wh"},
      {"%f", {}, "NO FLOATS"},
      {"%10.2f|%d", {format_arg(7)}, "NO FLOATS|7"},  // no argument is taken
      {"%e%E%g%G", {}, "NO FLOATSNO FLOATSNO FLOATSNO FLOATS"},
      {"%%", {}, "%"},
      {"%5%", {}, "%"},
      {"%y", {}, "y"},
      {"%-5y|", {}, "y|"},
      {"ab%", {}, "ab"},
      {"ab%5", {}, "ab"},
      {"%hd %lx %Lu", {format_arg(1), format_arg(2), format_arg(3)}, "1 2 3"},
      {"%s: %s", {format_arg("tail"), format_arg("x")}, "tail: x"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatted(c.format, c.args), c.expected) << c.format;
}

TEST(Format, MissingOrMismatchedArgumentsPrintHarmlessly) {
  using namespace std::string_literals;
  int count = -1;
  const struct {
    const char* format;
    std::vector<rt::FormatArg> args;
    std::string expected;
  } cases[] = {
      {"[%d|%s|%c|%x]", {}, "[0||\0|0]"s},
      {"[%s]", {format_arg(42)}, "[]"},
      {"[%d]", {format_arg("text")}, "[0]"},
      {"[%n]", {format_arg("text")}, "[]"},
      {"[%5s]", {}, "[     ]"},
      {"[%n]", {format_arg(7)}, "[]"},
      {"[%s]", {format_arg(&count)}, "[]"},
  };
  for (const auto& c : cases) {
    char buffer[64];
    const int n = rt::vsnprintf(buffer, sizeof buffer, c.format, c.args);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), c.expected) << c.format;
  }
  EXPECT_EQ(count, -1);
}

TEST(Format, CountStoresTheCharactersSoFar) {
  int first = -1;
  int second = -1;
  char buffer[32];
  EXPECT_EQ(rt::sprintf(buffer, "ab%ncd%5d%n", &first, 1, &second), 9);
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 9);
  EXPECT_STREQ(buffer, "abcd    1");
}

TEST(Format, ArgumentsArePackedByTheirType) {
  char buffer[128];
  const char* name = "file";
  char mutable_text[] = "mutable";
  const long big = 2147483647L;
  const unsigned short small = 65535;
  rt::sprintf(buffer, "%s|%s|%ld|%d|%c|%d", name, mutable_text, big, small, 'x', true);
  EXPECT_STREQ(buffer, "file|mutable|2147483647|65535|x|1");
  // A pointer is printed whole by the unsigned conversions.
  const void* pointer = reinterpret_cast<const void*>(std::uintptr_t{0x1234abcd});
  rt::sprintf(buffer, "free(0x%x)", pointer);
  EXPECT_STREQ(buffer, "free(0x1234abcd)");
}

TEST(Format, BoundedBuffersKeepTheirEnd) {
  char small[6];
  EXPECT_EQ(rt::sprintf(small, "%s-%d", "abcdef", 12345), 12);
  EXPECT_STREQ(small, "abcde");
  char exact[4];
  EXPECT_EQ(rt::sprintf(exact, "abc"), 3);
  EXPECT_STREQ(exact, "abc");
  char untouched = 'u';
  EXPECT_EQ(rt::snprintf(&untouched, 0, "xyz"), 3);
  EXPECT_EQ(untouched, 'u');
}

class FormatToStreams : public support::RuntimeTest {};

TEST_F(FormatToStreams, LineBreaksTakeTheStreamsTextRules) {
  const std::string text_path = (dir.path() / "text").string();
  const std::string binary_path = (dir.path() / "binary").string();
  rt::Stream* text = rt::fopen(text_path.c_str(), "wt");
  rt::Stream* binary = rt::fopen(binary_path.c_str(), "wb");
  ASSERT_NE(text, nullptr);
  ASSERT_NE(binary, nullptr);
  EXPECT_EQ(rt::fprintf(text, "%s: %d\n", "n", 5), 5);
  EXPECT_EQ(rt::fprintf(binary, "%s: %d\n", "n", 5), 5);
  EXPECT_EQ(rt::fclose(text), 0);
  EXPECT_EQ(rt::fclose(binary), 0);
  EXPECT_EQ(support::ScratchDir::read(text_path), "n: 5\r\n");
  EXPECT_EQ(support::ScratchDir::read(binary_path), "n: 5\n");
}

}  // namespace
