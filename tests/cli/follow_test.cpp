// Follow mode with real appends: new lines and partial lines, start points
// beyond the end, standard input from a file, and truncation; several files
// under headers; following by name across rotations.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"
#include "runtime/msg/diag.h"

namespace {

using namespace std::chrono_literals;
using support::as_text;

// A poll comes every 2 seconds: what is appended shows within a few.
constexpr auto kWithinAPoll = 10s;

class Follow : public support::RuntimeTest {
 protected:
  void append(const std::string& name, const std::string& bytes) const {
    std::ofstream(in_dir(name), std::ios::binary | std::ios::app) << bytes;
  }
};

TEST_F(Follow, AppendedLinesAndPartialLinesShowUp) {
  dir.write("f", "1\n2\n");
  const auto tail = support::start_tail(dir.path(), {"-f", "f"});
  std::string expected = "1\n2\n";
  ASSERT_TRUE(tail->wait_for_out(as_text(expected), kWithinAPoll)) << tail->out();
  // A partial line shows at the poll that finds it; the pieces after it
  // continue it, one of them longer than standard output's buffer.
  for (const std::string& piece : {std::string("3\n"), std::string("part"), std::string("ial\n"), std::string("a"),
                                   std::string(100000, 'c'), std::string("\nd")}) {
    append("f", piece);
    expected += piece;
    ASSERT_TRUE(tail->wait_for_out(as_text(expected), kWithinAPoll)) << piece.size() << " bytes: " << tail->out();
  }
  EXPECT_FALSE(tail->wait(0ms));  // still following
}

TEST_F(Follow, NothingBeforeTheStartPointThenWhatIsAppended) {
  const struct {
    std::vector<std::string> args;
    std::string before;
    std::string appended;
    std::size_t from;  // the offset in the grown file from which it is written
    bool lines;        // a line unit: written as text
    bool redirected;   // the file is standard input rather than an operand
  } cases[] = {
      {{"-c", "+100", "-f"}, "0123456789", std::string(140, 'x') + "yz", 99, false, false},
      {{"-c", "+12", "-f"}, "short\n", "0123456789\n", 11, false, false},
      {{"-f", "+5"}, "1\n2\n3\n", "4\n5\n", 6, true, false},
      {{"-n", "0", "-f"}, "a\nb\n", "c\n", 4, true, false},
      {{"-n", "0", "-f"}, "a\nb\n", "c\n", 4, true, true},
  };
  std::vector<std::unique_ptr<support::Child>> tails;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const std::string name = "f" + std::to_string(i);
    const std::string path = dir.write(name, cases[i].before);
    std::vector<std::string> args = cases[i].args;
    support::RunOptions options;
    if (cases[i].redirected) options.input_path = path;
    if (!cases[i].redirected) args.push_back(name);
    tails.push_back(support::start_tail(dir.path(), args, options));
  }
  std::this_thread::sleep_for(3s);  // a poll has passed
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(tails[i]->out(), "") << "row " << i;
    append("f" + std::to_string(i), cases[i].appended);
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    const std::string bytes = (c.before + c.appended).substr(c.from);
    EXPECT_TRUE(tails[i]->wait_for_out(c.lines ? as_text(bytes) : bytes, kWithinAPoll))
        << "row " << i << ": " << tails[i]->out();
  }
}

TEST_F(Follow, ATruncatedFileIsFollowedFromItsStart) {
  dir.write("f", "old line one\nold line two\n");
  const auto tail = support::start_tail(dir.path(), {"-n", "1", "-f", "f"});
  // Following from the start of a file: what was read of its old contents
  // must not come again after the truncation.
  dir.write("g", "");
  const auto from_start = support::start_tail(dir.path(), {"-c", "+1", "-f", "g"});
  ASSERT_TRUE(tail->wait_for_out(as_text("old line two\n"), kWithinAPoll)) << tail->out();
  append("g", "abcdefgh\n");
  ASSERT_TRUE(from_start->wait_for_out("abcdefgh\n", kWithinAPoll)) << from_start->out();
  dir.write("f", "new\n");
  dir.write("g", "xy\n");
  EXPECT_TRUE(tail->wait_for_out(as_text("old line two\nnew\n"), kWithinAPoll)) << tail->out();
  EXPECT_TRUE(from_start->wait_for_out("abcdefgh\nxy\n", kWithinAPoll)) << from_start->out();
}

}  // namespace

namespace {

using namespace std::chrono_literals;
using support::as_text;

constexpr auto kWithinPolls = 10s;  // polls every 0.1 s or less here: a change shows within a few

// What -F says when NAME was rotated between two polls: replaced, or gone
// and back when a poll fell between the old file's going and the new one's
// coming (a pattern of lines, each "\n" standing for a line end).
std::string rotated(const std::string& name) {
  const std::string n = "tail: '" + name + "' has ";
  return "(" + n + "been replaced; following new file\n|" + n + "become inaccessible: [^\r\n]*\n" + n +
         "appeared; following new file\n)";
}

// The same for a delete and a create. Under Wine a deleted file keeps its
// name until its last handle is closed, and a create opens it again and
// empties it: the same file, truncated.
std::string recreated(const std::string& name) {
  return "(" + rotated(name) + "|tail: " + name + ": file truncated\n)";
}

// tail -f or -F at quick polls in a scratch directory, and what it wrote.
// It has no standard input: descriptor 0 is free for the files it opens.
class FollowFast : public support::RuntimeTest {
 protected:
  void start(std::vector<std::string> args, const char* interval = "0.1") {
    args.insert(args.begin(), {"-s", interval});
    support::RunOptions options;
    options.input_closed = true;
    tail = support::start_tail(dir.path(), args, options);
  }
  void append(const std::string& name, const std::string& bytes) const {
    std::ofstream(in_dir(name), std::ios::binary | std::ios::app) << bytes;
  }
  // Waits until standard output is `out` (as text) and standard error
  // matches the pattern `err`.
  void expect(const std::string& out, std::string err) const {
    EXPECT_TRUE(tail->wait_for_out(as_text(out), kWithinPolls)) << tail->out() << "\nstderr: " << tail->err();
    for (std::size_t at = 0; (at = err.find('\n', at)) != std::string::npos; at += 4) err.replace(at, 1, "\r?\n");
    const std::regex pattern(err);
    const auto deadline = std::chrono::steady_clock::now() + kWithinPolls;
    while (!std::regex_match(tail->err(), pattern) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(std::regex_match(tail->err(), pattern)) << tail->err() << "\ndoes not match\n" << err;
  }
  std::unique_ptr<support::Child> tail;
};

// More files than the runtime has streams, each followed by its descriptor;
// b's part is written last.
TEST_F(FollowFast, SeveralFilesUnderAHeaderWheneverTheFileWrittenChanges) {
  std::vector<std::string> args = {"-f", "-n", "1"};
  std::string out;
  for (const std::string name : {"c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o", "p", "q", "r", "s",
                                 "t", "u", "v", "w", "x", "y", "a", "b"}) {
    dir.write(name, name + "1\n" + name + "2\n");
    args.push_back(name);
    out += (out.empty() ? "==> " : "\n==> ") + name + " <==\n" + name + "2\n";
  }
  start(args);
  expect(out, "");
  const struct { const char* name; const char* line; const char* shown; } appends[] = {
      {"b", "b3\n", "b3\n"},
      {"a", "a3\n", "\n==> a <==\na3\n"},
      {"a", "a4\n", "a4\n"},
      {"b", "b4\n", "\n==> b <==\nb4\n"},
  };
  for (const auto& step : appends) {
    append(step.name, step.line);
    expect(out += step.shown, "");
  }
}

// -F: a name missing at the start and then created, renamed away with a new
// file in its place, truncated, deleted and created again at once.
TEST_F(FollowFast, ByNameThroughRenameTruncationDeleteAndAMissingName) {
  start({"-F", "log"});
  std::string err = "tail: input file \"log\": " + std::string(rt::strerror(ERROR_FILE_NOT_FOUND)) + "\n";
  expect("", err);
  dir.write("log", "1\n");
  expect("1\n", err += "tail: 'log' has appeared; following new file\n");
  append("log", "2\n");
  std::filesystem::rename(in_dir("log"), in_dir("log.1"));
  dir.write("log", "333\n");
  expect("1\n2\n333\n", err += rotated("log"));
  dir.write("log", "4\n");
  expect("1\n2\n333\n4\n", err += "tail: log: file truncated\n");
  append("log", "5\n");
  expect("1\n2\n333\n4\n5\n", err);
  std::filesystem::remove(in_dir("log"));
  dir.write("log", "6\n");
  expect("1\n2\n333\n4\n5\n6\n", err += recreated("log"));
}

// A writer appends numbered lines and rotates its log every 100 lines, by
// rename or by delete and create (retried while the name is still taken);
// before each rotation it waits until tail has taken up the file before.
// Every line shows exactly once, in order. Where a create empties the
// deleted file again (Wine), the writer waits for tail to see that before
// it writes: a file that regrew past the position reached between two polls
// cannot be told from one that grew.
class Rotation : public FollowFast, public testing::WithParamInterface<bool> {};

TEST_P(Rotation, NoLineIsLostOrWrittenTwice) {
  constexpr int kLines = 2000;
  constexpr int kEvery = 100;
  const bool by_rename = GetParam();
  dir.write("app.log", "");
  start({"-F", "-n", "+1", "app.log"}, "0.05");
  std::string out;
  std::string err;
  std::ofstream log(in_dir("app.log"), std::ios::binary | std::ios::app);
  for (int line = 1; line <= kLines; ++line) {
    if (line % kEvery == 0) {
      ASSERT_TRUE(tail->wait_for_out(as_text(out), kWithinPolls)) << "line " << line << ": " << tail->err();
      log.close();
      if (by_rename) std::filesystem::rename(in_dir("app.log"), in_dir("app.log.1"));
      if (!by_rename) std::filesystem::remove(in_dir("app.log"));
      const auto deadline = std::chrono::steady_clock::now() + kWithinPolls;
      do {
        log.clear();
        log.open(in_dir("app.log"), std::ios::binary | std::ios::trunc);
      } while (!log && std::chrono::steady_clock::now() < deadline && (std::this_thread::sleep_for(5ms), true));
      ASSERT_TRUE(log) << "line " << line;
      err += by_rename ? rotated("app.log") : recreated("app.log");
      if (!by_rename && w32::kDriveLetters) expect(out, err);
    }
    const std::string text = "line " + std::to_string(line) + "\n";
    log << text << std::flush;
    out += text;
  }
  log.close();
  expect(out, err);
}

INSTANTIATE_TEST_SUITE_P(ByRenameAndByDelete, Rotation, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Rename" : "Delete"; });

}  // namespace
