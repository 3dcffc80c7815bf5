// Signals: refused numbers, and the default action ending the process with
// 256 + the signal number, as every kind of broken pipe on output does.
#include <string>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"
#include "runtime/win32/errno.h"
#include "runtime/win32/signals.h"

namespace {

using Signals = support::RuntimeTest;

TEST_F(Signals, DefaultActionEndsTheProcessWith256PlusTheNumber) {
  for (const int number : {33, 64, -1}) {  // no signal: refused
    rt::errno = 0;
    EXPECT_EQ(rt::raise(number), -1) << number;
    EXPECT_EQ(rt::errno, 1) << number;
  }
  const std::string child = support::sibling_program("child");
  EXPECT_EQ(support::run(child, {"raise", "15"}).status, 271u);
  support::RunOptions options;
  options.output_reader_gone = true;
  EXPECT_EQ(support::run(child, {"write-forever"}, options).status, 269u);
}

// Every code of a write into a pipe without reader ends the process silently; others do not.
TEST_F(Signals, EveryBrokenPipeEndsTheProcessWith269) {
  const struct {
    DWORD code;
    unsigned status;
  } cases[] = {{ERROR_BROKEN_PIPE, 269}, {ERROR_NO_DATA, 269}, {ERROR_PIPE_NOT_CONNECTED, 269}, {ERROR_DISK_FULL, 0}};
  for (const auto& c : cases) {
    support::RunOptions options;
    options.environment = support::plain_environment();
    options.environment->push_back("PROBE_FAIL_WRITE=" + std::to_string(c.code));
    const support::ChildResult result = support::run(support::sibling_program("probe"), {}, options);
    EXPECT_EQ(result.status, c.status) << c.code;
    EXPECT_EQ(result.err, "") << c.code;
  }
}

}  // namespace
