// Buffered streams and descriptors where a run cannot reach; text-mode reading is the stream fuzz target's.
#include <algorithm>
#include <string>
#include "tests/support/support.h"
#include "runtime/stdio/encoding.h"
#include "runtime/stdio/stream.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/fstat.h"
#include "runtime/win32/open.h"

namespace {
using w32::hook::Call;

// A device taking at most g_most bytes per call; a console that stops at 0x1A (giving up after 100000 calls).
DWORD g_most = 0;
BOOL write_at_most(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD done, LPOVERLAPPED overlapped) {
  return ::WriteFile(file, buffer, std::min(to_write, g_most), done, overlapped);
}
BOOL write_up_to_ctrl_z(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD done, LPOVERLAPPED overlapped) {
  const auto* bytes = static_cast<const char*>(buffer);
  const auto length = static_cast<DWORD>(std::find(bytes, bytes + to_write, '\x1a') - bytes);
  if (w32::hook::calls(Call::WriteFile) < 100000) return ::WriteFile(file, buffer, length, done, overlapped);
  ::SetLastError(ERROR_INVALID_FUNCTION);
  return FALSE;
}

std::string take(rt::Stream* stream, std::size_t count) {
  std::string bytes;
  for (int c; bytes.size() < count && (c = rt::getc(stream)) != rt::EOF;) bytes += static_cast<char>(c);
  return bytes;
}
using Streams = support::RuntimeTest;

// The file changes under the stream: a read brings in the bytes up to the next multiple of the buffer size (a whole
// buffer after a seek), and a seek to a byte the buffer holds as it was read reuses it, but on a console.
TEST_F(Streams, RefillsEndAtAlignedOffsetsAndSeeksReuseWhatWasRead) {
  std::string lower;
  for (int i = 0; i < 3000; ++i) lower += static_cast<char>('a' + i % 26);
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
  // A buffer of 1024 over a descriptor at 1500 of the lower bytes; after its first getc the file holds the upper.
  const auto open_at_1500 = [&] {
    const int fd = rt::open(dir.write("f", lower).c_str(), rt::O_RDONLY, 0);
    EXPECT_EQ(rt::lseek(fd, 1500, rt::SEEK_SET), 1500);
    rt::Stream* stream = rt::fdopen(fd, "rb");
    EXPECT_EQ(rt::setvbuf(stream, nullptr, rt::_IOFBF, 1024), 0);
    EXPECT_EQ(rt::getc(stream), lower[1500]);
    dir.write("f", upper);
    return stream;
  };
  rt::Stream* stream = open_at_1500();
  EXPECT_EQ(take(stream, 547), lower.substr(1501, 547));  // the first read went up to 2048
  EXPECT_EQ(rt::ftell(stream), 2048);
  EXPECT_EQ(rt::getc(stream), upper[2048]);  // and the next one from there to the end
  dir.write("f", lower);
  EXPECT_EQ(rt::fseek(stream, 2049, rt::SEEK_SET), 0);
  EXPECT_EQ(rt::getc(stream), upper[2049]);
  EXPECT_EQ(rt::fseek(stream, -2, rt::SEEK_CUR), 0);
  EXPECT_EQ(rt::getc(stream), upper[2048]);
  EXPECT_EQ(rt::fseek(stream, -2, rt::SEEK_CUR), 0);  // 2047 is no longer in the buffer
  EXPECT_EQ(rt::getc(stream), lower[2047]);
  dir.write("f", upper);
  EXPECT_EQ(rt::getc(stream), lower[2048]);  // a read after a seek fills the buffer from its base
  EXPECT_EQ(rt::fseek(stream, -1, rt::SEEK_END), 0);
  EXPECT_EQ(take(stream, 2), upper.substr(2999));
  rt::rewind(stream);
  EXPECT_FALSE(rt::feof(stream));
  EXPECT_EQ(rt::getc(stream), upper[0]);
  EXPECT_EQ(rt::fflush(stream), 0);  // gives back the read-ahead
  dir.write("f", lower);
  EXPECT_EQ(take(stream, 3), lower.substr(1, 3));
  // Only what was read from the file can be sought back to in the buffer.
  stream = open_at_1500();
  EXPECT_EQ(rt::fseek(stream, -1, rt::SEEK_CUR), 0);
  EXPECT_EQ(rt::getc(stream), lower[1500]);
  EXPECT_EQ(rt::fseek(stream, -2, rt::SEEK_CUR), 0);  // 1499 was never read
  EXPECT_EQ(rt::getc(stream), upper[1499]);
  dir.write("f", lower);
  EXPECT_EQ(take(stream, 1024), upper.substr(1500, 1023) + lower[2523]);
  // A console's seeks always go to the system.
  {
    const w32::hook::Replace console(w32::hook::replacements.GetConsoleMode, +[](HANDLE, LPDWORD mode) -> BOOL {
      *mode = 0;
      return TRUE;
    });
    stream = rt::fopen(in_dir("f").c_str(), "rb");
    EXPECT_EQ(rt::getc(stream), lower[0]);
  }
  dir.write("f", upper);
  EXPECT_EQ(rt::fseek(stream, 0, rt::SEEK_SET), 0);
  EXPECT_EQ(rt::getc(stream), upper[0]);
}

// An fwrite with a line feed writes out all; other bytes, and any while held, wait for the next read or the hold's end.
TEST_F(Streams, LinesGoOutAtOnceOrBeforeTheNextRead) {
  rt::Stream* in = rt::fopen(dir.write("in", std::string(1500, 'i')).c_str(), "rb");
  rt::Stream* out = rt::fopen(in_dir("out").c_str(), "wt");
  ASSERT_EQ(rt::setvbuf(out, nullptr, rt::_IOLBF, 64) + rt::setvbuf(in, nullptr, rt::_IOFBF, 1024), 0);
  const auto written = [this] { return support::ScratchDir::read(in_dir("out")); };
  EXPECT_EQ(rt::fwrite("a\nb", 1, 3, out) + rt::fwrite("c", 1, 1, out), 4u);
  EXPECT_EQ(written(), "a\r\nb");
  EXPECT_EQ(take(in, 1000), std::string(1000, 'i'));  // one read from the system
  EXPECT_EQ(written(), "a\r\nbc");
  rt::stream_hold_lines(out, true);
  EXPECT_EQ(rt::fwrite("d\ne", 1, 3, out), 3u);
  EXPECT_EQ(rt::putc('\n', out), '\n');
  EXPECT_EQ(take(in, 24) + written(), std::string(24, 'i') + "a\r\nbc");  // from the buffer: no read
  EXPECT_EQ(take(in, 1000).size(), 476u);                                    // reads again
  EXPECT_EQ(written(), "a\r\nbcd\r\ne\r\n");
  EXPECT_EQ(rt::fwrite("f\ng", 1, 3, out), 3u);
  rt::stream_hold_lines(out, false);
  EXPECT_EQ(written(), "a\r\nbcd\r\ne\r\nf\r\ng");
  EXPECT_EQ(rt::fclose(in) + rt::fclose(out), 0);
}

// A short write ends the write-out and discards the rest; a console that stops at 0x1A is given the bytes after it.
TEST_F(Streams, DevicesThatTakeLessThanOffered) {
  std::string long_run;
  for (int i = 0; i < 3000; ++i) long_run += (i % 7 == 3) ? '\x1a' : static_cast<char>('a' + i % 26);
  std::string long_run_shown = long_run;
  std::erase(long_run_shown, '\x1a');
  // most: 0 for a console that stops at 0x1A, else a short write of at most this; buffer: 0 for none.
  const struct { DWORD most; std::string bytes; const char* mode; std::size_t buffer; std::string shown; } cases[] = {
      {4, "0123456789", "wb", 64, "0123"},
      {3, "0123456789", "wb", 4, "012"},  // the first full buffer already ends it
      {1, "ab\x1a" "cd", "wb", 64, "a"},  // a stop before any byte but 0x1A is an error
      {0, "ab\x1a" "cd", "wb", 64, "abcd"},
      {0, "\x1a\x1a" "x\x1a", "wb", 64, "x"},
      {0, "\x1a", "wb", 64, ""},
      {0, long_run, "wb", 512, long_run_shown},
      {0, "ab\x1a" "cd", "wb", 0, "abcd"},
      {0, "a\n\x1a" "b\n", "wt", 64, "a\r\nb\r\n"},
  };
  for (const auto& c : cases) {
    // By runs and by bytes; short writes by runs only: after a failed write-out bytes go on into the buffer.
    for (const bool runs : {true, false}) {
      if (!runs && c.most != 0) continue;
      SCOPED_TRACE(testing::Message() << c.bytes.size() << " bytes, most " << c.most << " buffer " << c.buffer << runs);
      rt::Stream* stream = rt::fopen(in_dir("out").c_str(), c.mode);
      ASSERT_EQ(rt::setvbuf(stream, nullptr, c.buffer ? rt::_IOFBF : rt::_IONBF, c.buffer), 0);
      {
        g_most = c.most;
        const w32::hook::Replace device(w32::hook::replacements.WriteFile,
                                        c.most ? &write_at_most : &write_up_to_ctrl_z);
        if (runs) rt::fwrite(c.bytes.data(), 1, c.bytes.size(), stream);
        for (std::size_t i = 0; !runs && i < c.bytes.size(); ++i) {
          EXPECT_EQ(rt::putc(c.bytes[i], stream), static_cast<unsigned char>(c.bytes[i]));
        }
        EXPECT_EQ(rt::fflush(stream), c.most == 0 ? 0 : -1);
      }
      rt::clearerr(stream);
      rt::fputs("+", stream);
      EXPECT_EQ(rt::fclose(stream), 0);
      EXPECT_EQ(support::ScratchDir::read(in_dir("out")), c.shown + "+");
    }
  }
}

// Text converted for its output waits for a character's last byte, but not in a buffer that the bytes before it fill.
TEST_F(Streams, ABufferThatACharacterBegunFills) {
  rt::Stream* out = rt::fopen(in_dir("out").c_str(), "wb");
  ASSERT_EQ(rt::setvbuf(out, nullptr, rt::_IOFBF, 2), 0);
  rt::stream_swap_form(out, rt::TextForm{.kind = rt::TextKind::kWide});
  EXPECT_EQ(rt::fwrite("\xe6\x97", 1, 2, out) + rt::fwrite("\xa5", 1, 1, out) + rt::fclose(out), 3u);
  EXPECT_EQ(support::ScratchDir::read(in_dir("out")).substr(0, 2), "\xe6\x97");  // then its last byte, or '?'
}

// A log is UTF-8 from its first byte above 0x7F when every sequence there is well formed (the last may be unfinished).
TEST(Encodings, Utf8LogsAndCharacterBoundaries) {
  // The bytes, whether they are UTF-8, and how many of them end with the last whole character.
  const struct { std::string bytes; bool utf8; std::size_t complete; } rows[] = {
      {"abc", true, 3}, {"caf\xc3\xa9", true, 5}, {"\xf0\x9f\x98\x80", true, 4},       // U+1F600
      {"caf\xc3", true, 3}, {"\xe2\x82", true, 0}, {"\xf0\x9f\x98", true, 0},          // cut short
      {"\xf4\x8f\xbf\xbf", true, 4}, {"\xf4\x90\x80\x80", false, 4},                   // U+10FFFF, and beyond it
      {"\xc0\xaf", false, 2}, {"\xe0\x80\x80", false, 3}, {"\xed\xa0\x80", false, 3},  // overlong, a surrogate
      {"\x82 cp437", false, 7}, {"\xe9t\xe9", false, 2},                               // é of pages 437, 1252
      {"\xc3\xa9\x80", false, 3},                                                      // a continuation byte alone
  };
  for (const auto& row : rows) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(row.bytes.data());
    EXPECT_EQ(rt::is_utf8(bytes, row.bytes.size()), row.utf8) << row.bytes;
    EXPECT_EQ(rt::utf8_complete(bytes, row.bytes.size()), row.complete) << row.bytes;
  }
  // UTF-16 decoded from no bytes gives nothing: an odd byte carried waits for the next one.
  rt::WideDecoder decoder{.big_endian = false, .carried = 0, .carry = {}};
  unsigned char out[8];
  EXPECT_EQ(rt::decode_wide(decoder, reinterpret_cast<const unsigned char*>("a\0bc"), 3, out), 1u);
  EXPECT_EQ(rt::decode_wide(decoder, reinterpret_cast<const unsigned char*>("c"), 0, out), 0u);
}

// Lowest free numbers; when the table cannot grow, an open fails (its handle closed), and the next one grows it.
TEST_F(Streams, TheDescriptorTableGrowsWhileThereIsMemory) {
  const std::string path = dir.write("f", "0123456789");
  w32::hook::fail_nth(Call::HeapReAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  int next = 3;
  for (int fd; (fd = rt::open(path.c_str(), rt::O_RDONLY, 0)) >= 0; ++next) ASSERT_EQ(fd, next);
  EXPECT_EQ(rt::errno, ERROR_TOO_MANY_OPEN_FILES);
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 1u);
  for (const int last = next + 100; next < last; ++next) ASSERT_EQ(rt::open(path.c_str(), rt::O_RDONLY, 0), next);
  ASSERT_EQ(rt::close(5), 0);
  EXPECT_EQ(rt::dup(next - 1), 5);
  char byte = 0;
  EXPECT_EQ(rt::read(5, &byte, 1), 1);
  EXPECT_EQ(byte, '0');
}
// File times as fstat gives them: UTC seconds in two-second steps, leap days counted; 1980 for what DOS cannot hold.
TEST(FileTimes, SecondsSince1970) {
  for (const std::int64_t given : {315532800LL, 1709210097LL, 1677628800LL, 4102444798LL, 315532799LL}) {
    const auto ticks = static_cast<std::uint64_t>(given + 11644473600LL) * 10000000u;
    EXPECT_EQ(rt::file_time_seconds(FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}),
              given < 315532800 ? 315532800u : static_cast<std::uint32_t>(given & ~1LL)) << given;
  }
}
}  // namespace
