// Follow mode as only real processes show it; what happens to a file between two polls is fuzz/follow_fuzz.cpp's.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>
#include "tests/support/support.h"

namespace {
using namespace std::chrono_literals;
using support::as_text;
constexpr auto kWithinPolls = 10s;  // polls every 0.1 s or less here: a change shows within a few
bool eventually(const std::function<bool()>& holds) {
  const auto deadline = std::chrono::steady_clock::now() + kWithinPolls;
  while (!holds()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// What -F says of NAME rotated between two polls (a pattern): replaced, or gone and back when a poll fell between.
std::string rotated(const std::string& name) {
  const std::string n = "tail: '" + name + "' has ";
  return "(" + n + "been replaced; following new file\n|" + n + "become inaccessible: [^\r\n]*\n" + n +
         "appeared; following new file\n)";
}

// The same for delete and create; under Wine a held deleted file keeps its name, and a create empties it: truncated.
std::string recreated(const std::string& name) { return "(" + rotated(name) + "|tail: " + name + ": file truncated\n)"; }

// tail -f or -F at quick polls in a scratch directory, without standard input: descriptor 0 is free for files.
class Follow : public support::RuntimeTest, public testing::WithParamInterface<bool> {
 protected:
  void start(std::vector<std::string> args, const char* interval = "0.1", bool interruptible = false) {
    args.insert(args.begin(), {"-s", interval});
    support::RunOptions options;
    options.interruptible = interruptible;
    options.cwd = support::utf8_name(dir.path());
    options.input_closed = true;
    options.environment = support::plain_environment();
    tail = std::make_unique<support::Child>(support::sibling_program("../tail"), args, options);
  }
  // Waits until standard output is `out` (as text) and standard error matches the pattern `err`.
  void expect(const std::string& out, std::string err) const {
    EXPECT_TRUE(eventually([&] { return tail->out() == as_text(out); })) << tail->out() << "\nstderr: " << tail->err();
    for (std::size_t at = 0; (at = err.find('\n', at)) != std::string::npos; at += 4) err.replace(at, 1, "\r?\n");
    const std::regex pattern(err);
    EXPECT_TRUE(eventually([&] { return std::regex_match(tail->err(), pattern); }))
        << tail->err() << "\ndoes not match\n" << err;
  }
  std::unique_ptr<support::Child> tail;
};

// More files than the runtime has streams: appends, partial lines too, show under a header whenever the file changes,
// told by the folder's change notices (the clock does not poll for 1000 s).
TEST_F(Follow, AppendedLinesAndPartialLinesShowUpUnderHeaders) {
  std::vector<std::string> args = {"-f", "-n", "1"};
  std::string out;
  for (const std::string name : {"c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o", "p", "q", "r", "s",
                                 "t", "u", "v", "w", "x", "y", "a", "b"}) {
    dir.write(name, name + "1\n" + name + "2\n");
    args.push_back(name);
    out += (out.empty() ? "==> " : "\n==> ") + name + " <==\n" + name + "2\n";
  }
  start(args, "1000");
  expect(out, "");
  const struct { const char* name; std::string piece; std::string shown; } appends[] = {
      {"b", "b3\npart", "b3\npart"}, {"b", "ial\n", "ial\n"}, {"a", "a3\n", "\n==> a <==\na3\n"},
      {"a", std::string(100000, 'c'), std::string(100000, 'c')}, {"a", "\nd", "\nd"},
      {"b", "b4\n", "\n==> b <==\nb4\n"},
  };
  for (const auto& step : appends) {
    std::ofstream(in_dir(step.name), std::ios::binary | std::ios::app) << step.piece;
    expect(out += step.shown, "");
  }
  EXPECT_FALSE(tail->wait(0ms));  // still following
}

// --follow=name, no --retry, a name the OEM page lacks past 260 characters: a file renamed to it is followed unless the
// clock polled between; gone at the clock, following ends. Messages name it as typed (a pipe: the console's page, 437).
TEST_F(Follow, ByNameWithoutRetryAcrossARenamePastMaxPath) {
  std::string name;
  for (int i = 0; i < 6; ++i) name += "folder_0123456789_0123456789_0123456789_0123456789/";
  std::filesystem::create_directories(dir.path() / support::utf8_path(name));
  name += "журнал.log";
  const std::filesystem::path file = dir.path() / support::utf8_path(name);
  dir.write(name, "1\n");
  start({"--follow=name", name}, "1");
  expect("1\n", "");
  std::ofstream(file, std::ios::binary | std::ios::app) << "2\n";
  expect("1\n2\n", "");
  std::filesystem::rename(file, dir.path() / support::utf8_path(name + ".1"));
  std::this_thread::sleep_for(20ms);  // the rename's notice is heard before the create
  dir.write(name, "3\n");
  const std::string shown = "tail: '" + std::regex_replace(support::oem_text(name), std::regex(R"([.?])"), R"(\$&)");
  const std::string replaced = shown + "' has been replaced; following new file\n";
  expect("1\n2\n3\n", replaced);
  std::filesystem::rename(file, dir.path() / support::utf8_path(name + ".2"));
  expect("1\n2\n3\n", replaced + shown + "' has become inaccessible: [^\r\n]*\ntail: no files remaining\n");
  EXPECT_EQ(tail->wait(kWithinPolls).value_or(0), 1u);
}

// -f --retry after the name: once the name opens the file is followed by descriptor, across a rename too.
TEST_F(Follow, DescriptorWithRetryAcrossARename) {
  start({"app.log", "-f", "--retry"});
  expect("", "tail: input file \"app.log\": [^\r\n]*\n");
  dir.write("app.log", "1\n");
  const std::string appeared = "tail: input file \"app.log\": [^\r\n]*\ntail: 'app.log' has appeared; following new file\n";
  expect("1\n", appeared);
  std::filesystem::rename(in_dir("app.log"), in_dir("app.log.1"));
  dir.write("app.log", "new\n");
  std::ofstream(in_dir("app.log.1"), std::ios::binary | std::ios::app) << "2\n";
  expect("1\n2\n", appeared);
}

// More files than descriptors (the shell's limit; Windows has none): a file that cannot open is named with the reason.
TEST_F(Follow, MoreFilesThanDescriptors) {
  if (w32::kDriveLetters) GTEST_SKIP() << "no limit of descriptors to reach";
  std::vector<std::string> args = {"-c", "ulimit -n 24 && exec \"$0\" \"$@\"", support::sibling_program("../tail"),
                                   "-s", "0.1", "-f", "-n", "1"};
  for (int k = 10; k < 40; ++k) {
    dir.write("f" + std::to_string(k), std::to_string(k) + "\n");
    args.push_back("f" + std::to_string(k));
  }
  support::RunOptions options;
  options.cwd = support::utf8_name(dir.path());
  options.input_closed = true;
  tail = std::make_unique<support::Child>("/bin/sh", args, options);
  const std::regex named("tail: input file \"f(\\d+)\": Too many open files\n");
  const auto unsettled = [&] {  // the files neither written nor named in a message yet, or both: none in the end
    std::string names;
    for (int k = 10; k < 40; ++k) {
      const std::string name = "f" + std::to_string(k);
      const bool written = tail->out().find("==> " + name + " <==\n" + std::to_string(k) + "\n") != std::string::npos;
      if (written == (tail->err().find("\"" + name + "\"") != std::string::npos)) names += name + " ";
    }
    return names;
  };
  ASSERT_TRUE(eventually([&] { return std::regex_search(tail->err(), named) && unsettled().empty(); })) << unsettled();
  std::ofstream(in_dir("f10"), std::ios::binary | std::ios::app) << "more\n";
  EXPECT_TRUE(eventually([&] { return tail->out().ends_with("==> f10 <==\nmore\n"); })) << tail->out();
  EXPECT_EQ(tail->err().find("PANIC"), std::string::npos);
}

// --pid: once that process has ended, a last poll writes what was appended and following ends, long before 1000 s.
TEST_F(Follow, PidEndsFollowingAfterALastPoll) {
  dir.write("f", "1\n");
  dir.write("g", "");
  start({"-f", "g"}, "1000");
  std::unique_ptr<support::Child> watched = std::move(tail);
  start({"-f", "--pid=" + std::to_string(watched->pid()), "f"}, "1000");
  expect("1\n", "");
  std::ofstream(in_dir("f"), std::ios::binary | std::ios::app) << "2\n";
  watched.reset();  // killed
  EXPECT_EQ(tail->wait(kWithinPolls).value_or(1), 0u);
  EXPECT_EQ(tail->out(), as_text("1\n2\n"));
}

// Ctrl+C writes a carriage return held for the byte after it before the process ends with the interrupt's status.
TEST_F(Follow, CtrlCWritesAHeldCarriageReturn) {
  dir.write("f", "1\n");
  start({"-f", "f"}, "0.1", true);
  expect("1\n", "");
  std::ofstream(in_dir("f"), std::ios::binary | std::ios::app) << "partial\r";
  ASSERT_TRUE(eventually([&] { return tail->out().find("partial") != std::string::npos; })) << tail->out();
  tail->interrupt();
  EXPECT_EQ(tail->wait(kWithinPolls).value_or(0), w32::kDriveLetters ? STATUS_CONTROL_C_EXIT : 256u + SIGINT);
  EXPECT_EQ(tail->out(), as_text("1\n") + "partial\r");
}

// A writer rotates its log every 100 lines, by rename or by delete and create (retried while the name is taken), once
// tail has shown it: every line shows once, in order. Where a create empties the deleted file again (Wine), the writer
// waits for tail to see that: a file regrown past the position between two polls cannot be told from one that grew.
TEST_P(Follow, RotationLosesNoLineAndWritesNoneTwice) {
  constexpr int kLines = 2000, kEvery = 100;
  const bool by_rename = GetParam();
  dir.write("app.log", "");
  start({"-F", "-n", "+1", "app.log"}, "0.05");
  std::string out, err;
  std::ofstream log(in_dir("app.log"), std::ios::binary | std::ios::app);
  for (int line = 1; line <= kLines; ++line) {
    if (line % kEvery == 0) {
      ASSERT_TRUE(eventually([&] { return tail->out() == as_text(out); })) << "line " << line << ": " << tail->err();
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

// The folder of a followed name replaced by a rename, a delete or a link re-pointed: the file the name now leads to
// shows at once, and so does a rotation in the new folder, with no poll between. Natively only: under Wine a folder
// whose file tail holds cannot be deleted (the file keeps its name until closed), and this library makes no links.
TEST_F(Follow, FolderReplacedUnderAFollowedName) {
  if (w32::kDriveLetters) GTEST_SKIP() << "Wine: see above";
  for (const std::string way : {"rename", "delete", "relink"}) {
    const std::filesystem::path logs = dir.path() / way;
    const std::string name = way + "/app.log";
    const auto make = [&](const char* target) {  // the folder, or a link to a folder made for it
      std::filesystem::create_directories(way != "relink" ? logs.string() : logs.string() + target);
      if (way != "relink") return;
      std::filesystem::create_directory_symlink(way + target, logs.string() + ".new");
      std::filesystem::rename(logs.string() + ".new", logs);
    };
    make(".a");
    dir.write(name, "1\n");
    start({"-F", name}, "1000");
    expect("1\n", "");
    std::ofstream(in_dir(name), std::ios::binary | std::ios::app) << "1\n";  // shown once the folder is watched
    expect("1\n1\n", "");
    if (way == "rename") std::filesystem::rename(logs, logs.string() + ".old");
    if (way == "delete") std::filesystem::remove_all(logs);
    make(".b");
    dir.write(name, "2\n");
    expect("1\n1\n2\n", rotated(name));
    std::filesystem::rename(in_dir(name), in_dir(name + ".1"));
    dir.write(name, "3\n");
    expect("1\n1\n2\n3\n", rotated(name) + rotated(name));
  }
}

INSTANTIATE_TEST_SUITE_P(ByRenameAndByDelete, Follow, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Rename" : "Delete"; });
}  // namespace
