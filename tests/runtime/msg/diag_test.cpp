// Error texts and diagnostics: the system's own codes, system codes with and
// without a text, the message modules, print_error, fatal, and the heap's
// own failure lines.
#include <string>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"
#include "runtime/msg/diag.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/messages.h"

namespace {

using w32::hook::Call;

class Diagnostics : public support::RuntimeTest {
 protected:
  void SetUp() override {
    RuntimeTest::SetUp();
    rt::progname = nullptr;
  }
  void TearDown() override {
    rt::progname = nullptr;
    RuntimeTest::TearDown();
  }
  // No catalogue can be found: the built-in texts stand.
  support::Environment environment{{"NLSPATH=" + (dir.path() / "none").string()}};
};

// A code no system has a text for.
constexpr int kNoText = 0x20000000;

TEST_F(Diagnostics, TextsOfTheSystemsOwnCodes) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {-1, "unknown error"},       {-2, "name too long"},          {-3, "illegal seek"},
      {-4, "argument too large"},  {-5, "result too large"},       {-6, "no such process"},
      {-7, "no space left on device"}, {-8, "directory not empty"}, {-9, "interrupt"},
      {-10, "Unknown error #fffffff6"}, {-2147483647 - 1, "Unknown error #80000000"},
  };
  for (const auto& c : cases) EXPECT_STREQ(rt::strerror(c.code), c.text) << c.code;
  EXPECT_EQ(w32::hook::calls(Call::FormatMessageA), 0u);
}

TEST_F(Diagnostics, TextsOfSystemCodes) {
  EXPECT_STREQ(rt::strerror(1106), "Unsupported block size on write, or incorrect block size on read");
  EXPECT_EQ(w32::hook::calls(Call::FormatMessageA), 0u);

  const std::string not_found = rt::strerror(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(not_found.empty());
  EXPECT_NE(not_found, "Unknown error");
  EXPECT_EQ(w32::hook::calls(Call::LocalFree), 0u);
  EXPECT_STREQ(rt::strerror(kNoText), "Unknown error");
  EXPECT_EQ(w32::hook::calls(Call::LocalFree), 1u);  // the text of the code before
  EXPECT_STREQ(rt::strerror(kNoText), "Unknown error");
  EXPECT_EQ(w32::hook::calls(Call::LocalFree), 1u);  // the fixed text is never released

  w32::hook::fail_nth(Call::FormatMessageA, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_STREQ(rt::strerror(ERROR_ACCESS_DENIED), "Unknown error");
}

TEST_F(Diagnostics, MessageModulesByRange) {
  const struct {
    int code;
    const char* module;
  } cases[] = {
      {5, nullptr},         {2099, nullptr},          {2100, "netmsg.dll"},  {2102, "netmsg.dll"},
      {2999, "netmsg.dll"}, {3000, nullptr},          {9999, nullptr},       {10000, "wsock32.dll"},
      {10061, "wsock32.dll"}, {11999, "wsock32.dll"}, {12000, "wininet.dll"}, {12002, "wininet.dll"},
  };
  for (const auto& c : cases) {
    const char* module = rt::message_module_for(c.code);
    EXPECT_STREQ(module ? module : "(none)", c.module ? c.module : "(none)") << c.code;
  }
  rt::strerror(5);
  EXPECT_EQ(w32::hook::calls(Call::LoadLibraryExA), 0u);
  rt::strerror(2102);
  rt::strerror(10061);
  rt::strerror(12002);
  EXPECT_EQ(w32::hook::calls(Call::LoadLibraryExA), 3u);
}

TEST_F(Diagnostics, PrintErrorLines) {
  support::CapturedStream captured(rt::stderr, dir);
  rt::errno = -3;
  int count = rt::print_error("input file \"%s\"", "x");
  EXPECT_EQ(rt::errno, -3);
  std::string expected = "input file \"x\": illegal seek\n";
  EXPECT_EQ(captured.text(), expected);
  EXPECT_EQ(count, static_cast<int>(expected.size()));

  rt::progname = "tail";
  rt::errno = -10;
  count = rt::print_error("%d lines", 5);
  EXPECT_EQ(rt::errno, -10);
  const std::string second = "tail: 5 lines: Unknown error #fffffff6\n";
  EXPECT_EQ(captured.text(), expected + second);
  EXPECT_EQ(count, static_cast<int>(second.size()));

  // errno stays as it was even when finding the text fails inside.
  rt::errno = ERROR_ACCESS_DENIED;
  w32::hook::fail_nth(Call::FormatMessageA, 1, ERROR_NOT_ENOUGH_MEMORY);
  rt::print_error("x");
  EXPECT_EQ(rt::errno, ERROR_ACCESS_DENIED);
  EXPECT_EQ(captured.text(), expected + second + "tail: x: Unknown error\n");
}

TEST_F(Diagnostics, FatalEndsTheProcessWithStatus1) {
  const std::string child = support::sibling_program("child");
  const support::ChildResult plain = support::run(child, {"fatal"});
  EXPECT_EQ(plain.status, 1u);
  EXPECT_EQ(plain.err, "child: plain message 7" + support::kLineEnd);
  const support::ChildResult with_error = support::run(child, {"fatal-error"});
  EXPECT_EQ(with_error.status, 1u);
  EXPECT_EQ(with_error.err, "child: with the error text: illegal seek" + support::kLineEnd);
}

TEST_F(Diagnostics, XstrdupWithoutMemoryEndsTheProcess) {
  const support::ChildResult result = support::run(support::sibling_program("child"), {"xstrdup"});
  EXPECT_EQ(result.status, 1u);
  const std::string prefix = "child: memory allocation failure: ";
  ASSERT_GT(result.err.size(), prefix.size() + 1) << result.err;
  EXPECT_EQ(result.err.substr(0, prefix.size()), prefix);
  EXPECT_EQ(result.err.back(), '\n');
}

TEST_F(Diagnostics, AFailedReleaseIsReported) {
  support::CapturedStream captured(rt::stderr, dir);
  rt::progname = "tail";
  void* block = rt::malloc(16);
  char expected[64];
  rt::sprintf(expected, "tail: free(0x%x) failed: HeapFree() failed: ", block);
  w32::hook::fail_nth(Call::HeapFree, 1, ERROR_INVALID_HANDLE);
  rt::errno = 0;
  rt::free(block);
  EXPECT_EQ(rt::errno, 0);  // free sets no error number
  const std::string line = captured.text();
  EXPECT_EQ(line.substr(0, std::string(expected).size()), expected);
  EXPECT_EQ(line.back(), '\n');
  rt::free(block);  // now really released
}

}  // namespace
