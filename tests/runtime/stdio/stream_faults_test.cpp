// Streams over devices that take or give less than asked: a short write
// ends the write-out and discards the rest, a console that stops at 0x1A is
// given the bytes after it, and reads that deliver a few bytes at a time
// still give every byte in order.
#include <algorithm>
#include <string>

#include "tests/support/runtime_test.h"
#include "runtime/stdio/stream.h"

namespace {

using w32::hook::Replace;
using w32::hook::replacements;

// The most bytes the replaced ReadFile and WriteFile move per call.
DWORD g_most = 0;

BOOL read_at_most(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped) {
  return ::ReadFile(file, buffer, std::min(to_read, g_most), done, overlapped);
}

BOOL write_at_most(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD done, LPOVERLAPPED overlapped) {
  return ::WriteFile(file, buffer, std::min(to_write, g_most), done, overlapped);
}

// A console that takes the bytes before the first 0x1A and stops there. It
// gives up after far more calls than any case here needs, so that a stream
// that keeps offering the same 0x1A fails instead of hanging.
BOOL write_up_to_ctrl_z(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD done, LPOVERLAPPED overlapped) {
  if (w32::hook::calls(w32::hook::Call::WriteFile) > 100000) {
    *done = 0;
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  const auto* bytes = static_cast<const char*>(buffer);
  const auto length = static_cast<DWORD>(std::find(bytes, bytes + to_write, '\x1a') - bytes);
  return ::WriteFile(file, buffer, length, done, overlapped);
}

using StreamFaults = support::RuntimeTest;

TEST_F(StreamFaults, AShortWriteEndsTheWriteOutAndDiscardsTheRest) {
  struct Case {
    std::string bytes;
    std::size_t buffer;
    DWORD most;
    std::string written;
  };
  const Case cases[] = {
      {"0123456789", 64, 4, "0123"},
      {"0123456789", 64, 0, ""},
      {"0123456789", 4, 3, "012"},  // the first full buffer already ends it
      {"ab\x1a" "cd", 64, 1, "a"},  // a stop before any byte but 0x1A is an error
  };
  for (const Case& c : cases) {
    support::CapturedStream out(rt::stdout, dir);
    ASSERT_EQ(rt::setvbuf(rt::stdout, nullptr, rt::_IOFBF, c.buffer), 0);
    {
      g_most = c.most;
      Replace short_writes(replacements.WriteFile, &write_at_most);
      rt::fwrite(c.bytes.data(), 1, c.bytes.size(), rt::stdout);
      EXPECT_EQ(rt::fflush(rt::stdout), -1) << c.bytes << " " << c.most;
    }
    EXPECT_NE(rt::ferror(rt::stdout), 0) << c.bytes << " " << c.most;
    EXPECT_EQ(out.text(), c.written) << c.bytes << " " << c.most;

    // The bytes not taken are gone: later output follows what was written.
    rt::clearerr(rt::stdout);
    rt::fputs("+", rt::stdout);
    EXPECT_EQ(rt::fflush(rt::stdout), 0);
    EXPECT_EQ(out.text(), c.written + "+") << c.bytes << " " << c.most;
  }
}

TEST_F(StreamFaults, AConsoleThatStopsAtCtrlZIsGivenTheRest) {
  std::string long_run;
  for (int i = 0; i < 3000; ++i) long_run += (i % 7 == 3) ? '\x1a' : static_cast<char>('a' + i % 26);
  std::string long_run_shown = long_run;
  std::erase(long_run_shown, '\x1a');

  struct Case {
    std::string bytes;
    const char* mode;
    std::size_t buffer;  // 0: unbuffered
    std::string shown;
  };
  const Case cases[] = {
      {"ab\x1a" "cd", "wb", 64, "abcd"},
      {"\x1a\x1a" "x\x1a", "wb", 64, "x"},
      {"\x1a", "wb", 64, ""},
      {"no mark", "wb", 64, "no mark"},
      {long_run, "wb", 512, long_run_shown},
      {"ab\x1a" "cd", "wb", 0, "abcd"},
      {"a\n\x1a" "b\n", "wt", 64, "a\r\nb\r\n"},
  };
  for (const Case& c : cases) {
    rt::Stream* stream = rt::fopen(in_dir("console").c_str(), c.mode);
    ASSERT_NE(stream, nullptr);
    if (c.buffer == 0) {
      ASSERT_EQ(rt::setvbuf(stream, nullptr, rt::_IONBF, 0), 0);
    } else {
      ASSERT_EQ(rt::setvbuf(stream, nullptr, rt::_IOFBF, c.buffer), 0);
    }
    {
      Replace console(replacements.WriteFile, &write_up_to_ctrl_z);
      EXPECT_EQ(rt::fwrite(c.bytes.data(), 1, c.bytes.size(), stream), c.bytes.size());
      EXPECT_EQ(rt::fflush(stream), 0) << c.bytes.size() << " bytes, " << c.mode << " " << c.buffer;
      EXPECT_EQ(rt::ferror(stream), 0);
    }
    rt::fclose(stream);
    EXPECT_EQ(support::ScratchDir::read(in_dir("console")), c.shown)
        << c.bytes.size() << " bytes, " << c.mode << " " << c.buffer;
  }
}

TEST_F(StreamFaults, ReadsThatDeliverLessStillGiveEveryByteInOrder) {
  const std::string file = dir.write("in", "ab\r\ncd\r\n\r\nef\rg\r\n");
  struct Case {
    const char* mode;
    std::string text;
  };
  const Case cases[] = {
      {"rb", "ab\r\ncd\r\n\r\nef\rg\r\n"},
      {"rt", "ab\ncd\n\nef\rg\n"},
  };
  for (const Case& c : cases) {
    for (const DWORD most : {1u, 2u, 3u, 5u}) {
      g_most = most;
      Replace partial_reads(replacements.ReadFile, &read_at_most);

      rt::Stream* stream = rt::fopen(file.c_str(), c.mode);
      ASSERT_NE(stream, nullptr);
      std::string text;
      for (int byte; (byte = rt::getc(stream)) != rt::EOF;) text += static_cast<char>(byte);
      EXPECT_EQ(text, c.text) << c.mode << ", " << most << " at a time";
      EXPECT_TRUE(rt::feof(stream));
      EXPECT_FALSE(rt::ferror(stream));
      rt::fclose(stream);

      stream = rt::fopen(file.c_str(), c.mode);
      char bytes[64];
      EXPECT_EQ(std::string(bytes, rt::fread(bytes, 1, sizeof bytes, stream)), c.text)
          << c.mode << ", " << most << " at a time";
      rt::fclose(stream);
    }
  }
}

}  // namespace
