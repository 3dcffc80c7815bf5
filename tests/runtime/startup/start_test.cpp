// The pieces of start-up in the process: command-line splitting with its
// quote rules and wildcard words, the tab signal, the argument block's
// bounds, and the two passes over the environment block.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/msg/heap.h"
#include "runtime/startup/start.h"

namespace {

using Words = std::vector<std::string>;

class Start : public support::RuntimeTest {
 protected:
  // The words of a command line, as start-up hands them to main.
  static Words split(const std::string& line) {
    rt::glob_t vector{0, static_cast<char**>(rt::malloc(sizeof(char*) * 8)), 0, nullptr, 8};
    vector.gl_names = vector.gl_pathv;
    EXPECT_EQ(rt::split_command_line(line.c_str(), &vector), 0);
    Words words;
    for (std::uint32_t i = 0; i < vector.gl_pathc; ++i) {
      words.push_back(vector.gl_pathv[i]);
      rt::free(vector.gl_pathv[i]);
    }
    rt::free(vector.gl_pathv);
    return words;
  }

  // An environment block from its entries.
  static std::string block(const Words& entries) {
    std::string text;
    for (const std::string& entry : entries) text += entry + '\0';
    return text + '\0';
  }
};

TEST_F(Start, CommandLineSplitting) {
  const struct {
    const char* line;
    Words words;
  } cases[] = {
      {"tail \"my file\"", {"tail", "my file"}},
      {"tail a\"b c\"d", {"tail", "ab cd"}},
      {"tail 'it''s'", {"tail", "its"}},
      {"tail \"say \\\"hi\\\"\"", {"tail", "say \"hi\""}},
      {"tail 'a\\\"b' \"c'd\" e\\\"f", {"tail", "a\\\"b", "c'd", "e\\f"}},  // outside quotes \ is ordinary
      {"tail \"\" x ''", {"tail", "", "x", ""}},
      {"tail \"open quote", {"tail", "open quote"}},
      {"tail C:\\dir\\file", {"tail", "C:\\dir\\file"}},
      {"  \ttail \t -n\t5  ", {"tail", "-n", "5"}},
      {"", {}},
      {"'/path with blank/tail' '' \"'\"", {"/path with blank/tail", "", "'"}},
  };
  for (const auto& c : cases) EXPECT_EQ(split(c.line), c.words) << c.line;
}

TEST_F(Start, WildcardWordsAreExpandedInTheirPlace) {
  dir.write("b.log", "");
  dir.write("a.log", "");
  const support::CurrentDir here(dir.path());
  EXPECT_EQ(split("tail z *.log -n *.zzz"), Words({"tail", "z", "a.log", "b.log", "-n", "*.zzz"}));
  EXPECT_EQ(split("tail '*.log' \"?.log\""), Words({"tail", "*.log", "?.log"}));
  EXPECT_EQ(split("tail \"a\"*"), Words({"tail", "a.log"}));
  EXPECT_EQ(split("tail \"*\".lo?"), Words({"tail", "a.log", "b.log"}));
  // Enough words to grow the vector several times.
  std::string line = "tail";
  Words expected{"tail"};
  for (int i = 0; i < 40; ++i) {
    expected.push_back(std::string("w").append(std::to_string(i)));
    line += " " + expected.back();
  }
  EXPECT_EQ(split(line), expected);
}

TEST_F(Start, TheTabSignal) {
  EXPECT_TRUE(rt::tab_signal("tail\t-n"));
  EXPECT_TRUE(rt::tab_signal("tail\t"));
  EXPECT_FALSE(rt::tab_signal("tail -n\t5"));
  EXPECT_FALSE(rt::tab_signal("tail"));
  EXPECT_FALSE(rt::tab_signal(""));
  EXPECT_FALSE(rt::tab_signal(" \ttail"));  // the first character is a blank
}

TEST_F(Start, ArgumentBlocksMustEndInsideTheirView) {
  const auto make = [](std::uint32_t pid, std::uint32_t count, const std::string& strings) {
    std::string bytes(20, '\0');
    for (int i = 0; i < 4; ++i) {
      bytes[8 + i] = static_cast<char>(pid >> (8 * i));
      bytes[16 + i] = static_cast<char>(count >> (8 * i));
    }
    return bytes + strings;
  };
  const auto fits = [](const std::string& bytes, std::uint32_t pid) {
    return rt::arg_block_fits(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), pid);
  };
  using namespace std::string_literals;
  EXPECT_TRUE(fits(make(42, 2, "tail\0-n\0"s), 42));
  EXPECT_TRUE(fits(make(42, 0, ""), 42));
  EXPECT_FALSE(fits(make(42, 2, "tail\0-n\0"s), 43));     // another process's
  EXPECT_FALSE(fits(make(42, 2, "tail\0-n"s), 42));       // the last string runs past the view
  EXPECT_FALSE(fits(make(42, 3, "tail\0-n\0"s), 42));     // fewer strings than counted
  EXPECT_FALSE(fits(make(42, 0xFFFFFFFF, "x\0"s), 42));  // a count no view can hold
  EXPECT_FALSE(fits(std::string(19, '\0'), 0));          // shorter than the header
}

TEST_F(Start, TheEnvironmentPasses) {
  const std::string text = block({"~tail", "A=1", "=C:=C:\\", "Path=mixed", "~-n", "path=lower", "NVOARGS=0",
                                  "PATH=upper", "~5", "B=2"});
  const rt::EnvironmentScan scan = rt::scan_environment(text.c_str());
  EXPECT_EQ(scan.tilde_entries, 3);
  EXPECT_EQ(scan.entries, 5);
  EXPECT_STREQ(scan.upper_path, "PATH=upper");
  EXPECT_STREQ(scan.mixed_path, "Path=mixed");
  EXPECT_EQ(scan.arg_block, nullptr);  // handle 0 names no mapping

  char* args[4] = {};
  char** environment = rt::build_environment(text.c_str(), scan, args);
  Words entries;
  for (char** entry = environment; *entry; ++entry) entries.push_back(*entry);
  EXPECT_EQ(entries, Words({"A=1", "B=2", "PATH=upper"}));
  EXPECT_EQ(Words(args, args + 3), Words({"tail", "-n", "5"}));
  for (char** entry = environment; *entry; ++entry) rt::free(*entry);
  rt::free(environment);
  for (char* arg : args) rt::free(arg);

  // Only a mixed-case path: it becomes PATH, after everything else.
  const std::string mixed = block({"Path=X", "C=3"});
  environment = rt::build_environment(mixed.c_str(), rt::scan_environment(mixed.c_str()), nullptr);
  EXPECT_STREQ(environment[0], "C=3");
  EXPECT_STREQ(environment[1], "PATH=X");
  EXPECT_EQ(environment[2], nullptr);
  for (char** entry = environment; *entry; ++entry) rt::free(*entry);
  rt::free(environment);
}

}  // namespace
