// The call hook of the Win32 seam, alike on both targets: counting calls,
// failing an armed one, and replacing a function for the length of a scope.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/support.h"
#include "winapi/winapi.h"

namespace {

using w32::hook::Call;

TEST(Seam, TheHookFailsTheArmedCallAndAReplacementStandsInWhileInScope) {
  const support::ScratchDir dir;
  const std::string path = dir.write("f", "abc");
  const auto attributes = [&path] { return w32::GetFileAttributesA(path.c_str()); };
  w32::hook::reset();
  w32::hook::fail_nth(Call::GetFileAttributesA, 2, 1234);
  EXPECT_NE(attributes(), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attributes(), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(w32::GetLastError(), 1234u);
  EXPECT_NE(attributes(), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(w32::hook::calls(Call::GetFileAttributesA), 3u);

  constexpr auto hidden = [](LPCSTR) -> DWORD { return FILE_ATTRIBUTE_HIDDEN; };
  {
    w32::hook::Replace replaced(w32::hook::replacements.GetFileAttributesA, +hidden);
    EXPECT_EQ(attributes(), FILE_ATTRIBUTE_HIDDEN);
    w32::hook::fail_nth(Call::GetFileAttributesA, 1, ERROR_ACCESS_DENIED);  // an armed failure comes first
    EXPECT_EQ(attributes(), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(w32::GetLastError(), ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(attributes() & FILE_ATTRIBUTE_HIDDEN, 0u);
  w32::hook::replacements.GetFileAttributesA = +hidden;
  w32::hook::reset();  // takes the replacement back too
  EXPECT_EQ(attributes() & FILE_ATTRIBUTE_HIDDEN, 0u);
}

}  // namespace
