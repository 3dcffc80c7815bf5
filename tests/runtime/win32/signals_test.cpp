// Signals: refused numbers, and the default action ending the process with
// 256 + the signal number, as a broken pipe on output does.
#include "tests/support/process.h"
#include "tests/support/runtime_test.h"
#include "runtime/win32/errno.h"
#include "runtime/win32/signals.h"

namespace {

using support::RuntimeTest;
using Signals = RuntimeTest;

TEST_F(Signals, NumbersAbove32AreRefused) {
  for (const int number : {33, 64, -1}) {
    rt::errno = 0;
    EXPECT_EQ(rt::raise(number), -1) << number;
    EXPECT_EQ(rt::errno, 1) << number;
    EXPECT_EQ(rt::pending_signals, 0u);
  }
}

TEST_F(Signals, DefaultActionEndsTheProcessWith256PlusTheNumber) {
  const std::string child = support::sibling_program("child");
  EXPECT_EQ(support::run(child, {"raise", "13"}).status, 269u);
  EXPECT_EQ(support::run(child, {"raise", "15"}).status, 271u);
}

TEST_F(Signals, WritingIntoAPipeWithoutReaderEndsTheProcessWith269) {
  support::RunOptions options;
  options.output_reader_gone = true;
  EXPECT_EQ(support::run(support::sibling_program("child"), {"write-forever"}, options).status, 269u);
}

}  // namespace
