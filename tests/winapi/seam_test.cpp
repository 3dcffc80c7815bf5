// The Win32 seam behaves alike on both targets: the call hook, and what the
// runtime relies on of Windows that its own tests do not reach, checked
// against Wine.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/support.h"
#include "winapi/winapi.h"

namespace {

using w32::hook::Call;

HANDLE open_file(const std::string& path, DWORD disposition) {
  return w32::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
}

class SeamTest : public ::testing::Test {
 protected:
  void SetUp() override { w32::hook::reset(); }
  void TearDown() override { w32::hook::reset(); }
  support::ScratchDir dir;
};

TEST_F(SeamTest, TheHookFailsTheArmedCallAndAReplacementStandsInWhileInScope) {
  const std::string path = dir.write("f", "abc");
  w32::hook::fail_nth(Call::CreateFileA, 2, 1234);
  for (int call = 1; call <= 3; ++call) {
    HANDLE file = open_file(path, OPEN_EXISTING);
    EXPECT_EQ(file == INVALID_HANDLE_VALUE, call == 2) << call;
    EXPECT_TRUE(call != 2 || w32::GetLastError() == 1234u);
    if (file != INVALID_HANDLE_VALUE) w32::CloseHandle(file);
  }
  EXPECT_EQ(w32::hook::calls(Call::CreateFileA), 3u);

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

TEST_F(SeamTest, CreateFileErrors) {
  const std::string existing = dir.write("exists", "x");
  EXPECT_EQ(open_file(existing, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(w32::GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(open_file("", OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(w32::GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(SeamTest, DuplicateSharesThePosition) {
  HANDLE file = open_file(dir.write("f", "0123456789"), OPEN_EXISTING);
  HANDLE copy;
  ASSERT_TRUE(w32::DuplicateHandle(w32::GetCurrentProcess(), file, w32::GetCurrentProcess(), &copy, 0, FALSE,
                                   DUPLICATE_SAME_ACCESS));
  char bytes[4];
  DWORD done;
  ASSERT_TRUE(w32::ReadFile(file, bytes, 4, &done, nullptr));
  ASSERT_TRUE(w32::ReadFile(copy, bytes, 4, &done, nullptr));
  EXPECT_EQ(std::string(bytes, done), "4567");
  w32::CloseHandle(copy);
  w32::CloseHandle(file);
  EXPECT_FALSE(w32::CloseHandle(file));
  EXPECT_EQ(w32::GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
