// Follow mode as only real processes show it: appended lines and a partial line written at the poll that finds
// them, many files followed under headers, and rotations while a writer goes on writing. What happens to a followed
// file between two polls is the model's business in fuzz/follow_fuzz.cpp.
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

// True once `holds` does, false when it still does not after kWithinPolls.
bool eventually(const std::function<bool()>& holds) {
  const auto deadline = std::chrono::steady_clock::now() + kWithinPolls;
  while (!holds()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// What -F says when NAME was rotated between two polls: replaced, or gone and back when a poll fell between the old
// file's going and the new one's coming (a pattern of lines, each "\n" standing for a line end).
std::string rotated(const std::string& name) {
  const std::string n = "tail: '" + name + "' has ";
  return "(" + n + "been replaced; following new file\n|" + n + "become inaccessible: [^\r\n]*\n" + n +
         "appeared; following new file\n)";
}

// The same for a delete and a create. Under Wine a deleted file keeps its name until its last handle is closed, and
// a create opens it again and empties it: the same file, truncated. A new file is never taken for the deleted one,
// even where it gets its number.
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

// More files than the runtime has streams, each followed by its descriptor: what is appended shows at the poll that
// finds it, a partial line too, under a header whenever the file written changes; a piece longer than standard
// output's buffer continues a line.
TEST_F(Follow, AppendedLinesAndPartialLinesShowUpUnderHeaders) {
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

// A UTF-16 log written a byte at a time, as a writer may flush it: each character shows once, whole, in the console's
// page on a pipe (437 on both hosts here: '?' where it lacks one); the byte 0A inside a unit ends no line. Emptied and
// rewritten in 8 bits, the file is decided again from its first bytes.
TEST_F(Follow, Utf16WrittenAByteAtATimeThenRewrittenIn8Bits) {
  dir.write("w", "");
  start({"-f", "w"});
  const std::string wide("\xff\xfe\xe9\0 \0\x0a\x01\n\0z\0\n\0", 14);  // "é Ċ\nz\n"
  for (const char byte : wide) {
    std::ofstream(in_dir("w"), std::ios::binary | std::ios::app) << byte;
    std::this_thread::sleep_for(15ms);
  }
  expect("\x82 ?\nz\n", "");
  std::ofstream(in_dir("w"), std::ios::binary | std::ios::trunc) << "8-bit\n";
  expect("\x82 ?\nz\n8-bit\n", "tail: w: file truncated\n");
}

// --follow=name without --retry: the file a rename puts under the name is followed, however long after the rename it
// comes, as long as the clock has not polled between; once the name is gone at the clock, following ends.
TEST_F(Follow, ByNameWithoutRetryAcrossARename) {
  dir.write("app.log", "1\n");
  start({"--follow=name", "app.log"}, "1");
  expect("1\n", "");
  std::ofstream(in_dir("app.log"), std::ios::binary | std::ios::app) << "2\n";
  expect("1\n2\n", "");
  std::filesystem::rename(in_dir("app.log"), in_dir("app.log.1"));
  std::this_thread::sleep_for(20ms);  // the rename's notice is heard before the create
  dir.write("app.log", "3\n");
  const std::string replaced = "tail: 'app.log' has been replaced; following new file\n";
  expect("1\n2\n3\n", replaced);
  std::filesystem::rename(in_dir("app.log"), in_dir("app.log.2"));
  expect("1\n2\n3\n", replaced + "tail: 'app.log' has become inaccessible: [^\r\n]*\ntail: no files remaining\n");
  EXPECT_EQ(tail->wait(kWithinPolls).value_or(0), 1u);
}

// A name in a script the OEM page lacks, in a folder so deep that its path passes 260 characters, followed by name:
// what is appended shows, and a rotation is told with the name as typed (on a pipe in the console's page: 437 here).
TEST_F(Follow, ANameInAnyScriptPastMaxPath) {
  std::string folder;
  for (int i = 0; i < 6; ++i) folder += "folder_0123456789_0123456789_0123456789_0123456789/";
  std::filesystem::create_directories(dir.path() / support::utf8_path(folder));
  const std::string name = folder + "журнал.log";
  const std::filesystem::path file = dir.path() / support::utf8_path(name);
  dir.write(name, "1\n");
  start({"-F", name});
  expect("1\n", "");
  std::ofstream(file, std::ios::binary | std::ios::app) << "2\n";
  expect("1\n2\n", "");
  std::filesystem::rename(file, dir.path() / support::utf8_path(name + ".1"));
  std::this_thread::sleep_for(20ms);  // the rename's notice is heard before the create
  dir.write(name, "3\n");
  const std::string shown = std::regex_replace(support::oem_text(name), std::regex(R"([.?])"), R"(\$&)");
  expect("1\n2\n3\n", "tail: '" + shown + "' has been replaced; following new file\n");
}

// -f --retry, given after the name: the name is looked for until it opens, and from then on the file is followed by
// its descriptor: after a rename the old file's lines show, never the new file's under the name.
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

// A start point beyond the end: from a line, every line appended from the one after the last shows (the start counts
// the lines there when tail starts); from a byte, nothing shows until the file grows past it. With no line from the
// end, what is appended shows from its first byte. The options follow the names; the message for the missing name
// after the file shows that tail has placed the file.
TEST_F(Follow, StartPointBeyondTheEnd) {
  dir.write("lines", "1\n2\n3\n");
  dir.write("none", "1\n");
  dir.write("bytes", "abc\n");
  const std::vector<std::string> args[] = {
      {"lines", "missing", "-qn", "+6", "-f"}, {"none", "missing", "-qn", "0", "-f"}, {"bytes", "-f", "-c", "+7"}};
  std::unique_ptr<support::Child> runs[std::size(args)];
  for (std::size_t i = 0; i < std::size(args); ++i) start(args[i]), runs[i] = std::move(tail);
  const auto shows = [&](std::size_t i, const std::string& out) {
    tail = std::move(runs[i]);
    expect(out, i < 2 ? "tail: input file \"missing\": [^\r\n]*\n" : "");
    runs[i] = std::move(tail);
  };
  shows(0, "");
  shows(1, "");
  std::ofstream(in_dir("lines"), std::ios::binary | std::ios::app) << "4\n5\n6\n7\n8\n";
  std::ofstream(in_dir("none"), std::ios::binary | std::ios::app) << "2\n";
  std::ofstream(in_dir("bytes"), std::ios::binary | std::ios::app) << "de";
  shows(0, "4\n5\n6\n7\n8\n");
  shows(1, "2\n");
  std::ofstream(in_dir("bytes"), std::ios::binary | std::ios::app) << "fgh";
  shows(2, "fgh");
}

// What notices alone show, with the clock a thousand seconds away: a rotation by rename and create a moment later
// (by name, where the rename alone never gives the name up), what the writer appends to a file renamed under -f, and
// a log rewritten in place at the same size.
TEST_F(Follow, NoticesAloneShowRotationsRenamesAndRewrites) {
  const std::string replaced = "tail: 'a.log' has been replaced; following new file\n";
  // Each step acts on the scratch folder.
  using Path = std::filesystem::path;
  const auto put = [](const Path& file, const char* text, std::ios::openmode mode) {
    std::ofstream(file, std::ios::binary | mode) << text;
  };
  const struct Row {
    const char* option;
    const char* before;
    std::function<void(const Path&)> act;
    const char* out;
    std::string err;
  } rows[] = {
      {"--follow=name", "1\n", [&](const Path& d) {
         std::filesystem::rename(d / "a.log", d / "a.log.1");
         std::this_thread::sleep_for(20ms);
         put(d / "a.log", "2\n", std::ios::trunc);
       }, "1\n2\n", replaced},
      {"-f", "1\n", [&](const Path& d) {
         std::filesystem::rename(d / "a.log", d / "a.log.1");
         std::this_thread::sleep_for(20ms);
         put(d / "a.log.1", "2\n", std::ios::app);
       }, "1\n2\n", ""},
      {"-f", "abcdefgh\n", [&](const Path& d) { put(d / "a.log", "qqqqqqqqX", std::ios::trunc); },
       "abcdefgh\nqqqqqqqqX", "tail: a.log: file truncated\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.option + std::string(" ") + row.before);
    for (const char* name : {"a.log.1", "probe"}) std::filesystem::remove(in_dir(name));
    dir.write("a.log", row.before);
    start({row.option, "--retry", "-q", "a.log", "probe"}, "1000");
    // A name that appears once following has begun is told by a poll of following: tail watches the folder by then.
    const std::string missing = "tail: input file \"probe\": [^\r\n]*\n";
    expect(row.before, missing);
    dir.write("probe", "");
    const std::string ready = missing + "tail: 'probe' has appeared; following new file\n";
    expect(row.before, ready);
    row.act(dir.path());
    expect(row.out, ready + row.err);
  }
}

// -F: a log renamed away (the clock lets it go), the renamed file deleted and a new log made under the name: the new
// file is written from its start, though the system may give it the deleted file's number.
TEST_F(Follow, ANewFileWithAnOldNumberIsWrittenFromItsStart) {
  dir.write("app.log", "old\n");
  start({"-F", "app.log"});
  expect("old\n", "");
  std::filesystem::rename(in_dir("app.log"), in_dir("app.log.1"));
  const std::string gone = "tail: 'app.log' has become inaccessible: [^\r\n]*\n";
  expect("old\n", gone);
  std::filesystem::remove(in_dir("app.log.1"));
  std::string lines;
  for (int line = 1; line <= 30; ++line) lines += std::to_string(line) + "\n";
  dir.write("app.log", lines);
  expect("old\n" + lines, gone + "tail: 'app.log' has appeared; following new file\n");
}

// More files than the process may hold descriptors (natively: the shell's limit; Windows has no such limit): each
// file that cannot be opened is named with the system's reason, the others are written and followed.
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
  ASSERT_TRUE(eventually([&] { return tail->out().find("==> f") != std::string::npos && !tail->err().empty(); }));
  ASSERT_TRUE(eventually([&] { return std::regex_search(tail->err(), named); })) << tail->err();
  // Every file is either written under its header or named; none is both, none neither.
  std::string err = tail->err();
  for (int k = 10; k < 40; ++k) {
    const std::string name = "f" + std::to_string(k);
    const bool written = tail->out().find("==> " + name + " <==\n" + std::to_string(k) + "\n") != std::string::npos;
    const bool failed = err.find("\"" + name + "\"") != std::string::npos;
    EXPECT_NE(written, failed) << name << "\n" << tail->out() << err;
  }
  std::ofstream(in_dir("f10"), std::ios::binary | std::ios::app) << "more\n";
  EXPECT_TRUE(eventually([&] { return tail->out().ends_with("==> f10 <==\nmore\n"); })) << tail->out();
  EXPECT_EQ(err.find("PANIC"), std::string::npos);
}

// --pid: once that process has ended, a last poll writes what was appended and following ends with status 0, long
// before a pause of 1000 seconds would end.
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

// Ctrl+C while a carriage return waits for the byte after it (on Windows, where it may begin a line end): it is
// written before the process ends with the interrupt's status (Windows: STATUS_CONTROL_C_EXIT; natively killed by
// SIGINT). Under Wine 8 the event reaches a process only on a console made for a process, not on one it was started
// on from a shell.
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

// A writer appends numbered lines and rotates its log every 100 lines, by rename or by delete and create (retried
// while the name is still taken); before each rotation it waits until tail has taken up the file before. Every line
// shows exactly once, in order. Where a create empties the deleted file again (Wine), the writer waits for tail to
// see that before it writes: a file that regrew past the position reached between two polls cannot be told from one
// that grew.
TEST_P(Follow, RotationLosesNoLineAndWritesNoneTwice) {
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

// The folder of a followed name replaced under it, by a rename, a delete or a link re-pointed: the file the name
// leads to now shows at once, and so does a rotation in the new folder, with no poll of the clock between. Natively
// only: under Wine a folder whose file tail holds cannot be deleted (the file keeps its name until it is closed), and
// this library makes no links.
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
    if (way == "rename") std::filesystem::rename(logs, logs.string() + ".old");
    if (way == "delete") std::filesystem::remove_all(logs);
    make(".b");
    dir.write(name, "2\n");
    expect("1\n2\n", rotated(name));
    std::filesystem::rename(in_dir(name), in_dir(name + ".1"));
    dir.write(name, "3\n");
    expect("1\n2\n3\n", rotated(name) + rotated(name));
  }
}

// Windows programs append to the log tail follows by name and rotate it: tail shares the file for writing and
// deleting, so cmd's append, rename and move all go through, and each shows at once.
TEST_F(Follow, WindowsProgramsAppendToAndRotateAFollowedLog) {
  if (!w32::kDriveLetters) GTEST_SKIP() << "cmd is a Windows program";
  dir.write("app.log", "1\n");
  start({"-F", "app.log"}, "1000");
  expect("1\n", "");
  const struct { const char* line; const char* shown; bool rotates; } steps[] = {
      {"echo two>>app.log", "two\n", false},
      {"ren app.log app.log.1 && echo three>app.log", "three\n", true},
      {"move app.log old.log && echo four>app.log", "four\n", true},
  };
  std::string out = "1\n", err;
  for (const auto& step : steps) {
    support::RunOptions options;
    options.cwd = support::utf8_name(dir.path());
    options.command_line = std::string("cmd /c ") + step.line;
    EXPECT_EQ(support::Child("C:\\windows\\system32\\cmd.exe", {}, options).wait(kWithinPolls), 0u) << step.line;
    expect(out += step.shown, err += step.rotates ? rotated("app.log") : "");
  }
}

INSTANTIATE_TEST_SUITE_P(ByRenameAndByDelete, Follow, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "Rename" : "Delete"; });

}  // namespace
