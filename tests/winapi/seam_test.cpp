// The Win32 seam behaves alike on both targets: what the runtime relies on
// of Windows holds for the POSIX emulation too, checked against Wine.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/support/support.h"
#include "winapi/winapi.h"
#include "runtime/win32/fd.h"

namespace {

using support::filetime_at;
using w32::hook::Call;

HANDLE open_file(const std::string& path, DWORD access, DWORD disposition) {
  return w32::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
}

class SeamTest : public ::testing::Test {
 protected:
  void SetUp() override { w32::hook::reset(); }
  void TearDown() override { w32::hook::reset(); }
  support::ScratchDir dir;
};

TEST_F(SeamTest, HookFailsExactlyTheArmedCallWithItsCode) {
  const std::string path = dir.write("f", "abc");
  w32::hook::fail_nth(Call::CreateFileA, 2, 1234);
  HANDLE first = open_file(path, GENERIC_READ, OPEN_EXISTING);
  HANDLE second = open_file(path, GENERIC_READ, OPEN_EXISTING);
  const DWORD code = w32::GetLastError();
  HANDLE third = open_file(path, GENERIC_READ, OPEN_EXISTING);
  EXPECT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(code, 1234u);
  EXPECT_NE(third, INVALID_HANDLE_VALUE);
  EXPECT_EQ(w32::hook::calls(Call::CreateFileA), 3u);
  w32::CloseHandle(first);
  w32::CloseHandle(third);
}

TEST_F(SeamTest, ReplacementStandsInForTheSystemWhileInScope) {
  const std::string path = dir.write("f", "abc");
  constexpr auto hidden = [](LPCSTR) -> DWORD { return FILE_ATTRIBUTE_HIDDEN; };
  {
    w32::hook::Replace replaced(w32::hook::replacements.GetFileAttributesA, +hidden);
    EXPECT_EQ(w32::GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_HIDDEN);
    // An armed failure comes first and is counted like any call.
    w32::hook::fail_nth(Call::GetFileAttributesA, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(w32::GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(w32::GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(w32::hook::calls(Call::GetFileAttributesA), 2u);
  }
  EXPECT_EQ(w32::GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);

  w32::hook::replacements.GetFileAttributesA = +hidden;
  w32::hook::reset();
  EXPECT_EQ(w32::GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

TEST_F(SeamTest, DosDateTimeOfFileTimes) {
  struct Case {
    std::int64_t seconds;
    bool ok;
    WORD date;
    WORD time;
  };
  const Case cases[] = {
      {1300184430, true, (31 << 9) | (3 << 5) | 15, (10 << 11) | (20 << 5) | 15},  // 2011-03-15 10:20:30
      {1300184431, true, (31 << 9) | (3 << 5) | 15, (10 << 11) | (20 << 5) | 15},  // odd second: down
      {951782400, true, (20 << 9) | (2 << 5) | 29, 0},                             // 2000-02-29
      {315532800, true, (0 << 9) | (1 << 5) | 1, 0},                               // 1980-01-01
      {315532799, false, 0, 0},                                                    // 1979-12-31 23:59:59
      {4354819198, true, (127 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29},  // 2107-12-31 23:59:58
  };
  for (const Case& c : cases) {
    const FILETIME time = filetime_at(c.seconds);
    WORD date = 0;
    WORD clock = 0;
    EXPECT_EQ(w32::FileTimeToDosDateTime(&time, &date, &clock) != FALSE, c.ok) << c.seconds;
    if (c.ok) {
      EXPECT_EQ(date, c.date) << c.seconds;
      EXPECT_EQ(clock, c.time) << c.seconds;
    }
  }
  const FILETIME zero{0, 0};
  WORD date;
  WORD clock;
  EXPECT_FALSE(w32::FileTimeToDosDateTime(&zero, &date, &clock));
}

TEST_F(SeamTest, CreateFileErrors) {
  const std::string existing = dir.write("exists", "x");
  std::filesystem::create_directory(dir.path() / "sub");
  struct Case {
    std::string name;
    DWORD disposition;
    DWORD code;
  };
  const Case cases[] = {
      {existing, CREATE_NEW, ERROR_FILE_EXISTS},
      {(dir.path() / "missing").string(), OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
      {(dir.path() / "nodir" / "x").string(), OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
      {(dir.path() / "sub").string(), OPEN_EXISTING, ERROR_ACCESS_DENIED},  // a directory is no file
      {std::string(300, 'a'), OPEN_EXISTING, ERROR_FILENAME_EXCED_RANGE},
      {"", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(open_file(c.name, GENERIC_READ, c.disposition), INVALID_HANDLE_VALUE) << c.name;
    EXPECT_EQ(w32::GetLastError(), c.code) << c.name;
  }
}

TEST_F(SeamTest, FileTypesAndInformation) {
  HANDLE file = open_file(dir.write("f", "12345"), GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(w32::GetFileType(file), FILE_TYPE_DISK);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(w32::GetFileInformationByHandle(file, &info));
  EXPECT_EQ(info.nFileSizeLow, 5u);
  EXPECT_EQ(info.nFileSizeHigh, 0u);
  EXPECT_EQ(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE), FILE_ATTRIBUTE_ARCHIVE);
  w32::CloseHandle(file);

  const support::Pipe pipe = support::make_pipe();
  HANDLE read_end = rt::fd_table[pipe.read_fd];
  EXPECT_EQ(w32::GetFileType(read_end), FILE_TYPE_PIPE);
  EXPECT_FALSE(w32::GetFileInformationByHandle(read_end, &info));
  rt::close(pipe.read_fd);
  rt::close(pipe.write_fd);
}

TEST_F(SeamTest, PipeEnds) {
  // Reading a pipe whose writer has gone fails with "broken pipe".
  support::Pipe pipe = support::make_pipe();
  rt::close(pipe.write_fd);
  char byte;
  DWORD done = 1;
  EXPECT_FALSE(w32::ReadFile(rt::fd_table[pipe.read_fd], &byte, 1, &done, nullptr));
  EXPECT_EQ(w32::GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_EQ(done, 0u);
  rt::close(pipe.read_fd);

  // Writing into a pipe whose reader has gone fails with one of the three
  // codes Windows uses for it.
  pipe = support::make_pipe();
  rt::close(pipe.read_fd);
  EXPECT_FALSE(w32::WriteFile(rt::fd_table[pipe.write_fd], "x", 1, &done, nullptr));
  const DWORD code = w32::GetLastError();
  EXPECT_TRUE(code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA || code == ERROR_PIPE_NOT_CONNECTED) << code;
  rt::close(pipe.write_fd);
}

TEST_F(SeamTest, FilePointerBeyondFourGigabytes) {
  const std::string path = dir.write("sparse", "");
  const std::uint64_t size = (std::uint64_t{5} << 30) + 7;
  std::filesystem::resize_file(path, size);
  HANDLE file = open_file(path, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LONG high = 0;
  const DWORD low = w32::SetFilePointer(file, 0, &high, FILE_END);
  EXPECT_EQ((std::uint64_t{static_cast<DWORD>(high)} << 32) | low, size);
  high = 1;
  EXPECT_EQ(w32::SetFilePointer(file, 16, &high, FILE_BEGIN), 16u);
  EXPECT_EQ(high, 1);
  high = -1;
  EXPECT_EQ(w32::SetFilePointer(file, -1, &high, FILE_CURRENT), 15u);  // back one byte
  EXPECT_EQ(high, 1);
  w32::CloseHandle(file);
}

TEST_F(SeamTest, DuplicateSharesThePosition) {
  HANDLE file = open_file(dir.write("f", "0123456789"), GENERIC_READ, OPEN_EXISTING);
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

TEST_F(SeamTest, HeapZeroFillsGrowth) {
  HANDLE heap = w32::GetProcessHeap();
  auto* block = static_cast<unsigned char*>(w32::HeapAlloc(heap, HEAP_ZERO_MEMORY, 3));
  ASSERT_NE(block, nullptr);
  block[0] = block[1] = block[2] = 0xAB;
  block = static_cast<unsigned char*>(w32::HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 4096));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block[2], 0xAB);
  for (int i = 3; i < 4096; ++i) ASSERT_EQ(block[i], 0) << i;
  EXPECT_TRUE(w32::HeapFree(heap, 0, block));
}

}  // namespace
