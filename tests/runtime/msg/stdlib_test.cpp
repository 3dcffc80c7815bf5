// Number reading, the environment and the exit-hook list.
#include <climits>
#include <string>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"
#include "runtime/msg/stdlib.h"

namespace {

using Stdlib = support::RuntimeTest;

TEST_F(Stdlib, Strtol) {
  // end: the offset of the end position.
  const struct { const char* text; int base; std::int32_t value; int end; bool out_of_range; } cases[] = {
      {"123", 10, 123, 3, false},          {"  -42x", 10, -42, 5, false},
      {"+7", 10, 7, 2, false},             {"\t\n\v\f\r 9", 10, 9, 7, false},
      {"", 10, 0, 0, false},               {"  -", 10, 0, 3, false},  // no digits: the end lies after the sign
      {"abc", 10, 0, 0, false},            {"0x1F", 0, 31, 4, false},
      {"0X1f", 16, 31, 4, false},          {"1f", 16, 31, 2, false},
      {"0x", 0, 0, 2, false},  // the prefix is skipped even without digits
      {"017", 0, 15, 3, false},            {"08", 0, 0, 1, false},  // octal: the 0 is the prefix, 8 no digit
      {"12", 1, 12, 2, false},             {"zZ", 36, 35 * 36 + 35, 2, false},
      {"2147483647", 10, INT_MAX, 10, false}, {"2147483648", 10, INT_MAX, 10, true},
      {"-2147483648", 10, INT_MIN, 11, false}, {"-2147483649", 10, INT_MAX, 11, true},
      {"99999999999999999999999999xyz", 10, INT_MAX, 26, true},  // every digit is consumed
      {"ffffffff", 16, INT_MAX, 8, true},  {"Az", 16, 10, 1, false},
  };
  for (const auto& c : cases) {
    rt::errno = 0;
    const char* end = nullptr;
    EXPECT_EQ(rt::strtol(c.text, &end, c.base), c.value) << c.text;
    EXPECT_EQ(end - c.text, c.end) << c.text;
    EXPECT_EQ(rt::errno, c.out_of_range ? rt::ERR_RESULT_TOO_LARGE : 0) << c.text;
  }
  const char* untouched = "x";
  const char* end = untouched;
  EXPECT_EQ(rt::strtol("12", &end, 37), 0);
  EXPECT_EQ(rt::strtol("12", &end, -1), 0);
  EXPECT_EQ(end, untouched);
  EXPECT_EQ(rt::strtol("12", nullptr, 10), 12);
}

TEST_F(Stdlib, Getenv) {
  EXPECT_EQ(rt::getenv("LANG"), nullptr);  // no environment at all
  const support::Environment environment({"LANGX=1", "LANG=de", "lang=x", "EMPTY=", "LANG=second", "=C:=C:\\"});
  EXPECT_STREQ(rt::getenv("LANG"), "de");
  EXPECT_STREQ(rt::getenv("lang"), "x");
  EXPECT_STREQ(rt::getenv("EMPTY"), "");
  EXPECT_EQ(rt::getenv("LAN"), nullptr);
  const support::Environment empty({});
  EXPECT_EQ(rt::getenv("LANG"), nullptr);
}

TEST_F(Stdlib, ExitRunsTheHooksNewestFirstAndMasksTheStatus) {
  const std::string child = support::sibling_program("child");
  const support::ChildResult hooks = support::run(child, {"atexit"});
  EXPECT_EQ(hooks.status, 0u);
  // The hooks write straight to the descriptor; the buffered report comes
  // out after them, when the streams are closed.
  EXPECT_EQ(hooks.out, "cba32 registered:");
  EXPECT_EQ(support::run(child, {"exit", "256"}).status, 0u);
  EXPECT_EQ(support::run(child, {"exit", "261"}).status, 5u);
  EXPECT_EQ(support::run(child, {"exit", "-1"}).status, 255u);
}

}  // namespace
