// Catalogues, locale names and catalogue paths where the end-to-end cases cannot reach (the reader on any file is the
// catalog fuzz target's); the formatter as messages use it, with the widths a translation may give, bounded buffers.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#include "tests/support/support.h"
#include "tools/catalog/catalog_writer.h"
#include "runtime/msg/catalog.h"
#include "runtime/msg/diag.h"
#include "runtime/msg/format.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/locale.h"
#include "runtime/msg/messages.h"
#include "runtime/msg/stdlib.h"
#include "runtime/startup/exit.h"
#include "runtime/win32/errno.h"

namespace {
// Each test starts with no catalogue open and in the POSIX locale; the tests name catalogues by NLSPATH.
class Catalogs : public support::RuntimeTest {
 protected:
  void SetUp() override {
    RuntimeTest::SetUp();
    rt::setlocale(rt::LC_ALL, "POSIX");
  }
  void TearDown() override {
    rt::set_catalog_name(nullptr);  // closes what a lookup opened
    RuntimeTest::TearDown();
  }
};

TEST_F(Catalogs, ACatalogueTextStandsWhereItTakesTheArgumentsOfTheDefault) {
  std::filesystem::create_directory(dir.path() / "de");
  dir.write("de/nvo.cat",
            catalog::encode({{{1, {{0, "Positionierung"}, {3, "Datei \"%s\""}, {261, "Lesefehler %d"}}}}}));
  const support::Environment environment({"NLSPATH=" + in_dir("%l/%N.cat")});
  rt::setlocale(rt::LC_MESSAGES, "de");
  const struct { int number; const char* english; const char* shown; } cases[] = {
      {3, "input file \"%s\"", "Datei \"%s\""},
      {261, "read error on file \"%s\"", "read error on file \"%s\""},  // %d for %s
      {4, "write error on standard output", "write error on standard output"},  // not in the catalogue
  };
  for (const auto& c : cases) EXPECT_STREQ(rt::msg_lookup(c.number, c.english, "E"), c.shown) << c.number;
  // The runtime's own error codes read as its messages, the system's as the system's texts.
  EXPECT_STREQ(rt::strerror(-3), "Positionierung");
  EXPECT_STREQ(rt::strerror(-10), "Unknown error #fffffff6");  // number 0 takes no %x here
  EXPECT_EQ(std::string(rt::strerror(0)).find("Unknown error"), std::string::npos);
}

// The build's catalogues give every message a translation the lookup takes, with its line breaks and leading '!'.
TEST_F(Catalogs, TheShippedCataloguesTranslateEveryMessage) {
  const auto lines = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };
  std::vector<std::string> usages;  // each language its own, though a catalogue was open for the one before
  for (const char* language : {"de_DE", "fr_FR"}) {
    // A name one letter off is another variable.
    const support::Environment environment(
        {"XLSPATH=missing/%N", "NLSPATH=" TAIL_NLS_DIR "/%l/%N.cat", std::string("LANG=") + language});
    rt::setlocale(rt::LC_ALL, "");
    for (const rt::Message& message : rt::kMessages) {
      const std::string english = message.text;
      const std::string text = rt::msg_lookup(message);
      if (english == rt::messages::kUnknownErrorCode.text) {
        EXPECT_EQ(text, english) << language;  // number 0 is the seek error's text, without the %x
        continue;
      }
      EXPECT_NE(text, english) << language << " " << message.number;
      EXPECT_EQ(lines(text), lines(english)) << language << " " << message.number;
      EXPECT_EQ(text.ends_with('\n'), english.ends_with('\n')) << language << " " << message.number;
      EXPECT_EQ(text.starts_with('!'), english.starts_with('!')) << language << " " << message.number;
    }
    // The usage lines stand under the first one's "tail".
    const std::string& usage = usages.emplace_back(rt::msg_lookup(rt::messages::kUsage));
    const std::size_t column = usage.find("tail ");
    for (std::size_t line = usage.find('\n'); line != std::string::npos; line = usage.find('\n', line + 1)) {
      EXPECT_EQ(usage.substr(line + 1, column + 5), std::string(column, ' ') + "tail ") << language;
    }
  }
  EXPECT_NE(usages[0], usages[1]);
}
std::string le32(std::uint32_t value) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(value >> shift & 0xff);
  return bytes;
}

TEST(CatalogEncode, SmallCatalogueByteForByte) {
  // Magic, texts at 9 and 11, the index at 12, the set index at S = 28, the trailer: UTF-8 (65001) and S.
  const std::string expected = std::string("<gencat>\0a\0\0", 12) + le32(1) + le32(9) + le32(2) + le32(11) +
                               le32(7) + le32(12) + le32(65001) + le32(28);
  EXPECT_EQ(catalog::encode({{{7, {{1, "a"}, {2, ""}}}}}), expected);
  // In the OEM code page: the text's byte and the page in the trailer word.
  const std::string oem = catalog::encode(catalog::to_oem({{{7, {{1, "\u00FC"}}}}}));
  EXPECT_EQ(oem, std::string("<gencat>\0\x81\0", 11) + le32(1) + le32(9) + le32(7) + le32(11) + le32(850) + le32(19));
}

// msg_codepage: the page the catalogue's trailer records if the writer writes it, else 0; it opens it and keeps errno.
TEST_F(Catalogs, TheCodePageIsTheOneTheCatalogueRecords) {
  std::filesystem::create_directory(dir.path() / "de");
  const support::Environment environment({"NLSPATH=" + in_dir("%l/%N.cat")});
  rt::setlocale(rt::LC_MESSAGES, "de");
  const struct { std::uint32_t trailer; unsigned page; } rows[] = {
      {65001, 65001}, {850, 850}, {0, 0}, {437, 0}, {1252, 0}, {1, 0}, {0xFFFFFFFF, 0},
  };
  for (const auto& row : rows) {
    dir.write("de/nvo.cat", catalog::encode(catalog::Catalog{{{1, {{3, "Datei \"%s\""}}}}, row.trailer}));
    rt::errno = 7;
    EXPECT_EQ(rt::msg_codepage(), row.page) << row.trailer;
    EXPECT_EQ(rt::errno, 7) << row.trailer;
    EXPECT_STREQ(rt::msg_lookup(3, "input file \"%s\"", "E filename"), "Datei \"%s\"") << row.trailer;
    rt::set_catalog_name(nullptr);  // the next row's catalogue is opened anew
  }
  rt::setlocale(rt::LC_MESSAGES, "it");  // no catalogue for it
  rt::errno = 7;
  EXPECT_EQ(rt::msg_codepage(), 0u);
  EXPECT_EQ(rt::errno, 7);
}

// Locale names in their plain form; the names the end-to-end cases choose catalogues by are theirs.
TEST(LocalePlainName, WindowsAndPosixNames) {
  const struct { const char* name; const char* plain; } rows[] = {
      // POSIX names and BCP 47 tags: code set, modifier, script and variant go; a country of three letters is none.
      {"de_DE", "de_DE"}, {"de-DE", "de_DE"}, {"de_DE.ISO8859-1@euro", "de_DE"}, {"de@euro", "de"}, {"de", "de"},
      {"DE-at", "de_AT"}, {"es-419", "es_419"}, {"sr-Latn-RS", "sr_RS"}, {"zh-Hans", "zh"}, {"de-1996", "de"},
      {"deu_DEU", "deu"},
      // Windows' names in any case: a language alone takes its country, an unknown country none.
      {"German_Germany.1252", "de_DE"}, {"german_germany", "de_DE"}, {"GERMAN", "de_DE"}, {"Francais", "fr_FR"},
      {"Deutsch_Deutschland", "de_DE"}, {"German_Switzerland.850", "de_CH"}, {"French_Canada.1252", "fr_CA"},
      {"English_United Kingdom.1252", "en_GB"}, {"english-uk", "en_GB"}, {"English", "en_US"}, {"German_Narnia", "de"},
      // No name.
      {"Klingon", ""}, {"C", ""}, {".UTF-8", ""}, {"_DE", ""}, {"-DE", ""}, {"d3_DE", ""}, {"Germ", ""},
      {"United States", ""},
  };
  for (const auto& row : rows) EXPECT_STREQ(rt::locale_plain_name(row.name).text, row.plain) << row.name;
}

// Empty fails the call; "cut:FOLDER" gives FOLDER and a name too long, cut to the buffer as Windows cuts it.
std::string g_program;
DWORD fake_module_file_name(HMODULE, LPWSTR name, DWORD size) {
  if (g_program.empty()) return 0;
  const auto give = [name](const std::string& text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) name[i] = static_cast<unsigned char>(text[i]);
    name[length] = 0;
  };
  if (g_program.starts_with("cut:")) {
    give(g_program.substr(4) + std::string(size, 'x') + ".exe", size - 1);
    return size;
  }
  const std::size_t length = std::min<std::size_t>(g_program.size(), size - 1);
  give(g_program, length);
  return static_cast<DWORD>(length);
}

// A locale's catalogue: through the templates with the name as it stands, then its plain form, then without NLSPATH in
// nls/<language> beside the program; "" for none. Without ROOTDIR the default template names /etc/nls/locale, which
// holds no catalogue of ours. The end-to-end cases' names and templates (catalogues beside the program) are theirs.
TEST_F(Catalogs, ALocaleWithoutCatalogueTriesItsPlainFormThenTheProgramsFolder) {
  for (const char* folder : {"de_DE", "fr", "prog/nls/de", "prog/nls/fr_FR"}) {
    std::filesystem::create_directories(dir.path() / folder);
    dir.write(std::string(folder) + "/nvo.cat", "");
  }
  const std::string program = in_dir("prog/tail.exe");
  const std::string beside = in_dir("prog/nls/de/nvo.cat");
  const std::string far_away = in_dir(std::string(240, 'd') + "/tail.exe");
  const struct { const char* locale; std::string nlspath; std::string program; std::string found; } rows[] = {
      // The name as it stands first.
      {"de_DE", in_dir("%L/%N.cat"), program, in_dir("de_DE/nvo.cat")},
      {"fr_FR", in_dir("%l/%N.cat"), program, in_dir("fr/nvo.cat")},
      {"fr_FR", in_dir("%L/%N.cat"), program, ""},  // NLSPATH says where: not beside the program
      // Then its plain form, through the same templates.
      {"German_Germany.1252", in_dir("%L/%N.cat"), program, in_dir("de_DE/nvo.cat")},
      {"de-DE", in_dir("%L/%N.cat"), program, in_dir("de_DE/nvo.cat")},
      {"French_Canada.1252", in_dir("%l/%N.cat"), program, in_dir("fr/nvo.cat")},
      {"French", in_dir("%L/%N.cat") + ";" + in_dir("%l/%N.cat"), program, in_dir("fr/nvo.cat")},
      // Then, without NLSPATH, nls/<language> in the program's folder.
      {"de", "-", program, beside},
      {"de_AT.UTF-8@euro", "-", program, beside},
      {"fr-FR", "-", program, ""},  // the language's folder, not the locale's
      {"de-DE", "-", "tail.exe", ""},  // no folder
      {"de-DE", "-", "", ""},          // the call fails
      {"de-DE", "-", "cut:" + in_dir("prog/"), ""},  // too long for the buffer: cut short, so not the program's
      {"de-DE", "-", far_away, ""},    // the folder leaves no room for the rest of the path
  };
  w32::hook::Replace fake(w32::hook::replacements.GetModuleFileNameW, &fake_module_file_name);
  for (const auto& row : rows) {
    std::vector<std::string> entries;
    if (row.nlspath != "-") entries.push_back("NLSPATH=" + row.nlspath);
    const support::Environment environment(entries);
    g_program = row.program;
    ASSERT_NE(rt::setlocale(rt::LC_MESSAGES, row.locale), nullptr);
    char* path = rt::catalog_path("nvo", rt::NL_CAT_LOCALE);
    EXPECT_EQ(path ? std::string(path) : "", row.found) << row.locale << " " << row.nlspath << " " << row.program;
    rt::free(path);
  }
}
using rt::format_arg;

// Arguments that are missing or of another type print harmlessly: %n writes nothing.
TEST(Format, ConversionsWidthsPrecisionsAndMismatchedArguments) {
  using namespace std::string_literals;
  const char unterminated[2] = {'a', 'b'};  // with a precision a %s array need not end in NUL
  int count = -1, stored = -1;
  const struct { const char* format; std::vector<rt::FormatArg> args; std::string expected; } cases[] = {
      {"%d|%5d|%i", {format_arg(INT_MIN), format_arg(1), format_arg(-2)}, "-2147483648|    1|-2"},
      {"%ld..%ld|%x", {format_arg(0L), format_arg(2147483647L), format_arg(-10)}, "0..2147483647|fffffff6"},
      {"%5d|%05d|%-5d|", {format_arg(-42), format_arg(-42), format_arg(42)}, "  -42|-0042|42   |"},
      {"%c|%3c|%-3c|", {format_arg('a'), format_arg('b'), format_arg('c')}, "a|  b|c  |"},
      {"%.1s|%.2s|%-4s|", {format_arg(unterminated), format_arg(unterminated), format_arg("ab")}, "a|ab|ab  |"},
      {"%*d|%.*s", {format_arg(4), format_arg(42), format_arg(2), format_arg("whole")}, "  42|wh"},
      {"%%|%y|ab%", {}, "%|y|ab"},
      {"%d|%#x|%#o", {format_arg(20), format_arg(0), format_arg(0)}, "20|0|0"},  // no prefix for zero
      {"[%d|%s|%c|%x]", {}, "[0||\0|0]"s}, {"[%s]", {format_arg(42)}, "[]"}, {"[%d]", {format_arg("text")}, "[0]"},
      {"[%n]", {format_arg("text")}, "[]"}, {"[%5s]", {}, "[     ]"}, {"[%s]", {format_arg(&count)}, "[]"},
      // %.0s and %.0c print nothing; %n stores the count so far; a name in a string is its bytes, padded by bytes.
      {"[%.0s%.0c%n|%-6s|%3s]", {format_arg("abc"), format_arg('d'), format_arg(&stored), format_arg(rt::Name{"ж.x"}), format_arg(rt::Name{"a"})},
       "[|\xD0\xB6.x  |  a]"},
  };
  for (const auto& c : cases) {
    char buffer[128];
    const int n = rt::vsnprintf(buffer, sizeof buffer, c.format, c.args);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(n)), c.expected) << c.format;
    EXPECT_EQ(buffer[n], '\0') << c.format;
  }
  EXPECT_EQ(count, -1);
  EXPECT_EQ(stored, 1);
}

TEST(Format, SprintfKeepsTheBuffersEnd) {
  char buffer[32];  // a pointer is printed whole by the unsigned conversions, as the heap's warning does
  rt::sprintf(buffer, "free(0x%x)", reinterpret_cast<const void*>(std::uintptr_t{0x1234abcd}));
  EXPECT_STREQ(buffer, "free(0x1234abcd)");
  char cut[6];
  EXPECT_EQ(rt::sprintf(cut, "%s-%d", "abcdef", 12345), 12);
  EXPECT_STREQ(cut, "abcde");
  char exact[4];
  EXPECT_EQ(rt::sprintf(exact, "abc"), 3);
  EXPECT_STREQ(exact, "abc");
  EXPECT_EQ(rt::snprintf(exact, 0, "%s", "xyz"), 3);  // no room: nothing written, the length told
  EXPECT_STREQ(exact, "abc");
}

#ifdef _WIN32
#define stderr (__acrt_iob_func(2))  // the C library's, for the death test's own use: MinGW's is a macro
#endif
// A fatal error is one whole line on standard error, the system's text after a '!' message, and status 1.
TEST(FatalDeathTest, EndsTheProgramWithOneLine) {
  EXPECT_EXIT((rt::progname = "prog", rt::errno = ERROR_NOT_ENOUGH_MEMORY, rt::fatal("!no copy of %s", "x")),
              testing::ExitedWithCode(1), "^prog: no copy of x: .+\\s$");
}
// An error line without the end: the same line, whose length print_error tells (its line feed one character).
TEST(FatalDeathTest, AnErrorLineTellsItsLength) {
  const auto print = [] {
    rt::progname = "prog";
    rt::errno = ERROR_NOT_ENOUGH_MEMORY;
    const int told = rt::print_error("no copy of %s", "x");
    const std::size_t length = std::strlen("prog: no copy of x: \n") + std::strlen(rt::strerror(rt::errno));
    rt::exit(told == static_cast<int>(length) ? 3 : 4);
  };
  EXPECT_EXIT(print(), testing::ExitedWithCode(3), "^prog: no copy of x: .+\\s$");
}
#undef stderr

// Numbers in any base to 36, in either case (argument blocks name their mapping in hexadecimal).
TEST(Numbers, AnyBaseInEitherCase) {
  EXPECT_EQ(rt::strtol("0xaF", nullptr, 16) + rt::strtol("zA", nullptr, 36), 0xAF + 35 * 36 + 10);
}

// One text may stand for another: the same kinds of argument in the same order, each '*' taking an int.
TEST(Format, TextsThatTakeTheSameArguments) {
  const struct { const char* format; const char* other; bool same; } cases[] = {
      {"%s: %d", "%-5s = %i", true}, {"%d", "%s", false},       {"%s %s", "%s", false},
      {"%*d", "%d", false},          {"%.*s", "%*s", true},      {"%c%x%u%ld", "%d%i%X%d", true},
      {"%n", "%d", false},           {"%% %y", "", true},        {"50%", "50", true},
  };
  for (const auto& c : cases) EXPECT_EQ(rt::same_conversions(c.format, c.other), c.same) << c.format << " " << c.other;
}
}  // namespace
