// The end of the input from a file (the backward scan, or a seek for bytes)
// and from a pipe (the line and byte rings), checked against the last lines
// and bytes computed here. The inputs cross the scan's block boundaries and
// make the line ring grow: long lines, zero bytes, no final line feed; and
// a file too large for 32-bit positions.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"

namespace {

// Lines of the given lengths, each ended by a line feed unless `last_ends`
// is false for the last: letters, with a zero byte every `zero_every` bytes
// when that is given.
std::string lines_of(const std::vector<std::size_t>& lengths, bool last_ends = true, std::size_t zero_every = 0) {
  std::string data;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    for (std::size_t j = 0; j < lengths[i]; ++j) {
      data += zero_every != 0 && (i + j) % zero_every == 0 ? '\0' : static_cast<char>('a' + (i + j) % 26);
    }
    if (last_ends || i + 1 < lengths.size()) data += '\n';
  }
  return data;
}

// The inputs by name. Line feeds at the last byte of the first 64 KiB block,
// at the first byte of the second, and at the very end of a file of two
// whole blocks; a file whose last block holds one byte.
std::vector<std::pair<std::string, std::string>> inputs() {
  std::vector<std::size_t> varied;
  for (std::size_t i = 0; i < 3000; ++i) varied.push_back(i * 7919 % 131);
  return {
      {"varied lines, the last without a line feed", lines_of(varied, false)},
      {"line feeds at block boundaries", lines_of({65534, 0, 0}) + lines_of({65534})},
      {"one byte past a block", lines_of({65534, 0}) + "x"},
      {"long lines", lines_of({70000, 5, 0, 200000, 150000, 3})},
      {"zero bytes", lines_of(varied, true, 7)},
      {"one line without a line feed", lines_of({100000}, false)},
      {"empty", ""},
  };
}

// The last `count` lines: from the byte after the (count + 1)th line feed
// from the end, so a final line without a line feed comes in addition.
std::string last_lines(const std::string& data, std::size_t count) {
  std::size_t needed = count + 1;
  for (std::size_t i = data.size(); i > 0; --i) {
    if (data[i - 1] == '\n' && --needed == 0) return data.substr(i);
  }
  return data;
}

class EndOfInput : public support::RuntimeTest {
 protected:
  // tail with these arguments gives `expected`, from the file "in" holding
  // `data` and from a pipe carrying the same bytes.
  void expect_both_ways(const std::string& data, std::vector<std::string> args, const std::string& expected,
                        const std::string& what) {
    support::RunOptions pipe;
    pipe.input = data;
    pipe.input_pipe = true;
    const support::ChildResult from_pipe = support::run_tail(dir.path(), args, pipe);
    EXPECT_EQ(from_pipe.status, 0u) << what << from_pipe.err;
    EXPECT_TRUE(from_pipe.out == expected) << "pipe: " << what;
    args.push_back("in");
    const support::ChildResult from_file = support::run_tail(dir.path(), args);
    EXPECT_EQ(from_file.status, 0u) << what << from_file.err;
    EXPECT_TRUE(from_file.out == expected) << "file: " << what;
  }
};

TEST_F(EndOfInput, LastLinesAndBytesFromAFileAndFromAPipe) {
  for (const auto& [name, data] : inputs()) {
    dir.write("in", data);
    for (const auto& [unit, count] : {std::pair{"-n", 1}, {"-n", 2}, {"-n", 10}, {"-n", 1000}, {"-n", 5000},
                                      {"-c", 1}, {"-c", 70000}, {"-c", 500000}}) {
      const std::size_t n = static_cast<std::size_t>(count);
      const std::string expected = unit == std::string("-n") ? support::as_text(last_lines(data, n))
                                                             : data.substr(n >= data.size() ? 0 : data.size() - n);
      expect_both_ways(data, {unit, std::to_string(count)}, expected, name + ", " + unit + " " + std::to_string(count));
    }
  }
}

TEST_F(EndOfInput, TheEndOfAFileOfFiveGigabytes) {
  const std::string path = dir.write("big", "");
  std::filesystem::resize_file(path, (std::uintmax_t{5} << 30) + 3);  // not a multiple of any block
  std::ofstream(path, std::ios::binary | std::ios::app) << "\nsecond to last\nlast\n";
  const support::ChildResult lines = support::run_tail(dir.path(), {"-n", "2", "big"});
  EXPECT_EQ(lines.status, 0u) << lines.err;
  EXPECT_EQ(lines.out, support::as_text("second to last\nlast\n"));
  const support::ChildResult bytes = support::run_tail(dir.path(), {"-c", "5", "big"});
  EXPECT_EQ(bytes.status, 0u) << bytes.err;
  EXPECT_EQ(bytes.out, "last\n");
}

}  // namespace
