// Numbered messages without a catalogue: the literal form, errno kept, and
// a failed open not tried again while LC_MESSAGES stays the same.
#include <string>

#include "tests/support/runtime_test.h"
#include "runtime/msg/locale.h"
#include "runtime/msg/messages.h"

namespace {

using w32::hook::Call;

class Messages : public support::RuntimeTest {
 protected:
  void SetUp() override {
    RuntimeTest::SetUp();
    rt::setlocale(rt::LC_ALL, "POSIX");
  }
};

TEST_F(Messages, NumberedLiteralsWithoutACatalogue) {
  const support::Environment environment({"NLSPATH=" + (dir.path() / "%L" / "%N.cat").string()});
  const struct {
    const char* literal;
    const char* text;
  } cases[] = {
      {"1835##not enough memory for buffering", "not enough memory for buffering"},
      {"0##illegal seek", "illegal seek"},
      {"##abc", "abc"},
      {" 12##x%sy", "x%sy"},
      {"0x10##hex", "hex"},
      {"99999999999##too large", "too large"},
      {"Unknown error", "Unknown error"},
      {"12#x", "12#x"},
      {"", ""},
  };
  for (const auto& c : cases) {
    rt::errno = 77;
    EXPECT_STREQ(rt::msg_text(c.literal), c.text) << c.literal;
    EXPECT_EQ(rt::errno, 77) << c.literal;
  }
  EXPECT_STREQ(rt::msg_lookup(5275, "usage", "U"), "usage");
}

TEST_F(Messages, AFailedOpenIsNotTriedAgainForTheSameLocale) {
  const support::Environment environment({"NLSPATH=" + (dir.path() / "%L" / "%N.cat").string()});
  rt::setlocale(rt::LC_MESSAGES, "de");
  rt::errno = 0;
  EXPECT_STREQ(rt::msg_lookup(3, "input file \"%s\"", "E filename"), "input file \"%s\"");
  const unsigned tried = w32::hook::calls(Call::GetFileAttributesA);
  EXPECT_EQ(tried, 1u);
  EXPECT_EQ(rt::errno, 0);  // the failed search left no error behind
  for (int i = 0; i < 3; ++i) rt::msg_lookup(4, "write error on standard output", "");
  EXPECT_EQ(w32::hook::calls(Call::GetFileAttributesA), tried);
  rt::setlocale(rt::LC_MESSAGES, "fr");
  rt::msg_lookup(4, "write error on standard output", "");
  EXPECT_EQ(w32::hook::calls(Call::GetFileAttributesA), tried + 1);
}

}  // namespace
