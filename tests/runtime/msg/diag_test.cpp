// Error texts and diagnostics: the system's own codes, system codes with and
// without a text, the message modules, print_error, fatal, xstrdup, and the
// heap's report of a failed release.
#include <climits>
#include <string>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"
#include "runtime/msg/diag.h"
#include "runtime/msg/heap.h"

namespace {

using w32::hook::Call;

class Diagnostics : public support::RuntimeTest {
 protected:
  // No catalogue can be found: the built-in texts stand.
  support::Environment environment{{"NLSPATH=" + in_dir("none")}};
};

// A code no system has a text for.
constexpr int kNoText = 0x20000000;

TEST_F(Diagnostics, ErrorTexts) {
  const struct { int code; const char* text; } cases[] = {
      {-1, "unknown error"},       {-2, "name too long"},          {-3, "illegal seek"},
      {-4, "argument too large"},  {-5, "result too large"},       {-6, "no such process"},
      {-7, "no space left on device"}, {-8, "directory not empty"}, {-9, "interrupt"},
      {-10, "Unknown error #fffffff6"}, {INT_MIN, "Unknown error #80000000"},
      {1106, "Unsupported block size on write, or incorrect block size on read"},
  };
  for (const auto& c : cases) EXPECT_STREQ(rt::strerror(c.code), c.text) << c.code;

  // 0 and the codes of the system read as the system's texts.
  for (const int code : {0, static_cast<int>(ERROR_FILE_NOT_FOUND)}) {
    const std::string text = rt::strerror(code);
    EXPECT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.find("Unknown error"), std::string::npos) << code << ": " << text;
  }
  // The system's text lives until the next call; the fixed text is never released.
  const unsigned released = w32::hook::calls(Call::LocalFree);
  for (int i = 0; i < 2; ++i) EXPECT_STREQ(rt::strerror(kNoText), "Unknown error");
  EXPECT_EQ(w32::hook::calls(Call::LocalFree), released + 1);
  w32::hook::fail_nth(Call::FormatMessageA, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_STREQ(rt::strerror(ERROR_ACCESS_DENIED), "Unknown error");
}

TEST_F(Diagnostics, MessageModulesByRange) {
  const struct { int code; const char* module; } cases[] = {
      {5, nullptr},         {2099, nullptr},          {2100, "netmsg.dll"},  {2102, "netmsg.dll"},
      {2999, "netmsg.dll"}, {3000, nullptr},          {9999, nullptr},       {10000, "wsock32.dll"},
      {10061, "wsock32.dll"}, {11999, "wsock32.dll"}, {12000, "wininet.dll"}, {12002, "wininet.dll"},
  };
  for (const auto& c : cases) {
    const char* module = rt::message_module_for(c.code);
    EXPECT_STREQ(module ? module : "(none)", c.module ? c.module : "(none)") << c.code;
    // strerror asks the module first.
    const unsigned loads = w32::hook::calls(Call::LoadLibraryExA);
    rt::strerror(c.code);
    EXPECT_EQ(w32::hook::calls(Call::LoadLibraryExA), loads + (c.module ? 1 : 0)) << c.code;
  }
}

// The line ends with the text of errno, which stays as it was, even when
// finding its text fails inside.
TEST_F(Diagnostics, PrintErrorLines) {
  const struct { const char* name; int error; bool text_fails; std::string line; } cases[] = {
      {nullptr, -3, false, "input file \"x\": illegal seek\n"},
      {"tail", -10, false, "tail: input file \"x\": Unknown error #fffffff6\n"},
      {"tail", ERROR_ACCESS_DENIED, true, "tail: input file \"x\": Unknown error\n"},
  };
  for (const auto& c : cases) {
    support::CapturedStream captured(rt::stderr, dir);
    rt::progname = c.name;
    rt::errno = c.error;
    if (c.text_fails) w32::hook::fail_nth(Call::FormatMessageA, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(rt::print_error("input file \"%s\"", "x"), static_cast<int>(c.line.size())) << c.line;
    EXPECT_EQ(rt::errno, c.error);
    EXPECT_EQ(captured.text(), c.line);
  }
}

TEST_F(Diagnostics, FatalEndsTheProcessWithStatus1) {
  const std::string child = support::sibling_program("child");
  const struct { const char* mode; std::string line; bool then_error_text; } cases[] = {
      {"fatal", "child: plain message 7", false},
      {"fatal-error", "child: with the error text: illegal seek", false},
      {"xstrdup", "child: memory allocation failure: ", true},
  };
  for (const auto& c : cases) {
    const support::ChildResult result = support::run(child, {c.mode});
    EXPECT_EQ(result.status, 1u) << c.mode;
    ASSERT_EQ(result.err.substr(0, c.line.size()), c.line) << result.err;
    const std::string rest = result.err.substr(c.line.size());
    EXPECT_TRUE(rest.ends_with(support::kLineEnd)) << result.err;
    EXPECT_EQ(rest.size() > support::kLineEnd.size(), c.then_error_text) << result.err;
  }
}

TEST_F(Diagnostics, AFailedReleaseIsReported) {
  support::CapturedStream captured(rt::stderr, dir);
  rt::progname = "tail";
  void* block = rt::malloc(16);
  char expected[64];
  rt::sprintf(expected, "tail: free(0x%x) failed: HeapFree() failed: ", block);
  w32::hook::fail_nth(Call::HeapFree, 1, ERROR_INVALID_HANDLE);
  rt::free(block);
  EXPECT_EQ(rt::errno, 0);  // free sets no error number
  const std::string line = captured.text();
  EXPECT_EQ(line.substr(0, std::string(expected).size()), expected);
  EXPECT_TRUE(line.ends_with('\n'));
  rt::free(block);  // now really released
}

}  // namespace
