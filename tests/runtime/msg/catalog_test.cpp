// Message catalogues: finding the file through NLSPATH and ROOTDIR, reading
// catalogues built by the catalogue writer, and messages and diagnostics
// taken from them.
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "tools/catalog/catalog_writer.h"
#include "runtime/msg/catalog.h"
#include "runtime/msg/diag.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/locale.h"
#include "runtime/msg/messages.h"

namespace {

using w32::hook::Call;

class Catalogs : public support::RuntimeTest {
 protected:
  void SetUp() override {
    RuntimeTest::SetUp();
    rt::setlocale(rt::LC_ALL, "POSIX");
    rt::progname = nullptr;
  }
  void TearDown() override {
    rt::set_catalog_name(nullptr);  // closes what a lookup opened
    rt::progname = nullptr;
    RuntimeTest::TearDown();
  }


  // catalog_path for the name nvo, as text ("(none)" when nothing is found).
  static std::string found() {
    char* path = rt::catalog_path("nvo", rt::NL_CAT_LOCALE);
    const std::string text = path ? path : "(none)";
    rt::free(path);
    return text;
  }

  std::string write_catalog(const std::string& name, const catalog::Catalog& contents) const {
    return dir.write(name, catalog::encode(contents));
  }
};

// `count` sets numbered from 1, each holding message 1 "set <n>".
catalog::Catalog numbered_sets(int count) {
  catalog::Catalog contents;
  for (int set = 1; set <= count; ++set) contents.sets.push_back({set, {{1, "set " + std::to_string(set)}}});
  return contents;
}

TEST_F(Catalogs, TemplateEscapes) {
  const struct {
    const char* locale;
    const char* candidate;
    const char* file;
  } cases[] = {
      {"de_DE.ISO8859-1@euro", "%N.cat", "nvo.cat"},
      {"de_DE.ISO8859-1@euro", "%L", "de_DE.ISO8859-1@euro"},
      {"de_DE.ISO8859-1@euro", "%l", "de"},
      {"de_DE.ISO8859-1@euro", "%t", "DE"},
      {"de_DE.ISO8859-1@euro", "%c", "ISO8859-1"},
      {"de_DE.ISO8859-1@euro", "%m", "euro"},
      {"de_DE.ISO8859-1@euro", "x%%y", "x%y"},
      {"de_DE.ISO8859-1@euro", "x%qy", "x%qy"},
      {"de_DE.ISO8859-1@euro", "a%;b", "a%;b"},  // %; does not end the candidate
      {"de_DE.ISO8859-1@euro", "end%", "end%"},
      {"fr", "%N_%t%m.cat", "nvo_.cat"},
      {"de.UTF-8", "%l+%t+%c", "de++UTF-8"},
      {"de@euro", "%l+%t+%c+%m", "de+++euro"},
      {"de_DE@euro", "%l+%t+%c+%m", "de+DE++euro"},
      {"de_DE.UTF-8", "%t", "DE"},
      {"_x", "%l+%t", "+x"},
  };
  for (const auto& c : cases) {
    rt::setlocale(rt::LC_MESSAGES, c.locale);
    const std::string file = dir.write(c.file, "");
    const support::Environment environment({"NLSPATH=" + in_dir(c.candidate)});
    EXPECT_EQ(found(), file) << c.locale << " " << c.candidate;
    std::filesystem::remove(file);
  }
}

TEST_F(Catalogs, CandidatesInTurn) {
  rt::setlocale(rt::LC_MESSAGES, "fr");
  const std::string second = dir.write("second", "");
  {
    const support::Environment environment({"NLSPATH=" + in_dir("missing") + ";" + in_dir("sec%tond")});
    EXPECT_EQ(found(), second);
  }
  {
    const support::Environment environment({"NLSPATH=" + in_dir("missing")});
    EXPECT_EQ(found(), "(none)");
  }
  // An empty candidate, or one whose escapes all expand to nothing, stands
  // for the name in the current directory.
  dir.write("nvo", "");
  const support::CurrentDir here(dir.path());
  for (const std::string& templates : {";" + in_dir("x"), in_dir("a") + ";;" + in_dir("b"), std::string("%t%m"),
                                       in_dir("a") + ";"}) {
    const support::Environment environment({"NLSPATH=" + templates});
    EXPECT_EQ(found(), "nvo") << templates;
  }
}

TEST_F(Catalogs, ACandidateOf260CharactersEndsTheSearch) {
  rt::setlocale(rt::LC_MESSAGES, "fr");
  const std::string base = in_dir("");
  const std::string fits = dir.write(std::string(259 - base.size(), 'f'), "");
  ASSERT_EQ(fits.size(), 259u);
  {
    const support::Environment environment({"NLSPATH=" + fits});
    EXPECT_EQ(found(), fits);
  }
  const std::string second = dir.write("second", "");
  const support::Environment environment({"NLSPATH=" + base + std::string(260 - base.size(), 'g') + ";" + second});
  EXPECT_EQ(found(), "(none)");
  const support::Environment escaped({"NLSPATH=" + base + std::string(258 - base.size(), 'g') + "%L;" + second});
  EXPECT_EQ(found(), "(none)");
}

TEST_F(Catalogs, NamesAndTheLocaleSource) {
  char* path = rt::catalog_path("sub/file.cat", rt::NL_CAT_LOCALE);  // a path: used as it is
  EXPECT_STREQ(path, "sub/file.cat");
  rt::free(path);
  path = rt::catalog_path("c:file", 0);
  EXPECT_STREQ(path, "c:file");
  rt::free(path);

  const std::string file = dir.write("it_IT", "");
  {
    const support::Environment environment({"NLSPATH=" + in_dir("%L")});
    EXPECT_EQ(rt::catalog_path("nvo", 0), nullptr);  // LANG is needed and unset
  }
  const support::Environment environment({"NLSPATH=" + in_dir("%L"), "LANG=it_IT"});
  path = rt::catalog_path("nvo", 0);
  EXPECT_STREQ(path, file.c_str());
  rt::free(path);
}

TEST_F(Catalogs, DefaultTemplateAndRootDirectory) {
  // Nothing set: the one candidate /etc/nls/locale/POSIX/nvo.cat.
  EXPECT_EQ(found(), "(none)");
  EXPECT_EQ(w32::hook::calls(Call::GetFileAttributesA), 1u);
  EXPECT_STREQ(rt::rootdir_path("/etc/x"), "/etc/x");

  // ROOTDIR, once found, is kept for the rest of the process.
  std::filesystem::create_directories(dir.path() / "etc" / "nls" / "locale" / "POSIX");
  const std::string file = dir.write("etc/nls/locale/POSIX/nvo.cat", "");
  const std::string root_with_separator = in_dir("");
  const std::string root = root_with_separator.substr(0, root_with_separator.size() - 1);
  const support::Environment environment({"ROOTDIR=" + root_with_separator});  // the trailing separator is dropped
  EXPECT_EQ(found(), root + "/etc/nls/locale/POSIX/nvo.cat");
  EXPECT_STREQ(rt::rootdir_path("relative"), "relative");
  const support::Environment changed({"ROOTDIR=/elsewhere"});
  EXPECT_EQ(std::string(rt::rootdir_path("\\x")), root + "\\x");
}

TEST_F(Catalogs, SetCountIsHeldInEightBits) {
  const struct {
    int sets;
    std::vector<int> present;
    std::vector<int> absent;
  } cases[] = {
      {255, {1, 128, 255}, {0, 256}},
      {256, {}, {1, 2, 256}},  // reads as no set at all
      {257, {1}, {2, 257}},    // reads as one set, whose index runs on to the set index
  };
  for (const auto& c : cases) {
    rt::MessageCatalog* opened = rt::catopen(write_catalog("sets.cat", numbered_sets(c.sets)).c_str(), 1);
    ASSERT_NE(opened, nullptr) << c.sets;
    EXPECT_GE(opened->fd, 10);
    for (const int set : c.present) {
      const std::string text = rt::catgets(opened, set, 1, "-");
      if (c.sets == 257) {
        EXPECT_EQ(text.substr(0, 4), "set ");  // any of the message indexes it now spans
      } else {
        EXPECT_EQ(text, "set " + std::to_string(set));
      }
    }
    for (const int set : c.absent) EXPECT_STREQ(rt::catgets(opened, set, 1, "-"), "-") << c.sets << " " << set;
    EXPECT_EQ(rt::catclose(opened), 0);
  }
}

TEST_F(Catalogs, FilesThatAreNoCatalogues) {
  const std::string good = catalog::encode(numbered_sets(2));
  std::string bad_magic = good;
  bad_magic[8] = 'x';
  std::string bad_offset = good;
  bad_offset[bad_offset.size() - 1] = '\x7f';  // S far beyond the file
  for (const std::string& bytes : {bad_magic, std::string("<gencat>"), std::string(""), bad_offset}) {
    EXPECT_EQ(rt::catopen(dir.write("bad.cat", bytes).c_str(), 1), nullptr) << bytes.size();
  }
  rt::errno = 0;
  EXPECT_EQ(rt::catopen(in_dir("missing.cat").c_str(), 1), nullptr);
  EXPECT_EQ(rt::errno, ERROR_FILE_NOT_FOUND);  // the open's error stays
  EXPECT_EQ(rt::catclose(nullptr), -1);
  EXPECT_STREQ(rt::catgets(nullptr, 1, 1, "default"), "default");
}

TEST_F(Catalogs, ALargeSetIsSearchedThroughTwoWindows) {
  const auto text = [](int number) { return std::string("m").append(std::to_string(number)); };
  catalog::Catalog contents;
  contents.sets.push_back({1, {}});
  for (int n = 1; n <= 1500; ++n) contents.sets[0].messages.push_back({n * 2, text(n * 2)});
  contents.sets.push_back({2, {{5, "other set"}}});
  rt::MessageCatalog* opened = rt::catopen(write_catalog("large.cat", contents).c_str(), 1);
  ASSERT_NE(opened, nullptr);
  for (const int number : {2, 3000, 2048, 2050, 4, 2998, 1500, 2046}) {
    EXPECT_EQ(std::string(rt::catgets(opened, 1, number, "-")), text(number));
  }
  for (const int number : {0, 1, 2049, 3001, -5}) EXPECT_STREQ(rt::catgets(opened, 1, number, "-"), "-") << number;
  EXPECT_STREQ(rt::catgets(opened, 2, 5, "-"), "other set");
  EXPECT_STREQ(rt::catgets(opened, 1, 2, "-"), "m2");
  rt::catclose(opened);
}

TEST_F(Catalogs, LongTextsAreCutAndErrnoStays) {
  catalog::Catalog contents;
  contents.sets.push_back({1, {{1, std::string(3000, 'x')}, {2, "short"}}});
  rt::MessageCatalog* opened = rt::catopen(write_catalog("long.cat", contents).c_str(), 1);
  ASSERT_NE(opened, nullptr);
  rt::errno = 55;
  EXPECT_EQ(std::string(rt::catgets(opened, 1, 1, "-")), std::string(2049, 'x'));
  EXPECT_STREQ(rt::catgets(opened, 1, 2, "-"), "short");
  EXPECT_STREQ(rt::catgets(opened, 1, 3, "-"), "-");
  w32::hook::fail_nth(Call::ReadFile, 1, ERROR_ACCESS_DENIED);
  EXPECT_STREQ(rt::catgets(opened, 1, 2, "-"), "-");
  EXPECT_EQ(rt::errno, 55);
  rt::catclose(opened);
}

TEST_F(Catalogs, MessagesComeFromTheCatalogueOfTheLocale) {
  catalog::Catalog contents;
  contents.sets.push_back({1,
                           {{0, "Positionierung"},
                            {3, "Datei \"%s\""},
                            {261, "Lesefehler %d"},  // other conversions than the default text
                            {641, ""}}});
  std::filesystem::create_directory(dir.path() / "de");
  write_catalog("de/nvo.cat", contents);
  const support::Environment environment({"NLSPATH=" + in_dir("%L/%N.cat")});
  rt::setlocale(rt::LC_MESSAGES, "de");

  EXPECT_STREQ(rt::msg_lookup(3, "input file \"%s\"", "E filename"), "Datei \"%s\"");
  EXPECT_STREQ(rt::msg_lookup(261, "read error on file \"%s\"", "E filename"), "read error on file \"%s\"");
  EXPECT_STREQ(rt::msg_lookup(4, "write error on standard output", ""), "write error on standard output");
  EXPECT_STREQ(rt::msg_text("##illegal seek"), "Positionierung");
  EXPECT_STREQ(rt::strerror(-3), "Positionierung");
  EXPECT_STREQ(rt::strerror(-10), "Unknown error #fffffff6");  // number 0 takes no %x here

  // An error text the catalogue makes empty is replaced by the number.
  support::CapturedStream captured(rt::stderr, dir);
  rt::progname = "tail";
  rt::errno = -1;
  rt::print_error(rt::msg_lookup(3, "input file \"%s\"", "E filename"), "f");
  EXPECT_EQ(captured.text(), "tail: Datei \"f\": error -1\n");

  // Back to English when LC_MESSAGES changes to a locale without a catalogue.
  rt::setlocale(rt::LC_MESSAGES, "fr");
  EXPECT_STREQ(rt::msg_lookup(3, "input file \"%s\"", "E filename"), "input file \"%s\"");
}

TEST_F(Catalogs, TheShippedGermanCatalogue) {
  rt::progname = "tail";
  rt::errno = -3;
  {
    support::CapturedStream captured(rt::stderr, dir);
    rt::print_error(rt::msg_lookup(3, "input file \"%s\"", "E filename"), "x");
    EXPECT_EQ(captured.text(), "tail: input file \"x\": illegal seek\n");
  }
  const support::Environment environment({"NLSPATH=" TAIL_NLS_DIR "/%l/%N.cat", "LANG=de_DE"});
  rt::setlocale(rt::LC_ALL, "");
  support::CapturedStream captured(rt::stderr, dir);
  rt::print_error(rt::msg_lookup(3, "input file \"%s\"", "E filename"), "x");
  // The texts of this line are plain ASCII in every code page.
  const std::string line = captured.text();
  EXPECT_EQ(line.substr(0, 26), "tail: Eingabedatei \"x\": un");
  EXPECT_EQ(line.back(), '\n');
}

}  // namespace
