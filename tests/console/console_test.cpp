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

// ---- Files -----------------------------------------------------------------------------------------------------

// The UTF-16 units of a UTF-8 text.
std::u16string utf16(const std::string& utf8) {
  std::u16string units;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    const int length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? byte : byte & (0x3F >> (length - 1));
    for (int k = 1; k < length; ++k) c = c << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += static_cast<std::size_t>(length);
    if (c >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(c);
    }
  }
  return units;
}

// A UTF-16 log holding a UTF-8 text, after its byte order mark: little- or big-endian.
std::string utf16_log(const std::string& text, bool big_endian) {
  std::string bytes;
  for (const char16_t unit : u"\uFEFF" + utf16(text)) {
    const char low = static_cast<char>(unit & 0xFF);
    const char high = static_cast<char>(unit >> 8);
    bytes += big_endian ? high : low;
    bytes += big_endian ? low : high;
  }
  return bytes;
}

// The lines of a UTF-16 log: ended by CR LF and by LF; holding U+010A and U+011A, whose little-endian units hold the
// bytes of a line feed (0A 01) and of Ctrl-Z (1A 01); and U+1F600, whose surrogate pair straddles byte 1024 of the
// file (units 511 and 512, the byte order mark being unit 0). The last two lines, and all from the second on.
struct WideLog {
  std::string text, last_two, from_second;
};

const WideLog& wide_log() {
  static const WideLog log = [] {
    std::string lines = "Ċ one Ě\r\n";
    for (char letter = 'a'; letter <= 'f'; ++letter) {
      lines += "line " + std::string(60, letter) + (letter % 2 ? " Ċ\r\n" : " Ě\n");
    }
    const std::size_t before = 1 + utf16(lines + "pair ").size();
    if (before > 511) throw std::logic_error("the lines before the pair run past byte 1022");
    const std::string last_two = "pair " + std::string(511 - before, '.') + "😀 Ċ\r\nlast Ě café\n";
    WideLog result{lines + last_two, last_two, lines.substr(lines.find('\n') + 1) + last_two};
    if (utf16(result.text).substr(510, 2) != u"😀") throw std::logic_error("the pair is not at byte 1022");
    return result;
  }();
  return log;
}

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
  std::string shown;            // what the console shows (a CR shows nothing); {not found} is not_found()
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
  static const std::vector<Row> table = [] {
    const WideLog& wide = wide_log();
    const std::string le = utf16_log(wide.text, false);
    const std::string be = utf16_log(wide.text, true);
    return std::vector<Row>{
        {"ascii", {{"a.log", "one\ntwo\r\nthree\n"}}, {"-n", "2", "a.log"}, "two\r\nthree\n"},
        // An 8-bit log in the console's own page, which is not UTF-8: 82 is é in pages 437 and 850, 9B ¢ in 437
        // and ø in 850; in page 1252 E9 is é and 80 €.
        {"eight_bit_437", {{"e.log", "caf\x82 \x9b\n"}}, {"e.log"}, "café ¢\n", false, {437}},
        {"eight_bit_850", {{"e.log", "caf\x82 \x9b\n"}}, {"e.log"}, "café ø\n", false, {850}},
        {"eight_bit_1252", {{"e.log", "caf\xe9 \x80\n"}}, {"e.log"}, "café €\n", false, {1252}},
        {"utf8", {{"u.log", kUtf8Text}}, {"u.log"}, kUtf8Text},
        {"utf8_bom", {{"b.log", "\xEF\xBB\xBF" + kUtf8Text}}, {"b.log"}, kUtf8Text},
        {"utf16le_last_2", {{"le.log", le}}, {"-n", "2", "le.log"}, wide.last_two},
        {"utf16le_from_2", {{"le.log", le}}, {"-n", "+2", "le.log"}, wide.from_second},
        {"utf16be_last_2", {{"be.log", be}}, {"-n", "2", "be.log"}, wide.last_two},
        {"utf16be_from_2", {{"be.log", be}}, {"-n", "+2", "be.log"}, wide.from_second},
        {"utf16_two_files", {{"le.log", le}, {"be.log", be}}, {"-n", "2", "le.log", "be.log"},
         "==> le.log <==\n" + wide.last_two + "\n==> be.log <==\n" + wide.last_two},
        {"german_missing_file", {}, {"Übergröße.log"}, "tail: Eingabedatei \"Übergröße.log\": {not found}\n",
         true},
        {"german_usage", {}, {"-x"}, kGermanUsage, true},
    };
  }();
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
