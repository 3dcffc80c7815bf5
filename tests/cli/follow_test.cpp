// Follow mode with real appends: new lines and partial lines, truncation,
// a count of 0, a pipe on standard input, and a reader that goes away.
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"

namespace {

using namespace std::chrono_literals;

// A poll comes every 2 seconds: what is appended shows within a few.
constexpr auto kWithinAPoll = 10s;

class Follow : public support::RuntimeTest {
 protected:

  static void append(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << bytes;
  }

  // Text as tail writes it with a line unit: CR LF on Windows.
  static std::string text(const std::string& lines) {
    std::string out;
    for (const char c : lines) out += c == '\n' ? support::kLineEnd : std::string(1, c);
    return out;
  }

  std::unique_ptr<support::Child> start(const std::vector<std::string>& args, support::RunOptions options = {}) {
    options.cwd = dir.path().string();
    options.environment = support::plain_environment();
    return std::make_unique<support::Child>(support::sibling_program("../tail"), args, options);
  }
};

TEST_F(Follow, AppendedLinesAndPartialLinesShowUp) {
  dir.write("f", "1\n2\n");
  const auto tail = start({"-f", "f"});
  ASSERT_TRUE(tail->wait_for_out(text("1\n2\n"), kWithinAPoll)) << tail->out();
  append(in_dir("f"), "3\n");
  EXPECT_TRUE(tail->wait_for_out(text("1\n2\n3\n"), kWithinAPoll)) << tail->out();
  append(in_dir("f"), "part");
  EXPECT_TRUE(tail->wait_for_out(text("1\n2\n3\npart"), kWithinAPoll)) << tail->out();
  append(in_dir("f"), "ial\n");
  EXPECT_TRUE(tail->wait_for_out(text("1\n2\n3\npartial\n"), kWithinAPoll)) << tail->out();
  EXPECT_FALSE(tail->wait(0ms));  // still following
}

TEST_F(Follow, EachPollWritesItsDataWhileAPartialLineIsPending) {
  dir.write("f", "");
  const auto tail = start({"-f", "f"});
  // Each piece is appended while the line before it is still open; a long
  // one overflows standard output's buffer.
  std::string expected;
  for (const std::string& piece : {std::string("a"), std::string("b"), std::string(100000, 'c'), std::string("\nd")}) {
    append(in_dir("f"), piece);
    expected += piece;
    ASSERT_TRUE(tail->wait_for_out(text(expected), kWithinAPoll)) << piece.size() << " bytes: " << tail->out().size();
  }
}

TEST_F(Follow, AStartPointBeyondTheEndIsNoTruncation) {
  // Following goes on from the start point; what lies before it is not
  // written when the file grows, however short the file was.
  const struct {
    std::vector<std::string> args;
    std::string before;
    std::string appended;
    std::size_t from;  // the offset in the grown file from which it is written
  } cases[] = {
      {{"-c", "+100", "-f", "f0"}, "0123456789", std::string(140, 'x') + "yz", 99},
      {{"-c", "+12", "-f", "f1"}, "short\n", "0123456789\n", 11},
      {{"-n", "+50", "-f", "f2"}, "1\n2\n3\n", "4\n5\n", 6},
  };
  const auto expected = [](const auto& c) {
    const std::string bytes = (c.before + c.appended).substr(c.from);
    return c.args[0] == "-n" ? text(bytes) : bytes;
  };
  std::vector<std::unique_ptr<support::Child>> tails;
  for (const auto& c : cases) {
    dir.write(c.args.back(), c.before);
    tails.push_back(start(c.args));
  }
  std::this_thread::sleep_for(3s);  // a poll has passed
  for (std::size_t i = 0; i < tails.size(); ++i) {
    EXPECT_EQ(tails[i]->out(), "") << cases[i].args[1];
    append(in_dir(cases[i].args.back()), cases[i].appended);
  }
  for (std::size_t i = 0; i < tails.size(); ++i) {
    EXPECT_TRUE(tails[i]->wait_for_out(expected(cases[i]), kWithinAPoll)) << cases[i].args[1] << ": " << tails[i]->out();
  }
}

TEST_F(Follow, ATruncatedFileIsFollowedFromItsStart) {
  dir.write("f", "old line one\nold line two\n");
  const auto tail = start({"-n", "1", "-f", "f"});
  // Following from the start of a file: what was read of its old contents
  // must not come again after the truncation.
  dir.write("g", "");
  const auto from_start = start({"-c", "+1", "-f", "g"});
  ASSERT_TRUE(tail->wait_for_out(text("old line two\n"), kWithinAPoll)) << tail->out();
  append(in_dir("g"), "abcdefgh\n");
  ASSERT_TRUE(from_start->wait_for_out("abcdefgh\n", kWithinAPoll)) << from_start->out();
  std::ofstream(in_dir("f"), std::ios::binary | std::ios::trunc) << "new\n";
  std::ofstream(in_dir("g"), std::ios::binary | std::ios::trunc) << "xy\n";
  EXPECT_TRUE(tail->wait_for_out(text("old line two\nnew\n"), kWithinAPoll)) << tail->out();
  EXPECT_TRUE(from_start->wait_for_out("abcdefgh\nxy\n", kWithinAPoll)) << from_start->out();
}

TEST_F(Follow, ACountOf0ShowsOnlyNewData) {
  dir.write("f", "a\nb\n");
  const auto tail = start({"-n", "0", "-f", "f"});
  std::this_thread::sleep_for(3s);  // a poll has passed: nothing of what was there is written
  EXPECT_EQ(tail->out(), "");
  append(in_dir("f"), "c\n");
  EXPECT_TRUE(tail->wait_for_out(text("c\n"), kWithinAPoll)) << tail->out();
}

TEST_F(Follow, AStartLineBeyondTheEndShowsWhatIsAppended) {
  dir.write("f", "1\n2\n3\n");
  const auto tail = start({"-f", "+5", "f"});
  std::this_thread::sleep_for(3s);  // it has found no fifth line and is following
  EXPECT_EQ(tail->out(), "");
  append(in_dir("f"), "4\n5\n");
  EXPECT_TRUE(tail->wait_for_out(text("4\n5\n"), kWithinAPoll)) << tail->out();
}

TEST_F(Follow, APipeOnStandardInputIsNotFollowed) {
  support::RunOptions options;
  options.input = "1\n2\n";
  options.input_pipe = true;
  const auto tail = start({"-f"}, options);
  EXPECT_EQ(tail->wait(kWithinAPoll), 0u);
  EXPECT_EQ(tail->out(), text("1\n2\n"));
}

TEST_F(Follow, FollowingEndsWhenTheReaderHasGone) {
  dir.write("f", "first\n");
  support::RunOptions options;
  options.output_pipe = true;
  const auto tail = start({"-f", "f"}, options);
  EXPECT_EQ(tail->read_line(kWithinAPoll), text("first\n"));
  tail->close_output();  // as head -1 does after one line
  append(in_dir("f"), "second\n");
  EXPECT_EQ(tail->wait(kWithinAPoll), 269u);
  EXPECT_EQ(tail->err(), "");
}

}  // namespace
