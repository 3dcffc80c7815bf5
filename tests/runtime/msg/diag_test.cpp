// Error texts and diagnostics: the system's own codes, system codes with and
// without a text, and fatal and xstrdup ending the process.
#include <string>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"
#include "runtime/msg/diag.h"

namespace {

using Diagnostics = support::RuntimeTest;

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
  const std::string child = support::sibling_program("child");
  support::ChildResult result = support::run(child, {"fatal-error"});
  EXPECT_EQ(result.status, 1u);
  EXPECT_EQ(result.err, "child: with the error text: illegal seek" + support::kLineEnd);
  result = support::run(child, {"xstrdup"});
  EXPECT_EQ(result.status, 1u);
  EXPECT_TRUE(result.err.starts_with("child: memory allocation failure: ")) << result.err;
  EXPECT_TRUE(result.err.ends_with(support::kLineEnd)) << result.err;
}

}  // namespace
