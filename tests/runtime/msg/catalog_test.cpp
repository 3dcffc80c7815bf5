// Message catalogues: finding the file through NLSPATH and ROOTDIR, the
// messages and error texts taken from a catalogue, and the catalogues the
// build ships. What the reader finds in a file is the catalog fuzz target's.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "tools/catalog/catalog_writer.h"
#include "runtime/msg/catalog.h"
#include "runtime/msg/diag.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/locale.h"
#include "runtime/msg/messages.h"
#include "runtime/startup/exit.h"

namespace {

// Each test starts in the POSIX locale with NLSPATH at <scratch>/<locale>/nvo.cat,
// where there is no catalogue until the test writes one.
class Catalogs : public support::RuntimeTest {
 protected:
  void SetUp() override {
    RuntimeTest::SetUp();
    rt::setlocale(rt::LC_ALL, "POSIX");
    environment({"NLSPATH=" + in_dir("%L/%N.cat")});
  }
  void TearDown() override {
    rt::set_catalog_name(nullptr);  // closes what a lookup opened
    RuntimeTest::TearDown();
  }

  // The runtime's environment holds exactly these entries until the next call.
  void environment(std::vector<std::string> entries) {
    environment_.reset();
    environment_ = std::make_unique<support::Environment>(std::move(entries));
  }

  std::string write_catalog(const std::string& name, const catalog::Catalog& contents) const {
    std::filesystem::create_directories((dir.path() / name).parent_path());
    return dir.write(name, catalog::encode(contents));
  }

  // catalog_path for a name, as text ("(none)" when nothing is found).
  static std::string found(const char* name = "nvo", int oflag = rt::NL_CAT_LOCALE) {
    char* path = rt::catalog_path(name, oflag);
    const std::string text = path ? path : "(none)";
    rt::free(path);
    return text;
  }

 private:
  std::unique_ptr<support::Environment> environment_;
};

TEST_F(Catalogs, TemplateEscapes) {
  const struct { const char* locale; const char* candidate; const char* file; } cases[] = {
      {"de_DE.ISO8859-1@euro", "%N.cat", "nvo.cat"},  {"de_DE.ISO8859-1@euro", "%L", "de_DE.ISO8859-1@euro"},
      {"de_DE.ISO8859-1@euro", "%l", "de"},           {"de_DE.ISO8859-1@euro", "%t", "DE"},
      {"de_DE.ISO8859-1@euro", "%c", "ISO8859-1"},    {"de_DE.ISO8859-1@euro", "%m", "euro"},
      {"de_DE.ISO8859-1@euro", "x%%y", "x%y"},        {"de_DE.ISO8859-1@euro", "x%qy", "x%qy"},
      {"de_DE.ISO8859-1@euro", "end%", "end%"},       {"de@euro", "%l+%t+%c+%m", "de+++euro"},
  };
  for (const auto& c : cases) {
    rt::setlocale(rt::LC_MESSAGES, c.locale);
    const std::string file = dir.write(c.file, "");
    environment({"NLSPATH=" + in_dir(c.candidate)});
    EXPECT_EQ(found(), file) << c.locale << " " << c.candidate;
    std::filesystem::remove(file);
  }
}

// Candidates in turn; an empty one, or one whose escapes expand to nothing,
// stands for the name in the current directory; one of 260 characters ends
// the search.
TEST_F(Catalogs, CandidatesInTurnAndTheLocaleTheyTake) {
  rt::setlocale(rt::LC_MESSAGES, "fr");
  const std::string base = in_dir("");
  const std::string fits = dir.write(std::string(259 - base.size(), 'f'), "");
  const std::string second = dir.write("second", "");
  dir.write("nvo", "");
  const support::CurrentDir here(dir.path());
  const struct { std::string templates; std::string found; } cases[] = {
      {base + "missing;" + base + "sec%tond", second}, {base + "missing", "(none)"},
      {";" + base + "x", "nvo"}, {base + "a;;" + base + "b", "nvo"}, {"%t%m", "nvo"}, {base + "a;", "nvo"},
      {fits, fits}, {base + std::string(260 - base.size(), 'g') + ";" + second, "(none)"},
      {base + std::string(258 - base.size(), 'g') + "%L;" + second, "(none)"},
  };
  for (const auto& c : cases) {
    environment({"NLSPATH=" + c.templates});
    EXPECT_EQ(found(), c.found) << c.templates;
  }
  // A name with a separator or a drive is a path, used as it is.
  for (const char* name : {"sub/file.cat", "c:file"}) EXPECT_EQ(found(name), name);
  // oflag 0 takes the locale from LANG, which must be set.
  const std::string italian = dir.write("it_IT", "");
  environment({"NLSPATH=" + base + "%L"});
  EXPECT_EQ(found("nvo", 0), "(none)");
  environment({"NLSPATH=" + base + "%L", "LANG=it_IT"});
  EXPECT_EQ(found("nvo", 0), italian);
}

// Nothing set: the one candidate /etc/nls/locale/POSIX/nvo.cat, under ROOTDIR when that is set.
TEST_F(Catalogs, DefaultTemplateAndRootDirectory) {
  environment({});
  EXPECT_STREQ(rt::rootdir_path("/etc/x"), "/etc/x");
  // ROOTDIR, once found, is kept for the rest of the process.
  write_catalog("etc/nls/locale/POSIX/nvo.cat", {});
  const std::string root_with_separator = in_dir("");
  const std::string root = root_with_separator.substr(0, root_with_separator.size() - 1);
  environment({"ROOTDIR=" + root_with_separator});  // the trailing separator is dropped
  EXPECT_EQ(found(), root + "/etc/nls/locale/POSIX/nvo.cat");
  EXPECT_STREQ(rt::rootdir_path("relative"), "relative");
  environment({"ROOTDIR=/elsewhere"});
  EXPECT_EQ(std::string(rt::rootdir_path("\\x")), root + "\\x");
}

// A catalogue's descriptor keeps out of the way of the program's own; a
// missing file leaves the open's error.
TEST_F(Catalogs, OpenedAboveTheProgramsDescriptors) {
  rt::MessageCatalog* opened = rt::catopen(write_catalog("a.cat", {}).c_str(), rt::NL_CAT_LOCALE);
  ASSERT_NE(opened, nullptr);
  EXPECT_GE(opened->fd, 10);
  EXPECT_EQ(rt::catclose(opened), 0);
  rt::errno = 0;
  EXPECT_EQ(rt::catopen(in_dir("missing.cat").c_str(), 1), nullptr);
  EXPECT_EQ(rt::errno, ERROR_FILE_NOT_FOUND);
}

TEST_F(Catalogs, ACatalogueTextStandsWhereItTakesTheArgumentsOfTheDefault) {
  write_catalog("de/nvo.cat", {{{1, {{0, "Positionierung"}, {3, "Datei \"%s\""}, {261, "Lesefehler %d"},
                                     {535, "Zahl \"%*s\"\n"}, {9000, "%-*d|"}}}}});
  rt::setlocale(rt::LC_MESSAGES, "de");
  const struct { int number; const char* english; const char* shown; } cases[] = {
      {3, "input file \"%s\"", "Datei \"%s\""},
      {261, "read error on file \"%s\"", "read error on file \"%s\""},  // %d for %s
      {535, "count \"%s\"\n", "count \"%s\"\n"},                      // a '*' takes one more
      {9000, "%*d|", "%-*d|"},
      {4, "write error on standard output", "write error on standard output"},  // not in the catalogue
  };
  for (const auto& c : cases) EXPECT_STREQ(rt::msg_lookup(c.number, c.english, "E"), c.shown) << c.number;
  EXPECT_STREQ(rt::msg_text("##illegal seek"), "Positionierung");
  EXPECT_STREQ(rt::strerror(-3), "Positionierung");
  EXPECT_STREQ(rt::strerror(-10), "Unknown error #fffffff6");  // number 0 takes no %x here

  // Back to English when LC_MESSAGES changes to a locale without a catalogue.
  rt::setlocale(rt::LC_MESSAGES, "fr");
  EXPECT_STREQ(rt::msg_lookup(3, "input file \"%s\"", "E filename"), "input file \"%s\"");
  // Every change of locale opens the catalogue anew; its exit hook takes one place of the 32 all the same.
  for (int i = 0; i < 80; ++i) {
    rt::setlocale(rt::LC_MESSAGES, i % 2 ? "de" : "fr");
    rt::msg_lookup(3, "input file \"%s\"", "E filename");
  }
  EXPECT_EQ(rt::atexit([] {}), 0);
}

TEST_F(Catalogs, NumberedLiteralsWithoutACatalogue) {
  const struct { const char* literal; const char* text; } cases[] = {
      {"1835##not enough memory for buffering", "not enough memory for buffering"},
      {"0##illegal seek", "illegal seek"}, {"##abc", "abc"},   {" 12##x%sy", "x%sy"},      {"0x10##hex", "hex"},
      {"99999999999##too large", "too large"}, {"Unknown error", "Unknown error"}, {"12#x", "12#x"}, {"", ""},
  };
  for (const auto& c : cases) {
    rt::errno = 77;
    EXPECT_STREQ(rt::msg_text(c.literal), c.text) << c.literal;
    EXPECT_EQ(rt::errno, 77) << c.literal;
  }
}

// The catalogues the build makes give every message a translation the
// lookup accepts, keeping its line breaks and its leading '!'.
TEST_F(Catalogs, TheShippedCataloguesTranslateEveryMessage) {
  const auto lines = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };
  for (const char* language : {"de_DE", "fr_FR"}) {
    environment({"NLSPATH=" TAIL_NLS_DIR "/%l/%N.cat", std::string("LANG=") + language});
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

}  // namespace
