// Program start-up end to end: the argument vector from raw command lines,
// wildcard words, the tab signal with "~" entries and the NVOARGS block (on
// Windows, where a starting program can hand them over), the cleaned
// environment, and the start-up's own failure.
#include <cctype>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"

namespace {

using Lines = std::vector<std::string>;

class Startup : public support::RuntimeTest {
 protected:
  // The probe's output lines that begin with `prefix`, without it.
  static Lines lines(const std::string& output, const std::string& prefix) {
    Lines found;
    std::size_t start = 0;
    for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = output.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
    }
    return found;
  }

  support::ChildResult probe(const support::RunOptions& options, const std::vector<std::string>& args = {}) {
    return support::run(support::sibling_program("probe"), args, options);
  }

  Lines arguments_of(const std::string& command_line, support::RunOptions options = {}) {
    options.command_line = support::sibling_program("probe") + command_line;
    options.cwd = dir.path().string();
    const support::ChildResult result = probe(options);
    EXPECT_EQ(result.status, 0u) << result.err;
    const Lines all = lines(result.out, "argv=");
    return Lines(all.begin() + (all.empty() ? 0 : 1), all.end());  // without the program name
  }
};

TEST_F(Startup, TheEnvironmentIsCleaned) {
  const struct {
    std::vector<std::string> environment;
    Lines expected;
  } cases[] = {
      {{"A=1", "=C:=C:\\x", "~tilde", "NVOARGS=7f", "Path=X", "B=2"}, {"A=1", "B=2", "PATH=X"}},
      {{"PATH=A", "Z=9", "Path=B"}, {"Z=9", "PATH=A"}},
      {{"path=C", "Y=1"}, {"Y=1"}},
      {{"PAth=D", "PATH=E", "PATH=F"}, {"PATH=F"}},
  };
  // Only the variables given count: a system may add its own (Wine adds
  // WINE... and SystemRoot).
  const auto name_of = [](const std::string& entry) {
    std::string name = entry.substr(0, entry.find('=', 1));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
  };
  for (const auto& c : cases) {
    support::RunOptions options;
    options.environment = c.environment;
    const support::ChildResult result = probe(options);
    EXPECT_EQ(result.status, 0u);
    Lines given;
    for (const std::string& entry : lines(result.out, "env=")) {
      for (const std::string& set : c.environment) {
        if (name_of(entry) == name_of(set)) {
          given.push_back(entry);
          break;
        }
      }
    }
    EXPECT_EQ(given, c.expected) << testing::PrintToString(c.environment);
  }
}

TEST_F(Startup, AnAllocationFailureEndsStartUpWith127) {
  for (const char* nth : {"1", "2", "5"}) {
    support::RunOptions options;
    options.environment = support::plain_environment();
    options.environment->push_back(std::string("PROBE_FAIL_ALLOCATION=") + nth);
    const support::ChildResult result = probe(options, {"a", "b"});
    EXPECT_EQ(result.status, 127u) << nth;
    EXPECT_EQ(result.err, "_main: memory allocation error during startup.\r\n") << nth;
    EXPECT_EQ(result.out, "") << nth;
  }
}

TEST_F(Startup, AnUnhandledExceptionEndsTheProcessWithItsCode) {
  if (!w32::kDriveLetters) GTEST_SKIP() << "a fault ends a process by its signal here";
  support::RunOptions options;
  options.environment = support::plain_environment();
  options.environment->push_back("PROBE_FAULT=0");
  const support::ChildResult result = probe(options);
  EXPECT_EQ(result.status, 0xC0000005u);  // access violation
  EXPECT_EQ(result.out, "");
}

TEST_F(Startup, ABrokenPipeEndsTailWith269) {
  dir.write("big", std::string(100000, 'x') + "\n");
  support::RunOptions options;
  options.output_reader_gone = true;
  options.cwd = dir.path().string();
  const support::ChildResult result = support::run(support::sibling_program("../tail"), {"-c", "100000", "big"}, options);
  EXPECT_EQ(result.status, 269u);
  EXPECT_EQ(result.err, "");
}

TEST_F(Startup, CommandLineQuotes) {
  if (!w32::kDriveLetters) GTEST_SKIP() << "the shell splits the command line here";
  const struct {
    const char* line;
    Lines args;
  } cases[] = {
      {" \"my file\"", {"my file"}},
      {" a\"b c\"d", {"ab cd"}},
      {" 'it''s'", {"its"}},
      {" \"say \\\"hi\\\"\"", {"say \"hi\""}},
      {" 'a\\\"b' \"c'd\"", {"a\\\"b", "c'd"}},
      {" \"\" x ''", {"", "x", ""}},
      {" \"open quote", {"open quote"}},
      {" C:\\dir\\file a\\b", {"C:\\dir\\file", "a\\b"}},
      {"  \t spaced \t  out\t", {"spaced", "out"}},
  };
  for (const auto& c : cases) EXPECT_EQ(arguments_of(c.line), c.args) << c.line;
}

TEST_F(Startup, WildcardWords) {
  if (!w32::kDriveLetters) GTEST_SKIP() << "the shell expands wildcards here";
  dir.write("b.log", "");
  dir.write("a.log", "");
  dir.write("c.txt", "");
  EXPECT_EQ(arguments_of(" *.log"), Lines({"a.log", "b.log"}));
  EXPECT_EQ(arguments_of(" *.zzz"), Lines({"*.zzz"}));
  EXPECT_EQ(arguments_of(" \"*.log\" '?.txt'"), Lines({"*.log", "?.txt"}));
  EXPECT_EQ(arguments_of(" c.* *.log"), Lines({"c.txt", "a.log", "b.log"}));
  EXPECT_EQ(arguments_of(" \"*\".log"), Lines({"*.log"}));  // no unquoted wildcard
  EXPECT_EQ(arguments_of(" \"*\".lo?"), Lines({"a.log", "b.log"}));  // the quoted one is expanded as well
}

TEST_F(Startup, TildeEntriesAfterATab) {
  if (!w32::kDriveLetters) GTEST_SKIP() << "no starting program passes arguments this way here";
  support::RunOptions options;
  options.environment = support::plain_environment();
  for (const char* entry : {"~tail", "~-n", "~5", "~*.log"}) options.environment->push_back(entry);
  EXPECT_EQ(arguments_of("\tignored words", options), Lines({"-n", "5", "*.log"}));
  // Without the tab the command line is split and the entries are ignored.
  EXPECT_EQ(arguments_of(" split", options), Lines({"split"}));
}

TEST_F(Startup, AnArgumentBlockThroughNvoargs) {
  if (!w32::kDriveLetters) GTEST_SKIP() << "no mapping handle can be inherited here";
  support::RunOptions options;
  options.argument_block = support::ArgumentBlock{{"tail", "x y", "*.log", ""}, true, false};
  EXPECT_EQ(arguments_of(" from the line", options), Lines({"x y", "*.log", ""}));

  options.argument_block->for_this_process = false;  // another process's block is ignored
  EXPECT_EQ(arguments_of(" from the line", options), Lines({"from", "the", "line"}));

  options.argument_block = support::ArgumentBlock{{"tail", "unended"}, true, true};  // runs past its view
  EXPECT_EQ(arguments_of(" from the line", options), Lines({"from", "the", "line"}));
}

}  // namespace
