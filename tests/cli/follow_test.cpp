// Follow mode with real appends: new lines and partial lines, start points
// beyond the end, standard input from a file, and truncation.
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
