// Buffered streams: text-mode translation at every buffer boundary, line
// buffering, alignment of the buffer with the file, seeking inside the
// buffer, the line reader, the table limit, closing, and string streams.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"
#include "runtime/stdio/stream.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/open.h"

namespace {

using w32::hook::Call;

class Streams : public support::RuntimeTest {
 protected:
  // Every byte getc gives until EOF.
  static std::string read_all(rt::Stream* stream) {
    std::string bytes;
    for (int c; (c = rt::getc(stream)) != rt::EOF;) bytes += static_cast<char>(c);
    return bytes;
  }

  static void put_all(const std::string& bytes, rt::Stream* stream) {
    for (const char c : bytes) rt::putc(static_cast<unsigned char>(c), stream);
  }
};

TEST_F(Streams, TextModeInputAtEveryBufferSize) {
  const struct {
    std::string file;
    std::string text;
  } cases[] = {
      {std::string("a\r\nb\rc\x1a" "d\r", 9), "a\nb\rcd\r"},
      {"abc\r\ndef", "abc\ndef"},
      {"\r\r\n\r", "\r\n\r"},
      {"\x1a\x1a\r\x1a\n", "\n"},  // 0x1A is dropped even between CR and LF
      {"", ""},
  };
  for (const auto& c : cases) {
    const std::string file = dir.write("in", c.file);
    for (const std::size_t size : {0, 1, 2, 3, 4, 5, 1024}) {
      rt::Stream* stream = rt::fopen(file.c_str(), "rt");
      ASSERT_NE(stream, nullptr);
      if (size == 0) {
        ASSERT_EQ(rt::setvbuf(stream, nullptr, rt::_IONBF, 0), 0);
      } else {
        ASSERT_EQ(rt::setvbuf(stream, nullptr, rt::_IOFBF, size), 0);
      }
      EXPECT_EQ(read_all(stream), c.text) << "buffer " << size;
      EXPECT_TRUE(stream->flags & rt::STREAM_EOF);
      rt::fclose(stream);

      // fread gives the same bytes, whatever the size of its pieces.
      for (const std::size_t piece : {1, 3, 64}) {
        stream = rt::fopen(file.c_str(), "rt");
        if (size != 0) rt::setvbuf(stream, nullptr, rt::_IOFBF, size);
        std::string text;
        char bytes[64];
        while (const std::size_t n = rt::fread(bytes, 1, piece, stream)) text.append(bytes, n);
        EXPECT_EQ(text, c.text) << "buffer " << size << ", pieces of " << piece;
        EXPECT_TRUE(rt::feof(stream));
        rt::fclose(stream);
      }
    }
    // Binary mode reads the bytes as they are.
    rt::Stream* binary = rt::fopen(file.c_str(), "rb");
    EXPECT_EQ(read_all(binary), c.file);
    rt::fclose(binary);
  }
}

TEST_F(Streams, TextAndBinaryOutput) {
  for (const auto& [mode, size, expected] : std::vector<std::tuple<const char*, std::size_t, std::string>>{
           {"wt", 1024, "x\r\ny\r\n"}, {"wt", 0, "x\r\ny\r\n"}, {"wt", 1, "x\r\ny\r\n"}, {"wb", 1024, "x\ny\n"},
           {"wb", 0, "x\ny\n"}}) {
    rt::Stream* stream = rt::fopen(in_dir("out").c_str(), mode);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(rt::setvbuf(stream, nullptr, size ? rt::_IOFBF : rt::_IONBF, size), 0);
    put_all("x\ny\n", stream);
    EXPECT_EQ(rt::fclose(stream), 0);
    EXPECT_EQ(support::ScratchDir::read(in_dir("out")), expected) << mode << " " << size;
  }
}

TEST_F(Streams, LineBufferedOutputWaitsForALineFeedAFlushOrAnyRead) {
  const std::string out = in_dir("out");
  rt::Stream* stream = rt::fopen(out.c_str(), "wb");
  ASSERT_EQ(rt::setvbuf(stream, nullptr, rt::_IOLBF, 1024), 0);
  put_all("abc", stream);
  EXPECT_EQ(support::ScratchDir::read(out), "");
  EXPECT_NE(rt::line_flush_pending, 0u);
  rt::putc('\n', stream);
  EXPECT_EQ(support::ScratchDir::read(out), "abc\n");
  EXPECT_EQ(rt::line_flush_pending, 0u);

  put_all("xyz", stream);
  EXPECT_EQ(rt::fflush(stream), 0);
  EXPECT_EQ(support::ScratchDir::read(out), "abc\nxyz");

  // A read on any other stream writes pending lines out first.
  put_all("123", stream);
  rt::Stream* input = rt::fopen(dir.write("in", "i").c_str(), "rb");
  EXPECT_EQ(rt::getc(input), 'i');
  EXPECT_EQ(support::ScratchDir::read(out), "abc\nxyz123");
}

TEST_F(Streams, FwriteHandsCompleteLinesToTheSystem) {
  // Each piece is one fwrite; `after` is what the file holds after it, and
  // `closed` what it holds after fclose.
  const struct {
    const char* mode;
    int buffering;
    std::size_t size;
    std::vector<std::string> pieces;
    std::vector<std::string> after;
    std::string closed;
  } cases[] = {
      {"wb", rt::_IOLBF, 1024, {"ab\ncd", "ef", "\n"}, {"ab\n", "ab\n", "ab\ncdef\n"}, "ab\ncdef\n"},
      {"wt", rt::_IOLBF, 1024, {"ab\ncd", "\n"}, {"ab\r\n", "ab\r\ncd\r\n"}, "ab\r\ncd\r\n"},
      // Runs longer than the buffer: up to the last line feed all the same.
      {"wb", rt::_IOLBF, 4, {"0123456789\nx", "yz\n"}, {"0123456789\n", "0123456789\nxyz\n"}, "0123456789\nxyz\n"},
      {"wt", rt::_IOLBF, 4, {"a\nb\nc"}, {"a\r\nb\r\n"}, "a\r\nb\r\nc"},
      // Full buffering writes whole buffers; no buffer writes at once.
      {"wb", rt::_IOFBF, 4, {"0123456789"}, {"01234567"}, "0123456789"},
      {"wt", rt::_IOFBF, 1024, {"x\ny"}, {""}, "x\r\ny"},
      {"wb", rt::_IONBF, 0, {"x\ny"}, {"x\ny"}, "x\ny"},
      {"wt", rt::_IONBF, 0, {"x\ny"}, {"x\r\ny"}, "x\r\ny"},
  };
  for (const auto& c : cases) {
    const std::string out = in_dir("out");
    rt::Stream* stream = rt::fopen(out.c_str(), c.mode);
    ASSERT_EQ(rt::setvbuf(stream, nullptr, c.buffering, c.size), 0);
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
      EXPECT_EQ(rt::fwrite(c.pieces[i].data(), 1, c.pieces[i].size(), stream), c.pieces[i].size());
      EXPECT_EQ(support::ScratchDir::read(out), c.after[i]) << c.mode << " " << c.buffering << " " << c.size << " #" << i;
    }
    EXPECT_EQ(rt::fclose(stream), 0);
    EXPECT_EQ(support::ScratchDir::read(out), c.closed) << c.mode << " " << c.buffering << " " << c.size;
  }
}

TEST_F(Streams, RunsReportFailuresAndTheEndInWholeItems) {
  // A write-out that fails: the items known to be written are counted.
  rt::Stream* stream = rt::fopen(in_dir("out").c_str(), "wb");
  rt::setvbuf(stream, nullptr, rt::_IOFBF, 4);
  w32::hook::fail_nth(Call::WriteFile, 2, ERROR_DISK_FULL);
  EXPECT_EQ(rt::fwrite("aaaabbbbcccc", 4, 3, stream), 1u);
  EXPECT_TRUE(rt::ferror(stream));
  rt::fclose(stream);
  EXPECT_EQ(support::ScratchDir::read(in_dir("out")), "aaaa");

  stream = rt::fopen(in_dir("out").c_str(), "wb");
  rt::setvbuf(stream, nullptr, rt::_IOLBF, 64);
  w32::hook::fail_nth(Call::WriteFile, 1, ERROR_DISK_FULL);
  EXPECT_EQ(rt::fwrite("line\n", 1, 5, stream), 0u);
  EXPECT_TRUE(rt::ferror(stream));
  rt::fclose(stream);

  // A string stream takes what fits.
  char area[4] = {'-', '-', '-', '-'};
  rt::Stream record;
  EXPECT_EQ(rt::fwrite("xyzw", 1, 4, rt::stream_open_string(area, 3, "w", &record)), 3u);
  EXPECT_EQ(std::string(area, 4), "xyz-");

  // Reading: whole items up to the end, then nothing; a read error.
  stream = rt::fopen(dir.write("in", "0123456789").c_str(), "rb");
  char items[12] = {};
  EXPECT_EQ(rt::fread(items, 4, 3, stream), 2u);
  EXPECT_TRUE(rt::feof(stream));
  EXPECT_EQ(std::string(items, 8), "01234567");
  EXPECT_EQ(rt::fread(items, 1, 1, stream), 0u);
  rt::fclose(stream);
  stream = rt::fopen(in_dir("in").c_str(), "rb");
  w32::hook::fail_nth(Call::ReadFile, 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(rt::fread(items, 1, 4, stream), 0u);
  EXPECT_TRUE(rt::ferror(stream));
  EXPECT_FALSE(rt::feof(stream));
  rt::clearerr(stream);
  EXPECT_EQ(rt::fread(items, 1, 4, stream), 4u);  // tried again
}

TEST_F(Streams, RunsKeepThePositionWhenTheDirectionChanges) {
  const std::string file = dir.write("f", "0123456789");
  rt::Stream* stream = rt::fopen(file.c_str(), "r+b");
  char bytes[4] = {};
  EXPECT_EQ(rt::fread(bytes, 1, 2, stream), 2u);
  EXPECT_EQ(rt::ftell(stream), 2);
  EXPECT_EQ(rt::fwrite("XY", 1, 2, stream), 2u);  // gives back the read-ahead: written at offset 2
  EXPECT_EQ(rt::ftell(stream), 4);
  EXPECT_EQ(rt::fread(bytes, 1, 2, stream), 2u);  // writes out, then reads on
  EXPECT_EQ(std::string(bytes, 2), "45");
  EXPECT_EQ(rt::ftell(stream), 6);
  EXPECT_EQ(rt::fseek(stream, -5, rt::SEEK_CUR), 0);
  EXPECT_EQ(rt::ftell(stream), 1);
  EXPECT_EQ(rt::fread(bytes, 1, 3, stream), 3u);
  EXPECT_EQ(std::string(bytes, 3), "1XY");
  EXPECT_EQ(rt::fclose(stream), 0);
  EXPECT_EQ(support::ScratchDir::read(file), "01XY456789");

  // The descriptor moved by the caller before the stream read anything (as
  // the backward scan does): fseek asks where it is.
  stream = rt::fopen(file.c_str(), "rb");
  rt::setvbuf(stream, nullptr, rt::_IOFBF, 1024);
  rt::lseek(rt::fileno(stream), 7, rt::SEEK_SET);
  EXPECT_EQ(rt::read(rt::fileno(stream), bytes, 2), 2);
  EXPECT_EQ(rt::fseek(stream, 0, rt::SEEK_SET), 0);
  EXPECT_EQ(rt::ftell(stream), 0);
  EXPECT_EQ(rt::getc(stream), '0');
  EXPECT_EQ(rt::ftell(stream), 1);
}

TEST_F(Streams, TakingRuns) {
  rt::Stream* stream = rt::fopen(dir.write("f", "ab\ncd\r\nef").c_str(), "rt");
  rt::setvbuf(stream, nullptr, rt::_IOFBF, 1024);
  std::string text;
  const unsigned char* run;
  while (const std::size_t n = rt::stream_take(stream, 4, '\n', &run)) {
    const std::string taken(run, run + n);
    // At most 4 bytes, and a line feed only at the end of a run.
    EXPECT_LE(n, 4u);
    EXPECT_EQ(taken.find('\n'), taken.back() == '\n' ? n - 1 : std::string::npos) << taken;
    text += taken;
  }
  EXPECT_EQ(text, "ab\ncd\nef");
  EXPECT_TRUE(rt::feof(stream));
  EXPECT_EQ(rt::stream_take(stream, 0, -1, &run), 0u);
}

TEST_F(Streams, LineBufferedOutputIsWrittenAtExitButNotAtASignal) {
  const std::string child = support::sibling_program("child");
  const support::ChildResult exited = support::run(child, {"held", "no line feed"});
  EXPECT_EQ(exited.status, 7u);
  EXPECT_EQ(exited.out, "no line feed");
  const support::ChildResult signalled = support::run(child, {"held-raise", "no line feed"});
  EXPECT_EQ(signalled.status, 269u);
  EXPECT_EQ(signalled.out, "");
}

TEST_F(Streams, BufferIsAlignedWithTheFile) {
  std::string data;
  for (int i = 0; i < 3000; ++i) data += static_cast<char>('a' + i % 26);
  const std::string file = dir.write("f", data);
  // A stream over a descriptor positioned at 1500, with a buffer of 1024.
  const auto open_at_1500 = [&] {
    const int fd = rt::open(file.c_str(), rt::O_RDONLY, 0);
    EXPECT_EQ(rt::lseek(fd, 1500, rt::SEEK_SET), 1500);
    rt::Stream* stream = rt::fdopen(fd, "rb");
    EXPECT_EQ(rt::setvbuf(stream, nullptr, rt::_IOFBF, 1024), 0);
    return stream;
  };

  // What one refill read: the byte getc took and the run left in the buffer.
  const auto refill_from = [](rt::Stream* stream) {
    std::string bytes(1, static_cast<char>(rt::getc(stream)));
    const unsigned char* run;
    const std::size_t n = rt::stream_take(stream, SIZE_MAX, -1, &run);
    return bytes + std::string(run, run + n);
  };

  rt::Stream* stream = open_at_1500();
  EXPECT_EQ(refill_from(stream), data.substr(1500, 548));  // up to offset 2048
  EXPECT_EQ(refill_from(stream), data.substr(2048));       // the buffer was full: an aligned block from its base
  EXPECT_EQ(rt::fseek(stream, 2049, rt::SEEK_SET), 0);
  unsigned seeks = w32::hook::calls(Call::SetFilePointer);
  EXPECT_EQ(rt::fseek(stream, -1, rt::SEEK_CUR), 0);  // to the first byte of the block: in the buffer
  EXPECT_EQ(w32::hook::calls(Call::SetFilePointer), seeks);
  EXPECT_EQ(rt::getc(stream), data[2048]);
  EXPECT_EQ(rt::fseek(stream, -2, rt::SEEK_CUR), 0);  // 2047 is no longer in the buffer
  EXPECT_EQ(w32::hook::calls(Call::SetFilePointer), seeks + 1);
  EXPECT_EQ(rt::getc(stream), data[2047]);

  // Only what was read from the file can be sought back to in the buffer.
  stream = open_at_1500();
  EXPECT_EQ(rt::getc(stream), data[1500]);
  seeks = w32::hook::calls(Call::SetFilePointer);
  EXPECT_EQ(rt::fseek(stream, -1, rt::SEEK_CUR), 0);
  EXPECT_EQ(w32::hook::calls(Call::SetFilePointer), seeks);
  EXPECT_EQ(rt::fseek(stream, -1, rt::SEEK_CUR), 0);  // offset 1499 lies before the first byte read
  EXPECT_EQ(w32::hook::calls(Call::SetFilePointer), seeks + 1);
  EXPECT_EQ(refill_from(stream), data.substr(1499, 1024));  // after a real seek the buffer starts at its base
}

TEST_F(Streams, SetvbufDecidesOnce) {
  rt::Stream* stream = rt::fopen(dir.write("f", "x").c_str(), "rb");
  EXPECT_EQ(rt::setvbuf(stream, nullptr, 7, 1024), -1);
  EXPECT_EQ(rt::setvbuf(stream, nullptr, rt::_IOFBF, 0), -1);
  w32::hook::fail_nth(Call::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::setvbuf(stream, nullptr, rt::_IOFBF, 64), -1);
  EXPECT_EQ(rt::setvbuf(stream, nullptr, rt::_IOFBF, 64), 0);
  EXPECT_EQ(rt::setvbuf(stream, nullptr, rt::_IOLBF, 64), -1);
  EXPECT_EQ(stream->end - stream->base, 64);

  // The first read decides the default: full buffering of 1024 bytes for a file.
  rt::Stream* other = rt::fopen(dir.write("g", "y").c_str(), "rb");
  EXPECT_EQ(rt::getc(other), 'y');
  EXPECT_EQ(other->flags & (rt::STREAM_BUFSET | rt::STREAM_LINEBUF | rt::STREAM_OWNBUF),
            rt::STREAM_BUFSET | rt::STREAM_OWNBUF);
  EXPECT_EQ(other->end - other->base, rt::STREAM_BUFSIZE);
  EXPECT_EQ(rt::setvbuf(other, nullptr, rt::_IONBF, 0), -1);
  EXPECT_EQ(rt::stream_exit_hook, &rt::stream_close_all);
}

TEST_F(Streams, ADescriptorThatIsNotOpenCountsAsAConsole) {
  rt::Stream* stream = rt::fdopen(9, "wb");
  ASSERT_NE(stream, nullptr);
  rt::putc('x', stream);
  EXPECT_TRUE(stream->flags & rt::STREAM_CONSOLE);
  EXPECT_TRUE(stream->flags & rt::STREAM_LINEBUF);
  EXPECT_EQ(rt::fflush(stream), -1);  // nothing can be written to it
  stream->flags = 0;                  // no descriptor to close
}

TEST_F(Streams, SeekingBackInsideTheBufferMakesNoSystemCall) {
  std::string data;
  for (int i = 0; i < 4000; ++i) data += static_cast<char>('0' + i % 10);
  rt::Stream* stream = rt::fopen(dir.write("f", data).c_str(), "rb");
  for (int i = 0; i < 100; ++i) rt::getc(stream);
  const unsigned seeks = w32::hook::calls(Call::SetFilePointer);
  const unsigned reads = w32::hook::calls(Call::ReadFile);
  EXPECT_EQ(rt::fseek(stream, -10, rt::SEEK_CUR), 0);
  EXPECT_EQ(w32::hook::calls(Call::SetFilePointer), seeks);
  EXPECT_EQ(rt::getc(stream), data[90]);
  EXPECT_EQ(w32::hook::calls(Call::ReadFile), reads);
  EXPECT_EQ(rt::ftell(stream), 91);

  // Beyond the buffer the seek is real.
  EXPECT_EQ(rt::fseek(stream, 3000, rt::SEEK_SET), 0);
  EXPECT_EQ(rt::getc(stream), data[3000]);
  EXPECT_EQ(rt::fseek(stream, -1, rt::SEEK_END), 0);
  EXPECT_EQ(rt::getc(stream), data[3999]);
  EXPECT_EQ(rt::getc(stream), rt::EOF);
  rt::rewind(stream);
  EXPECT_FALSE(stream->flags & rt::STREAM_EOF);
  EXPECT_EQ(rt::getc(stream), data[0]);

  // A console stream always seeks for real.
  for (int i = 0; i < 20; ++i) rt::getc(stream);
  stream->flags |= rt::STREAM_CONSOLE;
  const unsigned before = w32::hook::calls(Call::SetFilePointer);
  EXPECT_EQ(rt::fseek(stream, -10, rt::SEEK_CUR), 0);
  EXPECT_EQ(w32::hook::calls(Call::SetFilePointer), before + 1);
  EXPECT_EQ(rt::getc(stream), data[11]);
}

TEST_F(Streams, SeekingAPipeFails) {
  const support::Pipe pipe = support::make_pipe();
  rt::Stream* stream = rt::fdopen(pipe.read_fd, "rb");
  EXPECT_EQ(rt::fseek(stream, 0, rt::SEEK_SET), -1);
  EXPECT_EQ(rt::errno, rt::ERR_ILLEGAL_SEEK);
  rt::close(pipe.write_fd);
}

TEST_F(Streams, ChangingDirectionKeepsThePosition) {
  const std::string file = dir.write("f", "0123456789");
  rt::Stream* stream = rt::fopen(file.c_str(), "r+b");
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(rt::getc(stream), '0');
  EXPECT_EQ(rt::getc(stream), '1');
  rt::putc('X', stream);  // gives back the read-ahead, then writes at offset 2
  EXPECT_EQ(rt::getc(stream), '3');  // writes out, then reads on
  EXPECT_EQ(rt::fclose(stream), 0);
  EXPECT_EQ(support::ScratchDir::read(file), "01X3456789");
}

TEST_F(Streams, LineReaderResultCodes) {
  const struct {
    std::string input;
    int length;
    std::vector<std::pair<int, std::string>> results;
  } cases[] = {
      {"", 10, {{rt::LINE_EOF, "untouched"}}},
      {"ab", 10, {{rt::LINE_PARTIAL, "ab"}, {rt::LINE_EOF, "ab"}}},
      {"ab\ncd\n", 10, {{rt::LINE_OK, "ab\n"}, {rt::LINE_OK, "cd\n"}, {rt::LINE_EOF, "cd\n"}}},
      {"abc\n", 4, {{rt::LINE_TRUNCATED, "abc"}, {rt::LINE_OK, "\n"}}},
      {"abc\n", 5, {{rt::LINE_OK, "abc\n"}}},
      {"x\n", 1, {{rt::LINE_TRUNCATED, ""}, {rt::LINE_TRUNCATED, ""}}},
      {std::string("a\0b\n", 4), 10, {{rt::LINE_ZERO, "a"}, {rt::LINE_OK, "b\n"}}},
  };
  for (const auto& c : cases) {
    rt::Stream* stream = rt::fopen(dir.write("f", c.input).c_str(), "rb");
    char buffer[16] = "untouched";
    for (const auto& [code, text] : c.results) {
      EXPECT_EQ(rt::stream_get_line(buffer, c.length, stream), code) << c.input;
      EXPECT_STREQ(buffer, text.c_str()) << c.input;
    }
    rt::fclose(stream);
  }
  // A read error gives code 5 and STREAM_ERR.
  rt::Stream* stream = rt::fopen(dir.write("f", "abc").c_str(), "rb");
  w32::hook::fail_nth(Call::ReadFile, 1, ERROR_ACCESS_DENIED);
  char buffer[8];
  EXPECT_EQ(rt::stream_get_line(buffer, 8, stream), rt::LINE_ERROR);
  EXPECT_TRUE(stream->flags & rt::STREAM_ERR);
}

TEST_F(Streams, TheTableHoldsTwentyStreams) {
  const std::string file = dir.write("f", "x");
  for (int i = 3; i < rt::STREAM_MAX; ++i) ASSERT_EQ(rt::fopen(file.c_str(), "rb"), &rt::stream_table[i]);
  rt::errno = 1234;
  const int descriptors = rt::fd_count;
  EXPECT_EQ(rt::fopen(file.c_str(), "rb"), nullptr);
  EXPECT_EQ(rt::fdopen(0, "rb"), nullptr);
  EXPECT_EQ(rt::errno, 1234);
  EXPECT_EQ(rt::fd_count, descriptors);  // nothing was opened
  rt::fclose(&rt::stream_table[7]);
  EXPECT_EQ(rt::fopen(file.c_str(), "rb"), &rt::stream_table[7]);
}

TEST_F(Streams, OpenModes) {
  EXPECT_EQ(rt::fopen(dir.write("f", "x").c_str(), "x"), nullptr);
  EXPECT_EQ(rt::fopen(in_dir("missing").c_str(), "r"), nullptr);
  EXPECT_EQ(rt::errno, ERROR_FILE_NOT_FOUND);

  rt::Stream* stream = rt::fopen(in_dir("appended").c_str(), "ab");  // created
  put_all("12", stream);
  rt::fclose(stream);
  stream = rt::fopen(in_dir("appended").c_str(), "ab");  // positioned at the end once
  put_all("3", stream);
  EXPECT_EQ(rt::getc(stream), rt::EOF);  // write-only
  EXPECT_TRUE(stream->flags & rt::STREAM_ERR);
  rt::fclose(stream);
  EXPECT_EQ(support::ScratchDir::read(in_dir("appended")), "123");

  stream = rt::fopen(in_dir("appended").c_str(), "wb");  // truncated
  rt::fclose(stream);
  EXPECT_EQ(support::ScratchDir::read(in_dir("appended")), "");

  const unsigned default_text = w32::kTextModeByDefault ? rt::STREAM_TEXT : 0u;
  stream = rt::fopen(in_dir("appended").c_str(), "r");
  EXPECT_EQ(stream->flags & rt::STREAM_TEXT, default_text);
  EXPECT_EQ(rt::stdin->flags & rt::STREAM_TEXT, default_text);
  rt::fclose(stream);
  stream = rt::fopen(in_dir("appended").c_str(), "r+t");
  EXPECT_EQ(stream->flags & rt::STREAM_TEXT, rt::STREAM_TEXT);
}

TEST_F(Streams, ClosingReportsAFailedWriteOut) {
  rt::Stream* stream = rt::fopen(in_dir("out").c_str(), "wb");
  put_all("pending", stream);
  w32::hook::fail_nth(Call::WriteFile, 1, ERROR_DISK_FULL);
  EXPECT_EQ(rt::fclose(stream), -1);
  EXPECT_EQ(stream->flags, 0u);
  EXPECT_EQ(support::ScratchDir::read(in_dir("out")), "");

  stream = rt::fopen(in_dir("out").c_str(), "wb");
  put_all("written", stream);
  w32::hook::fail_nth(Call::CloseHandle, 1, ERROR_INVALID_HANDLE);
  EXPECT_EQ(rt::fclose(stream), -1);
  EXPECT_EQ(support::ScratchDir::read(in_dir("out")), "written");
}

TEST_F(Streams, FlushingEveryStream) {
  rt::Stream* a = rt::fopen(in_dir("a").c_str(), "wb");
  rt::Stream* b = rt::fopen(in_dir("b").c_str(), "wb");
  put_all("aa", a);
  put_all("bb", b);
  EXPECT_EQ(rt::fflush(nullptr), 0);
  EXPECT_EQ(support::ScratchDir::read(in_dir("a")), "aa");
  EXPECT_EQ(support::ScratchDir::read(in_dir("b")), "bb");
}

TEST_F(Streams, StringStreams) {
  char text[] = "abc";
  rt::Stream record;
  rt::Stream* stream = rt::stream_open_string(text, 3, "r", &record);
  EXPECT_EQ(read_all(stream), "abc");
  EXPECT_TRUE(stream->flags & rt::STREAM_EOF);

  char area[4] = {'-', '-', '-', '-'};
  stream = rt::stream_open_string(area, 3, "w", &record);
  EXPECT_EQ(rt::putc('x', stream), 'x');
  EXPECT_EQ(rt::putc('\n', stream), '\n');
  EXPECT_EQ(rt::putc('y', stream), 'y');
  EXPECT_EQ(rt::putc('z', stream), rt::EOF);  // the area is full
  EXPECT_EQ(std::string(area, 4), "x\ny-");

  stream = rt::stream_open_string(area, 3, "wt", &record);
  EXPECT_EQ(rt::fputs("\nab", stream), rt::EOF);
  EXPECT_EQ(std::string(area, 4), "\r\na-");
}

}  // namespace
