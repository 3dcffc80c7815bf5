// What a console shows of tail's output and messages, whatever its code page: each row is tail run in a real console
// (support::run_in_console), natively on a terminal (a UTF-8 console), for Windows in Wine's console under the code
// pages 437, 850, 1252 and 65001. This program runs on the Linux host for both targets; the build names the program
// it runs (TAIL_CONSOLE_PROGRAM), that build's catalogues (TAIL_CONSOLE_NLS) and, for Windows, its wine-run
// (TAIL_CONSOLE_WINE, "" natively).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/console.h"

namespace {

const bool kWine = *TAIL_CONSOLE_WINE != '\0';

// ---- What the console shows ------------------------------------------------------------------------------------

// A text as the console shows it: lines end in LF alone (a CR only returns to the line's start); Wine's console
// draws each unit of a surrogate pair as U+FFFD.
std::string on_console(const std::string& text) {
  std::string shown;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (kWine && static_cast<unsigned char>(text[i]) >= 0xF0) {
      shown += "\uFFFD\uFFFD";
      i += 3;
    } else if (text[i] != '\r') {
      shown += text[i];
    }
  }
  return shown;
}

// The system's text for a file that is not there, as tail gives it: Wine's, or the host's.
std::string not_found() { return kWine ? "File not found." : std::strerror(ENOENT); }

// The path template of the build's catalogues, as the program names paths.
std::string catalogues() {
  return kWine ? support::wine_path(TAIL_CONSOLE_NLS) + "\\%l\\%N.cat" : TAIL_CONSOLE_NLS "/%l/%N.cat";
}

// ---- The rows --------------------------------------------------------------------------------------------------

struct Row {
  std::string name;
  std::vector<std::pair<std::string, std::string>> files;  // name and bytes
  std::vector<std::string> args;
  std::string shown;            // as written to the console; {not found} is not_found()
  bool german = false;          // LANG=de_DE, with NLSPATH naming the build's catalogues
  std::set<unsigned> pages{};   // the consoles the row is about (0: the native terminal); all when empty
};

const std::string kUtf8Text = "first\ncafé Ünïcödé\n";

const std::string kGermanUsage =
    "Ungültiges Optionszeichen \"x\" in \"-x\"\n"
    "Aufruf: tail [-f|-F] [-q|-v] [-s Sekunden] [-b|c|k|l|m|n [+-]Anzahl] [Datei...]\n"
    "        tail -[Anzahl][b|c|k|l|m|n][f] [Datei...]\n"
    "        tail +[Anzahl][b|c|k|l|m|n][f] [Datei...]\n"
    "        tail --help | --version\n";

const std::vector<Row>& rows() {
  static const std::vector<Row> table{
      {"ascii", {{"a.log", "one\ntwo\r\nthree\n"}}, {"-n", "2", "a.log"}, "two\r\nthree\n"},
      {"eight_bit_437", {{"e.log", "caf\x82 \x9b\n"}}, {"e.log"}, "café ¢\n", false, {437}},
      {"eight_bit_850", {{"e.log", "caf\x82 \x9b\n"}}, {"e.log"}, "café ø\n", false, {850}},
      {"eight_bit_1252", {{"e.log", "caf\xe9 \x80\n"}}, {"e.log"}, "café €\n", false, {1252}},
      {"utf8", {{"u.log", kUtf8Text}}, {"u.log"}, kUtf8Text, false, {0, 65001}},
      {"german_missing_file", {}, {"Übergröße.log"}, "tail: Eingabedatei \"Übergröße.log\": {not found}\n", true,
       {0, 437, 850}},
      {"german_usage", {}, {"-x"}, kGermanUsage, true, {0, 437, 850}},
  };
  return table;
}

// ---- The table -------------------------------------------------------------------------------------------------

struct Param {
  unsigned page;
  const Row* row;
};

std::vector<Param> params() {
  const std::vector<unsigned> pages = kWine ? std::vector<unsigned>{437, 850, 1252, 65001} : std::vector<unsigned>{0};
  std::vector<Param> result;
  for (const unsigned page : pages) {
    for (const Row& row : rows()) {
      if (row.pages.empty() || row.pages.count(page)) result.push_back({page, &row});
    }
  }
  return result;
}

// A scratch directory, removed with its files at the end of the scope.
class Dir {
 public:
  Dir() {
    std::string name = (std::filesystem::temp_directory_path() / "console-XXXXXX").string();
    if (!::mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
    path_ = name;
  }
  ~Dir() { std::filesystem::remove_all(path_); }
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void PrintTo(const Param& param, std::ostream* os) { *os << "page " << param.page << ", " << param.row->name; }

class Console : public ::testing::TestWithParam<Param> {};

TEST_P(Console, Shows) {
  const auto& [page, row] = GetParam();
  const Dir dir;
  for (const auto& [name, bytes] : row->files) {
    std::ofstream(dir.path() / name, std::ios::binary) << bytes;
  }
  support::ConsoleRun run;
  run.program = TAIL_CONSOLE_PROGRAM;
  run.wine = TAIL_CONSOLE_WINE;
  run.code_page = page;
  run.cwd = dir.path().string();
  run.args = row->args;
  if (row->german) run.environment = {"LANG=de_DE", "NLSPATH=" + catalogues()};
  std::string shown = row->shown;
  if (const std::size_t at = shown.find("{not found}"); at != std::string::npos) shown.replace(at, 11, not_found());
  EXPECT_EQ(support::run_in_console(run), on_console(shown));
}

INSTANTIATE_TEST_SUITE_P(Rows, Console, ::testing::ValuesIn(params()), [](const auto& info) {
  const unsigned page = info.param.page;
  return (page ? "cp" + std::to_string(page) : std::string("terminal")) + "_" + info.param.row->name;
});

}  // namespace
