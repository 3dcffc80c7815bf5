// Program start-up: the words of a command line, in the process and, on Windows,
// through the probe; the argument sources; the cleaned environment; failures.
// The argument block's bounds are the start fuzz target's.
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"
#include "runtime/msg/heap.h"
#include "runtime/startup/start.h"

namespace {

using Words = std::vector<std::string>;

class Start : public support::RuntimeTest {
 protected:
  // The words start-up makes of a command line in this process.
  static Words split(const std::string& line) {
    rt::glob_t vector{0, static_cast<char**>(rt::malloc(sizeof(char*) * 8)), 0, nullptr, 8};
    vector.gl_names = vector.gl_pathv;
    EXPECT_EQ(rt::split_command_line(line.c_str(), &vector), 0) << line;
    const Words words(vector.gl_pathv, vector.gl_pathv + vector.gl_pathc);
    for (std::uint32_t i = 0; i < vector.gl_pathc; ++i) rt::free(vector.gl_pathv[i]);
    rt::free(vector.gl_pathv);
    return words;
  }

  // The probe's output lines that begin with `prefix`, without it.
  static Words lines(const std::string& output, const std::string& prefix) {
    Words found;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
    }
    return found;
  }

  // The arguments main got in the probe after the program's name, which is
  // the one it was started by, or "tail" as the "~" entries and blocks here name it.
  static Words arguments(const std::string& program, const Words& args, const support::RunOptions& options) {
    const support::ChildResult result = support::run(program, args, options);
    EXPECT_EQ(result.status, 0u) << result.err;
    Words all = lines(result.out, "argv=");
    EXPECT_EQ(lines(result.out, "argc="), Words{std::to_string(all.size())});
    EXPECT_TRUE(!all.empty() && (all[0] == program || all[0] == "tail")) << testing::PrintToString(all);
    return Words(all.begin() + (all.empty() ? 0 : 1), all.end());
  }

  // Options whose environment is the plain one and these entries.
  static support::RunOptions with(const Words& entries) {
    support::RunOptions options;
    options.environment = support::plain_environment();
    options.environment->insert(options.environment->end(), entries.begin(), entries.end());
    return options;
  }

  const std::string probe = support::sibling_program("probe");
};

// Command lines after the program name and their arguments, with a.log, b.log
// and c.txt at hand: what the start fuzz target's round trip of quoting does
// not show.
const struct {
  const char* line;
  Words args;
} kCommandLines[] = {
    {" \"open quote", {"open quote"}}, {" C:\\dir\\file a\\b", {"C:\\dir\\file", "a\\b"}},
    {" 'a\\\"b' \"c'd\" e\\\"f", {"a\\\"b", "c'd", "e\\f"}},  // outside double quotes \ is ordinary
    {" z *.log -n *.zzz", {"z", "a.log", "b.log", "-n", "*.zzz"}},
    {" c.* *.log", {"c.txt", "a.log", "b.log"}},  // each word's matches sorted in its place
    {" '*.log' \"?.txt\"", {"*.log", "?.txt"}}, {" \"*\".log", {"*.log"}},  // no unquoted wildcard
    {" \"*\".lo?", {"a.log", "b.log"}}, {" \"a\"*", {"a.log"}},              // the quoted ones expanded as well
};

TEST_F(Start, CommandLineWords) {
  for (const char* name : {"b.log", "a.log", "c.txt"}) dir.write(name, "");
  {
    const support::CurrentDir here(dir.path());
    for (const auto& c : kCommandLines) {
      Words expected{"/path with/tail"};  // the program name is a word like the others
      expected.insert(expected.end(), c.args.begin(), c.args.end());
      EXPECT_EQ(split(std::string(" \t'/path with/tail'") + c.line), expected) << c.line;
    }
  }
  if constexpr (w32::kDriveLetters) {  // elsewhere the shell has split and expanded the words
    support::RunOptions options;
    options.cwd = dir.path().string();
    for (const auto& c : kCommandLines) {
      options.command_line = probe + c.line;
      EXPECT_EQ(arguments(probe, {}, options), c.args) << c.line;
    }
  }
}

// A tab right after the program name: the arguments are in "~" entries, in
// the code page of the file functions like all the environment, and taken as
// they are. Here, where the command line quotes the program's name, the tab
// goes in the name.
TEST_F(Start, TildeEntriesAfterATab) {
  support::RunOptions options = with({"~tail", "~-n", "~5", "~*.log", "~café"});
  EXPECT_EQ(arguments(probe, {"split", "*.log"}, options), Words({"split", "*.log"}));

  std::string program = probe;
  if constexpr (w32::kDriveLetters) {
    options.command_line = probe + "\tignored words";
  } else {
    program = (dir.path() / "probe\tnamed").string();
    std::filesystem::create_symlink(probe, program);
  }
  EXPECT_EQ(arguments(program, {"ignored"}, options), Words({"-n", "5", "*.log", support::oem_text("café")}));
}

TEST_F(Start, TheEnvironmentIsCleaned) {
  const struct {
    Words environment;
    Words expected;
  } cases[] = {
      {{"~tail", "A=1", "=C:=C:\\", "Path=mixed", "~-n", "path=lower", "NVOARGS=0", "PATH=upper", "B=2"},
       {"A=1", "B=2", "PATH=upper"}},
      {{"A=1", "=C:=C:\\x", "~tilde", "NVOARGS=7f", "Path=X", "B=2"}, {"A=1", "B=2", "PATH=X"}},
  };
  // Only the variables given count: a system may add its own (Wine: WINE..., SystemRoot).
  const auto name_of = [](const std::string& entry) {
    std::string name = entry.substr(0, entry.find('=', 1));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
  };
  for (const auto& c : cases) {
    support::RunOptions options;
    options.environment = c.environment;
    std::set<std::string> names;
    for (const std::string& entry : c.environment) names.insert(name_of(entry));
    Words given;
    for (const std::string& entry : lines(support::run(probe, {}, options).out, "env=")) {
      if (names.count(name_of(entry))) given.push_back(entry);
    }
    EXPECT_EQ(given, c.expected) << testing::PrintToString(c.environment);
  }
}

// The descriptor table, the environment, a copy of an entry, the growth of the words past 8.
TEST_F(Start, AnAllocationFailureEndsStartUpWith127) {
  for (const char* failure : {"PROBE_FAIL_ALLOCATION=1", "PROBE_FAIL_ALLOCATION=2", "PROBE_FAIL_ALLOCATION=3",
                              "PROBE_FAIL_REALLOCATION=1"}) {
    const support::ChildResult result = support::run(probe, Words(10, "word"), with({failure}));
    EXPECT_EQ(result.status, 127u) << failure;
    EXPECT_EQ(result.err, "_main: memory allocation error during startup.\r\n") << failure;
    EXPECT_EQ(result.out, "") << failure;
  }
}

#ifdef _WIN32
// Only Windows hands a child a mapping and ends a process by an exception.
TEST_F(Start, AnArgumentBlockAndAnUnhandledException) {
  support::RunOptions options;
  options.command_line = probe + " from the line";
  options.argument_block = support::ArgumentBlock{{"tail", "x y", "*.log", "", "caf\x82"}, true, false};
  EXPECT_EQ(arguments(probe, {}, options), Words({"x y", "*.log", "", "caf\x82"}));  // bytes as the sender chose them

  options.argument_block->for_this_process = false;  // another process's block is ignored
  EXPECT_EQ(arguments(probe, {}, options), Words({"from", "the", "line"}));

  options.argument_block = support::ArgumentBlock{{"tail", "unended"}, true, true};  // runs past its view
  EXPECT_EQ(arguments(probe, {}, options), Words({"from", "the", "line"}));

  const support::ChildResult result = support::run(probe, {}, with({"PROBE_FAULT=0"}));
  EXPECT_EQ(result.status, 0xC0000005u);  // access violation
  EXPECT_EQ(result.out, "");
}
#endif

}  // namespace
