// The fault sweep: for each scenario the tail command runs once without a
// fault and then once for every N = 1, 2, 3 ... with its Nth system call
// failing (the calls of all functions counted together, start-up
// included), until a run no longer reaches N. A run that reached its fault
// either did exactly what the run without a fault did, or ended with status
// 1 (127 in start-up) and a diagnostic, having written a prefix of the right
// output; the diagnostic may lack only where the failed call cost standard
// error alone. Never a crash, a hang or a sanitizer report.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"

namespace {

using namespace std::chrono_literals;
using support::as_text;

// Lines of different lengths, numbered from `first` to `last`.
std::string numbered_lines(int first, int last) {
  std::string text;
  for (int i = first; i <= last; ++i) text += "line " + std::to_string(i) + std::string(i % 7, '.') + "\n";
  return text;
}
const std::string kInput = numbered_lines(1, 20);

constexpr char kStartupFailure[] = "_main: memory allocation error during startup.\r\n";

struct Scenario {
  const char* name;
  std::string args;            // after the program name, split at blanks
  bool pipe = false;           // the input comes through a pipe on standard input
  bool german = false;         // LANG=de_DE, with NLSPATH naming the German catalogue
  bool command_line = false;   // the arguments are a command line the program splits itself
  bool follows = false;        // the run without a fault ends having begun to follow
  bool grows = false;          // in.txt gains a line once its size is taken
  std::string out = "";        // what the run without a fault writes
  std::string grown = "";      // what a run may write instead that reads the grown file to its end
  unsigned status = 0;         // and its status
  std::string err_part = "";   // a piece of its standard error
};

const Scenario kScenarios[] = {
    {.name = "FileLastLines", .args = "-n 5 in.txt", .out = as_text(numbered_lines(16, 20))},
    {.name = "GrowingFile", .args = "-n 5 in.txt", .grows = true, .out = as_text(numbered_lines(16, 20)),
     .grown = as_text(numbered_lines(17, 20) + "appended after the size was taken\n")},
    {.name = "PipeLastLines", .args = "-n 5", .pipe = true, .out = as_text(numbered_lines(16, 20))},
    {.name = "FileFromLine", .args = "-n +2 in.txt", .out = as_text(numbered_lines(2, 20))},
    {.name = "FileLastBytes", .args = "-c 100 in.txt", .out = kInput.substr(kInput.size() - 100)},
    {.name = "PipeFromByte", .args = "-c +50", .pipe = true, .out = kInput.substr(49)},
    {.name = "FollowSetUp", .args = "-f -n 3 in.txt", .follows = true, .out = as_text(numbered_lines(18, 20))},
    {.name = "GermanMessage", .args = "missing.txt", .german = true, .status = 1,
     .err_part = "Eingabedatei \"missing.txt\""},
    {.name = "WildcardWord", .args = "-n 5 i*.txt", .command_line = true, .out = as_text(numbered_lines(16, 20))},
};

constexpr bool kWindows = w32::kDriveLetters;  // drive letters: a Windows host

// Each run is bounded: a run still going after this is a hang.
constexpr auto kRunLimit = 30s;

// A run under Wine costs about half a second: there every other N is tried,
// odd N for one row and even N for the next, so that the start-up all rows
// share is still swept whole. Natively every N.
constexpr unsigned kStride = kWindows ? 2 : 1;

struct Outcome {
  unsigned status;
  std::string out;
  std::string err;
  std::string failed;  // the name of the function whose call failed; "" when none did
  bool following;      // following had begun when the run ended
};

class FaultSweep : public support::RuntimeTest, public testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    RuntimeTest::SetUp();
    const std::filesystem::path german = dir.path() / "de";
    std::filesystem::create_directory(german);
    std::filesystem::copy_file(TAIL_NLS_DIR "/de/nvo.cat", german / "nvo.cat");
  }

  // The scenario's run with its nth call failing (0: none).
  Outcome run(unsigned nth) {
    const Scenario& s = kScenarios[GetParam()];
    const std::string program = support::sibling_program("sweep");
    const std::string marker = in_dir("marker");
    std::filesystem::remove(marker);
    dir.write("in.txt", kInput);
    support::RunOptions options;
    options.cwd = dir.path().string();
    options.input = kInput;
    options.input_pipe = s.pipe;
    options.environment = {"SWEEP_NTH=" + std::to_string(nth), "SWEEP_MARKER=" + marker};
    if (s.german) {
      options.environment->push_back("LANG=de_DE");
      options.environment->push_back("NLSPATH=" + in_dir("%l") + "/%N.cat");
    }
    if (s.grows) options.environment->push_back("SWEEP_GROW=" + in_dir("in.txt"));
    for (const std::string& entry : support::host_environment()) {
      if (entry.find("SAN_OPTIONS=") != std::string::npos) options.environment->push_back(entry);
    }
    std::vector<std::string> args;
    std::istringstream words(s.args);
    for (std::string word; words >> word;) args.push_back(word);
    if (s.command_line) {
      // The program's own start-up expands a wildcard word on Windows; elsewhere
      // the shell has, so the program splits the same line in the same way itself.
      const std::string line = program + " " + s.args;
      if (kWindows) options.command_line = line;
      if (!kWindows) options.environment->push_back("SWEEP_COMMAND_LINE=" + line);
    }
    support::Child child(program, args, options);
    const std::optional<unsigned> status = child.wait(kRunLimit);
    std::string failed = support::ScratchDir::read(marker);
    const std::size_t following = failed.find("following\n");
    if (following != std::string::npos) failed.erase(following);
    if (!failed.empty()) failed.pop_back();  // the line feed
    return Outcome{status.value_or(~0u), child.out(), child.err(), failed, following != std::string::npos};
  }
};

TEST_P(FaultSweep, EveryFailingCallEndsSoundly) {
  const Scenario& s = kScenarios[GetParam()];
  const Outcome clean = run(0);
  ASSERT_EQ(clean.status, s.status) << clean.err;
  ASSERT_EQ(clean.out, s.out);
  ASSERT_NE(clean.err.find(s.err_part), std::string::npos) << clean.err;
  ASSERT_EQ(clean.following, s.follows);

  unsigned runs = 1;
  unsigned changed = 0;  // runs the fault made end otherwise than the run without one
  for (unsigned n = kStride == 1 ? 1 : 1 + GetParam() % 2;; n += kStride) {
    ASSERT_LT(n, 2000u) << "the sweep does not end";
    const Outcome r = run(n);
    ++runs;
    const std::string what = "call " + std::to_string(n) + " (" + r.failed + ") failing: status " +
                             std::to_string(r.status) + ", stdout [" + r.out + "], stderr [" + r.err + "]";
    if (r.failed.empty()) {
      // Not reached: the run made fewer calls, and is the run without a fault.
      EXPECT_EQ(r.status, clean.status) << what;
      EXPECT_EQ(r.out, clean.out) << what;
      EXPECT_EQ(r.following, clean.following) << what;
      break;
    }
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << what;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << what;
    // A disk file whose status cannot be read is not followed, as a pipe is not.
    const bool following = r.following || (clean.following && r.failed == "GetFileInformationByHandle");
    // Under a fault a file that grew may be read to its end: sound, but other output.
    const std::string& out = !r.out.empty() && s.grown.starts_with(r.out) ? s.grown : clean.out;
    const bool same = r.status == clean.status && r.out == out && following == clean.following;
    if (!same || r.err != clean.err) ++changed;
    // The fault changed nothing the user sees, or a block the heap could not free cost a warning.
    if (same && (r.err == clean.err || r.failed == "HeapFree")) continue;
    // Otherwise a diagnostic, unless all output was written and the failed call was standard error's.
    const bool stderr_alone = r.out == out && (r.failed == "WriteFile" || r.failed == "GetStdHandle");
    EXPECT_TRUE(r.status == 127 || r.status == 1) << what;
    const bool diagnostic = r.status == 127 ? r.err == kStartupFailure : !r.err.empty() && r.err != clean.err;
    EXPECT_TRUE(diagnostic || stderr_alone) << what;
    EXPECT_EQ(r.out, out.substr(0, r.out.size())) << what;
  }
  EXPECT_GT(changed, 0u) << "no fault showed";
  std::printf("%s: %u runs, %u ended otherwise because of the fault\n", s.name, runs, changed);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultSweep, testing::Range(0, static_cast<int>(std::size(kScenarios))),
                         [](const testing::TestParamInfo<int>& info) { return kScenarios[info.param].name; });

}  // namespace
