// Message catalogues as the lookup takes them: a text stands only where it takes the arguments of the built-in one,
// the catalogues the build ships translate every message, and a catalogue tells the code page of its texts; the
// writer's exact bytes of a small catalogue. Finding the file is the end-to-end cases' (their env lines), what the
// reader finds in a file, of any message source the writer takes too, the catalog fuzz target's.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/support/support.h"
#include "tools/catalog/catalog_writer.h"
#include "runtime/msg/diag.h"
#include "runtime/msg/locale.h"
#include "runtime/msg/messages.h"
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
  dir.write("de/nvo.cat", catalog::encode({{{1, {{0, "Positionierung"}, {3, "Datei \"%s\""}, {261, "Lesefehler %d"},
                                                   {535, "Zahl \"%*s\"\n"}, {9000, "%-*d|"}}}}}));
  const support::Environment environment({"NLSPATH=" + in_dir("%l/%N.cat")});
  rt::setlocale(rt::LC_MESSAGES, "de");
  const struct { int number; const char* english; const char* shown; } cases[] = {
      {3, "input file \"%s\"", "Datei \"%s\""},
      {261, "read error on file \"%s\"", "read error on file \"%s\""},  // %d for %s
      {535, "count \"%s\"\n", "count \"%s\"\n"},                      // a '*' takes one more
      {9000, "%*d|", "%-*d|"},
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
  for (const char* language : {"de_DE", "fr_FR"}) {
    const support::Environment environment({"NLSPATH=" TAIL_NLS_DIR "/%l/%N.cat", std::string("LANG=") + language});
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
    const std::string usage = rt::msg_lookup(rt::messages::kUsage);
    const std::size_t column = usage.find("tail ");
    for (std::size_t line = usage.find('\n'); line != std::string::npos; line = usage.find('\n', line + 1)) {
      EXPECT_EQ(usage.substr(line + 1, column + 5), std::string(column, ' ') + "tail ") << language;
    }
  }
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

// The code page msg_codepage tells is the one the open catalogue's trailer records, when it is one the writer
// writes; any other word, or no catalogue, gives 0. Asking opens the catalogue a lookup would read and keeps errno.
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

// The build's catalogues are in the Windows console's OEM page on Windows, in UTF-8 elsewhere, and say so.
TEST_F(Catalogs, TheShippedCataloguesTellTheirCodePage) {
  const support::Environment environment({"NLSPATH=" TAIL_NLS_DIR "/%l/%N.cat", "LANG=de_DE"});
  rt::setlocale(rt::LC_ALL, "");
  const unsigned page = rt::msg_codepage();
  EXPECT_EQ(page, w32::kDriveLetters ? 850u : 65001u);
  const std::string text = rt::msg_lookup(rt::messages::kInvalidOption);  // "Ungültiges ..."
  EXPECT_NE(text.find(page == 850 ? "Ung\x81ltig" : "Ung\xC3\xBCltig"), std::string::npos) << text;
}

}  // namespace
