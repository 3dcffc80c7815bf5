// The call hook of the Win32 seam, alike on both targets: counting calls,
// failing an armed one, and replacing a function for the length of a scope.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/support.h"
#include "winapi/winapi.h"

namespace {

using w32::hook::Call;

class SeamTest : public ::testing::Test {
 protected:
  void SetUp() override { w32::hook::reset(); }
  void TearDown() override { w32::hook::reset(); }
  support::ScratchDir dir;
};

TEST_F(SeamTest, TheHookFailsTheArmedCallAndAReplacementStandsInWhileInScope) {
  const std::string path = dir.write("f", "abc");
  w32::hook::fail_nth(Call::GetFileAttributesA, 2, 1234);
  for (int call = 1; call <= 3; ++call) {
    EXPECT_EQ(w32::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES, call == 2) << call;
    EXPECT_TRUE(call != 2 || w32::GetLastError() == 1234u) << call;
  }
  EXPECT_EQ(w32::hook::calls(Call::GetFileAttributesA), 3u);

  constexpr auto hidden = [](LPCSTR) -> DWORD { return FILE_ATTRIBUTE_HIDDEN; };
  {
    w32::hook::Replace replaced(w32::hook::replacements.GetFileAttributesA, +hidden);
    EXPECT_EQ(w32::GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_HIDDEN);
    // An armed failure comes first.
    w32::hook::fail_nth(Call::GetFileAttributesA, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(w32::GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(w32::GetLastError(), ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(w32::GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  w32::hook::replacements.GetFileAttributesA = +hidden;
  w32::hook::reset();
  EXPECT_EQ(w32::GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

}  // namespace
