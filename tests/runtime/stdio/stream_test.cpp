// Buffered streams as their callers see them: output by bytes and by runs
// under each buffering, aligned refills and seeks inside the buffer,
// consoles, open modes, and devices that take less than offered. Text-mode
// reading at every buffer and read size is the stream fuzz target's.
#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/stdio/stream.h"
#include "runtime/win32/open.h"

namespace {

using w32::hook::Call;
using w32::hook::Replace;
using w32::hook::replacements;

// A device that takes at most g_most bytes per call, a console that takes
// the bytes before the first 0x1A and stops there (giving up after far more
// calls than any case needs, so that a stream offering the same 0x1A again
// and again fails instead of hanging), and a console over any handle.
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

BOOL always_a_console(HANDLE, LPDWORD mode) {
  *mode = 0;
  return TRUE;
}

class Streams : public support::RuntimeTest {
 protected:
  // A scratch file opened with a buffer of `size` bytes (0: unbuffered).
  rt::Stream* open(const std::string& name, const char* mode, std::size_t size, int buffering = rt::_IOFBF) {
    rt::Stream* stream = rt::fopen(in_dir(name).c_str(), mode);
    EXPECT_NE(stream, nullptr);
    EXPECT_EQ(rt::setvbuf(stream, nullptr, size ? buffering : rt::_IONBF, size), 0);
    return stream;
  }
  std::string file(const std::string& name) const { return support::ScratchDir::read(in_dir(name)); }

  // Up to `count` bytes (all: SIZE_MAX), read with getc.
  static std::string take(rt::Stream* stream, std::size_t count) {
    std::string bytes;
    for (int c; bytes.size() < count && (c = rt::getc(stream)) != rt::EOF;) bytes += static_cast<char>(c);
    return bytes;
  }
  // Writes with one fwrite, or with putc byte by byte.
  static void put(rt::Stream* stream, const std::string& bytes, bool runs) {
    if (!runs) for (const char c : bytes) rt::putc(static_cast<unsigned char>(c), stream);
    EXPECT_EQ(runs ? rt::fwrite(bytes.data(), 1, bytes.size(), stream) : bytes.size(), bytes.size());
  }
};

TEST_F(Streams, OutputByBytesAndByRunsUnderEachBuffering) {
  // `after` is what the file holds after each piece (`by_runs` when one
  // fwrite gives it and that differs), `closed` after fclose.
  const struct {
    const char* mode;
    int buffering;
    std::size_t size;
    std::vector<std::string> pieces;
    std::vector<std::string> after;
    std::vector<std::string> by_runs;
    std::string closed;
  } cases[] = {
      // Line buffering hands everything up to the last line feed to the
      // system, however long the run; an fwrite that holds a line feed
      // hands over the bytes after it too.
      {"wb", rt::_IOLBF, 1024, {"ab\ncd", "ef", "\n"}, {"ab\n", "ab\n", "ab\ncdef\n"}, {"ab\ncd", "ab\ncd"},
       "ab\ncdef\n"},
      {"wt", rt::_IOLBF, 1024, {"ab\ncd", "\n"}, {"ab\r\n", "ab\r\ncd\r\n"}, {"ab\r\ncd"}, "ab\r\ncd\r\n"},
      {"wb", rt::_IOLBF, 4, {"0123456789\nx", "yz\n"}, {"0123456789\n", "0123456789\nxyz\n"}, {"0123456789\nx"},
       "0123456789\nxyz\n"},
      {"wt", rt::_IOLBF, 4, {"a\nb\nc"}, {"a\r\nb\r\n"}, {"a\r\nb\r\nc"}, "a\r\nb\r\nc"},
      // Full buffering writes whole buffers; no buffer writes at once.
      {"wb", rt::_IOFBF, 4, {"0123456789"}, {"01234567"}, {}, "0123456789"},
      {"wt", rt::_IOFBF, 1024, {"x\ny"}, {""}, {}, "x\r\ny"},
      {"wt", rt::_IOFBF, 1, {"x\ny\n"}, {"x\r\ny\r"}, {}, "x\r\ny\r\n"},
      {"wb", rt::_IONBF, 0, {"x\ny"}, {"x\ny"}, {}, "x\ny"},
      {"wt", rt::_IONBF, 0, {"x\ny"}, {"x\r\ny"}, {}, "x\r\ny"},
  };
  for (const auto& c : cases) {
    for (const bool runs : {false, true}) {
      rt::Stream* stream = open("out", c.mode, c.size, c.buffering);
      for (std::size_t i = 0; i < c.pieces.size(); ++i) {
        put(stream, c.pieces[i], runs);
        const std::string& after = runs && i < c.by_runs.size() ? c.by_runs[i] : c.after[i];
        EXPECT_EQ(file("out"), after) << c.mode << " " << c.buffering << " " << c.size << " #" << i << runs;
      }
      EXPECT_EQ(rt::fclose(stream), 0);
      EXPECT_EQ(file("out"), c.closed) << c.mode << " " << c.buffering << " " << c.size << runs;
    }
  }
}

TEST_F(Streams, RefillsAreAlignedAndSeeksReuseWhatWasReadFromTheFile) {
  std::string data;
  std::string changed;
  for (int i = 0; i < 3000; ++i) {
    data += static_cast<char>('a' + i % 26);
    changed += static_cast<char>('A' + i % 26);
  }
  // A stream over a descriptor positioned at 1500, with a buffer of 1024.
  const auto open_at_1500 = [&] {
    const int fd = rt::open(in_dir("f").c_str(), rt::O_RDONLY, 0);
    EXPECT_EQ(rt::lseek(fd, 1500, rt::SEEK_SET), 1500);
    rt::Stream* stream = rt::fdopen(fd, "rb");
    EXPECT_EQ(rt::setvbuf(stream, nullptr, rt::_IOFBF, 1024), 0);
    return stream;
  };
  // What one refill read: the byte getc took and the run left in the buffer.
  const auto refill = [](rt::Stream* stream) {
    std::string bytes(1, static_cast<char>(rt::getc(stream)));
    const unsigned char* run;
    const std::size_t n = rt::stream_take(stream, SIZE_MAX, -1, &run);
    return bytes + std::string(run, run + n);
  };
  EXPECT_EQ(rt::ftell(rt::fopen(dir.write("f", data).c_str(), "rb")), 0);  // opened, nothing read yet
  rt::Stream* stream = open_at_1500();
  EXPECT_EQ(refill(stream), data.substr(1500, 548));  // up to offset 2048
  EXPECT_EQ(rt::ftell(stream), 2048);
  EXPECT_EQ(refill(stream), data.substr(2048));       // the buffer was full: an aligned block from its base
  // The file changes under the stream: what the buffer holds is not read again.
  dir.write("f", changed);
  EXPECT_EQ(rt::fseek(stream, 0, rt::SEEK_CUR), 0);
  EXPECT_EQ(rt::fseek(stream, 2049, rt::SEEK_SET), 0);
  EXPECT_EQ(rt::getc(stream), data[2049]);
  EXPECT_EQ(rt::fseek(stream, -2, rt::SEEK_CUR), 0);
  EXPECT_EQ(rt::getc(stream), data[2048]);
  EXPECT_EQ(rt::fseek(stream, -2, rt::SEEK_CUR), 0);  // 2047 is no longer in the buffer
  EXPECT_EQ(rt::getc(stream), changed[2047]);
  EXPECT_EQ(rt::fseek(stream, -1, rt::SEEK_END), 0);
  EXPECT_EQ(rt::getc(stream), changed[2999]);
  EXPECT_EQ(rt::getc(stream), rt::EOF);
  rt::rewind(stream);
  EXPECT_FALSE(rt::feof(stream));
  EXPECT_EQ(rt::getc(stream), changed[0]);
  EXPECT_EQ(rt::fflush(stream), 0);  // gives back the read-ahead: what follows is read again
  dir.write("f", data);
  EXPECT_EQ(take(stream, 3), data.substr(1, 3));

  // Only what was read from the file can be sought back to in the buffer.
  stream = open_at_1500();
  EXPECT_EQ(rt::getc(stream), data[1500]);
  dir.write("f", changed);
  EXPECT_EQ(rt::fseek(stream, -1, rt::SEEK_CUR), 0);
  EXPECT_EQ(rt::getc(stream), data[1500]);
  EXPECT_EQ(rt::fseek(stream, -2, rt::SEEK_CUR), 0);  // offset 1499 was never read
  EXPECT_EQ(refill(stream), changed.substr(1499, 1024));  // after a real seek the buffer starts at its base

  const support::Pipe pipe = support::make_pipe();
  EXPECT_EQ(rt::fseek(rt::fdopen(pipe.read_fd, "rb"), 0, rt::SEEK_SET), -1);
  EXPECT_EQ(rt::errno, rt::ERR_ILLEGAL_SEEK);
  rt::close(pipe.write_fd);
}

TEST_F(Streams, BufferingIsDecidedOnce) {
  // On first use a file gets full buffering of 1024 bytes, for good.
  rt::Stream* stream = rt::fopen(in_dir("file").c_str(), "wb");
  const std::string bytes = std::string(1000, 'x') + "\n" + std::string(100, 'y');
  put(stream, bytes, false);
  EXPECT_EQ(file("file"), bytes.substr(0, 1024));
  EXPECT_EQ(rt::setvbuf(stream, nullptr, rt::_IONBF, 0), -1);
  // A console gets line buffering, and its seeks always go to the system
  // (the file changes under the stream).
  {
    const Replace console(replacements.GetConsoleMode, &always_a_console);
    stream = rt::fopen(dir.write("console", "0123456789").c_str(), "r+b");
    EXPECT_EQ(take(stream, 5), "01234");
  }
  dir.write("console", "abcdefghij");
  EXPECT_EQ(rt::fseek(stream, -3, rt::SEEK_CUR), 0);
  EXPECT_EQ(rt::getc(stream), 'c');
  put(stream, "X\nY", false);
  EXPECT_EQ(file("console"), "abcX\nfghij");
  // So does a descriptor that is not open: its line feed fails at once.
  stream = rt::fdopen(9, "wb");
  rt::putc('x', stream);
  EXPECT_FALSE(rt::ferror(stream));
  rt::putc('\n', stream);
  EXPECT_TRUE(rt::ferror(stream));
}

TEST_F(Streams, OpenModes) {
  // Text unless "b" says otherwise where text files end lines with CR LF.
  for (const char* mode : {"r", "rt", "rb"}) {
    rt::Stream* stream = rt::fopen(dir.write("f", "a\r\n").c_str(), mode);
    const bool text = mode[1] == 't' || (mode[1] == '\0' && w32::kTextModeByDefault);
    EXPECT_EQ(take(stream, SIZE_MAX), text ? "a\n" : "a\r\n") << mode;
    rt::fclose(stream);
  }
  rt::Stream* created = rt::fopen(in_dir("new").c_str(), "wb");  // a new file, by its full path
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(rt::fclose(created), 0);
}

TEST_F(Streams, DevicesThatTakeLessThanOffered) {
  std::string long_run;
  for (int i = 0; i < 3000; ++i) long_run += (i % 7 == 3) ? '\x1a' : static_cast<char>('a' + i % 26);
  std::string long_run_shown = long_run;
  std::erase(long_run_shown, '\x1a');
  // A short write ends the write-out and discards the rest: later output
  // follows what was written. A console that stops at 0x1A is given the
  // bytes after it.
  const struct {
    DWORD most;  // 0: a console that stops at 0x1A, else a short write of at most this
    std::string bytes;
    const char* mode;
    std::size_t buffer;  // 0: unbuffered
    std::string shown;
  } cases[] = {
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
    // By runs and by bytes; bytes after a failed write-out go on into the
    // buffer where a run stops, so short writes take runs only.
    for (const bool runs : {true, false}) {
      if (!runs && c.most != 0) continue;
      rt::Stream* stream = open("out", c.mode, c.buffer);
      {
        g_most = c.most;
        const Replace device(replacements.WriteFile, c.most ? &write_at_most : &write_up_to_ctrl_z);
        if (runs) rt::fwrite(c.bytes.data(), 1, c.bytes.size(), stream);
        if (!runs) put(stream, c.bytes, false);
        EXPECT_EQ(rt::fflush(stream), c.most == 0 ? 0 : -1) << c.bytes.size() << " bytes, " << c.most << runs;
      }
      rt::clearerr(stream);
      rt::fputs("+", stream);
      EXPECT_EQ(rt::fclose(stream), 0);
      EXPECT_EQ(file("out"), c.shown + "+") << c.bytes.size() << " bytes, " << c.most << " " << c.buffer << runs;
    }
  }
}

}  // namespace
