// Error texts and diagnostics: the system's own codes, system codes with and
// without a text, fatal and xstrdup ending the process, and every kind of
// broken pipe on output ending it as SIGPIPE does.
#include <string>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"
#include "runtime/msg/diag.h"

namespace {

using Diagnostics = support::RuntimeTest;

// The probe started with these variables added to the plain environment.
support::ChildResult probe(const std::string& variable) {
  support::RunOptions options;
  options.environment = support::plain_environment();
  options.environment->push_back(variable);
  return support::run(support::sibling_program("probe"), {}, options);
}

TEST_F(Diagnostics, ErrorTexts) {
  EXPECT_STREQ(rt::strerror(-10), "Unknown error #fffffff6");
  EXPECT_STREQ(rt::strerror(0x20000000), "Unknown error");  // a code no system has a text for
  // 0 and the codes of the system read as the system's texts.
  for (const int code : {0, static_cast<int>(ERROR_FILE_NOT_FOUND)}) {
    const std::string text = rt::strerror(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.find("Unknown error"), std::string::npos) << code << ": " << text;
  }
}

// fatal with a leading '!' adds the error text; xstrdup with no memory is fatal.
TEST_F(Diagnostics, FatalEndsTheProcessWithStatus1) {
  support::ChildResult result = probe("PROBE_FATAL=error");
  EXPECT_EQ(result.status, 1u);
  EXPECT_EQ(result.err, "probe: with the error text: illegal seek" + support::kLineEnd);
  result = probe("PROBE_FATAL=xstrdup");
  EXPECT_EQ(result.status, 1u);
  EXPECT_TRUE(result.err.starts_with("probe: memory allocation failure: ")) << result.err;
  EXPECT_TRUE(result.err.ends_with(support::kLineEnd)) << result.err;
}

// Every code of a write into a pipe without reader ends the process silently
// with 256 + SIGPIPE; others do not.
TEST_F(Diagnostics, EveryBrokenPipeEndsTheProcessWith269) {
  for (const auto& [code, status] : {std::pair{ERROR_BROKEN_PIPE, 269u}, {ERROR_NO_DATA, 269u},
                                     {ERROR_PIPE_NOT_CONNECTED, 269u}, {ERROR_DISK_FULL, 0u}}) {
    const support::ChildResult result = probe("PROBE_FAIL_WRITE=" + std::to_string(code));
    EXPECT_EQ(result.status, status) << code;
    EXPECT_EQ(result.err, "") << code;
  }
}

}  // namespace
