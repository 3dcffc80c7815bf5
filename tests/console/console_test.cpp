// What a real console shows of tail's output and messages: natively a terminal (UTF-8), for Windows Wine's console in
// pages 437, 850, 1252 and 65001. It runs on the Linux host for both targets; the build names the program it runs
// (TAIL_CONSOLE_PROGRAM), that build's catalogues (TAIL_CONSOLE_NLS) and wine-run (TAIL_CONSOLE_WINE, "" natively).
#include <gtest/gtest.h>
#include <iconv.h>
#include <stdlib.h>
#include <cerrno>
#include <cstdint>
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

std::string utf16(std::string utf8, bool big_endian = false) {
  std::string bytes(utf8.size() * 2, '\0');  // no character takes more units than bytes
  char* in = utf8.data();
  char* out = bytes.data();
  std::size_t left = utf8.size(), room = bytes.size();
  const iconv_t convert = ::iconv_open(big_endian ? "UTF-16BE" : "UTF-16LE", "UTF-8");
  if (convert == reinterpret_cast<iconv_t>(std::intptr_t{-1}) || ::iconv(convert, &in, &left, &out, &room) != 0) {
    throw std::runtime_error("iconv cannot convert the text to UTF-16");
  }
  ::iconv_close(convert);
  bytes.resize(bytes.size() - room);
  return bytes;
}

// A UTF-16 log's lines after its byte order mark, ended by CR LF and LF; U+010A and U+011A, whose little-endian units
// hold LF (0A 01) and Ctrl-Z (1A 01); U+1F600, its pair straddling byte 1024. All, the last two, from the second on.
struct WideLog { std::string text, last_two, from_second; };
const WideLog& wide_log() {
  static const WideLog log = [] {
    std::string lines = "Ċ one Ě\r\n";
    for (char letter = 'a'; letter <= 'f'; ++letter) {
      lines += "line " + std::string(60, letter) + (letter % 2 ? " Ċ\r\n" : " Ě\n");
    }
    const std::string last_two =
        "pair " + std::string(510 - utf16(lines + "pair ").size() / 2, '.') + "😀 Ċ\r\nlast Ě café\n";
    WideLog result{lines + last_two, last_two, lines.substr(lines.find('\n') + 1) + last_two};
    if (utf16(result.text).substr(1020, 4) != utf16("😀")) throw std::logic_error("the pair is not at byte 1022");
    return result;
  }();
  return log;
}

// A text as the console shows it: a CR only returns to the line's start; Wine's console draws each unit of a
// surrogate pair as U+FFFD. {not found} is the system's text for a missing file: Wine's, or the host's.
std::string on_console(std::string text) {
  if (const std::size_t at = text.find("{not found}"); at != std::string::npos) {
    text.replace(at, 11, kWine ? "File not found." : std::strerror(ENOENT));
  }
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
struct Row {
  std::string name;
  std::vector<std::pair<std::string, std::string>> files;  // name and bytes
  std::vector<std::string> args;
  std::string shown;
  bool german = false;         // LANG=de_DE, with NLSPATH naming the build's catalogues
  std::set<unsigned> pages{};  // the consoles the row is about (0: the native terminal); all when empty
};
const std::string kUtf8Text = "first\ncafé Ünïcödé\n";
std::string headed(const std::string& name, const std::string& text) { return "==> " + name + " <==\n" + text; }
const std::vector<Row>& rows() {
  static const std::vector<Row> table = [] {
    const WideLog& wide = wide_log();
    const std::string le = utf16("\uFEFF" + wide.text, false);
    const std::string be = utf16("\uFEFF" + wide.text, true);
    return std::vector<Row>{
        {"ascii_and_utf8",
         {{"a.log", "one\ntwo\r\nthree\n"}, {"u.log", kUtf8Text}, {"b.log", "\xEF\xBB\xBF" + kUtf8Text}},
         {"-n", "2", "a.log", "u.log", "b.log"},
         headed("a.log", "two\r\nthree\n") + "\n" + headed("u.log", kUtf8Text) + "\n" + headed("b.log", kUtf8Text)},
        // An 8-bit log in the console's page: 82 is é in 437 and 850, 9B ¢ in 437 and ø in 850; in 1252 E9 é, 80 €.
        {"eight_bit_437", {{"e.log", "caf\x82 \x9b\n"}}, {"e.log"}, "café ¢\n", false, {437}},
        {"eight_bit_850", {{"e.log", "caf\x82 \x9b\n"}}, {"e.log"}, "café ø\n", false, {850}},
        {"eight_bit_1252", {{"e.log", "caf\xe9 \x80\n"}}, {"e.log"}, "café €\n", false, {1252}},
        {"utf16_from_2", {{"le.log", le}, {"be.log", be}}, {"-n", "+2", "le.log", "be.log"},
         headed("le.log", wide.from_second) + "\n" + headed("be.log", wide.from_second)},
        {"utf16_last_two", {{"le.log", le}, {"be.log", be}}, {"-n", "2", "le.log", "be.log"},
         headed("le.log", wide.last_two) + "\n" + headed("be.log", wide.last_two)},
        // Names any page lacks but the console shows: in headers, and in a German message.
        {"names_in_any_script", {{"журнал.log", "ж\n"}, {"日志.log", "日\n"}, {"🙂.log", "🙂\n"}},
         {"-n", "1", "журнал.log", "日志.log", "🙂.log"},
         headed("журнал.log", "ж\n") + "\n" + headed("日志.log", "日\n") + "\n" + headed("🙂.log", "🙂\n")},
        {"german_missing_file", {}, {"Übergröße_ж.log"}, "tail: Eingabedatei \"Übergröße_ж.log\": {not found}\n",
         true},
        {"german_usage", {}, {"-x"},
         "Ungültiges Optionszeichen \"x\" in \"-x\"\n"
         "Aufruf: tail [-f|-F] [-q|-v] [-s Sekunden] [-b|c|k|l|m|n [+-]Anzahl] [Datei...]\n"
         "        tail -[Anzahl][b|c|k|l|m|n][f] [Datei...]\n"
         "        tail +[Anzahl][b|c|k|l|m|n][f] [Datei...]\n"
         "        tail --help | --version\n",
         true},
    };
  }();
  return table;
}
struct Param { unsigned page; const Row* row; };
void PrintTo(const Param& param, std::ostream* os) { *os << "page " << param.page << ", " << param.row->name; }
std::vector<Param> params() {
  std::vector<Param> result;
  for (const unsigned page : kWine ? std::vector<unsigned>{437, 850, 1252, 65001} : std::vector<unsigned>{0}) {
    for (const Row& row : rows()) {
      if (row.pages.empty() || row.pages.count(page)) result.push_back({page, &row});
    }
  }
  return result;
}
class Console : public ::testing::TestWithParam<Param> {};

TEST_P(Console, Shows) {
  const auto& [page, row] = GetParam();
  std::string dir = (std::filesystem::temp_directory_path() / "console-XXXXXX").string();
  if (!::mkdtemp(dir.data())) throw std::runtime_error("mkdtemp failed");
  for (const auto& [name, bytes] : row->files) std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
  support::ConsoleRun run{TAIL_CONSOLE_PROGRAM, TAIL_CONSOLE_WINE, page, {}, dir, row->args};
  const std::string nls = kWine ? support::wine_path(TAIL_CONSOLE_NLS) + "\\%l\\%N.cat" : TAIL_CONSOLE_NLS "/%l/%N.cat";
  if (row->german) run.environment = {"LANG=de_DE", "NLSPATH=" + nls};
  const std::string shown = support::run_in_console(run);
  std::filesystem::remove_all(dir);
  EXPECT_EQ(shown, on_console(row->shown));
}

INSTANTIATE_TEST_SUITE_P(Rows, Console, ::testing::ValuesIn(params()), [](const auto& info) {
  const unsigned page = info.param.page;
  return (page ? "cp" + std::to_string(page) : std::string("terminal")) + "_" + info.param.row->name;
});
}  // namespace
