// Message catalogues: finding the file through NLSPATH and ROOTDIR, reading
// back what the catalogue writer lays out, the messages and diagnostics
// taken from a catalogue, and the catalogues the build ships.
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

using w32::hook::Call;

// System handles made and not closed again, as the call counts tell.
int handles_made() {
  return static_cast<int>(w32::hook::calls(Call::CreateFileA) + w32::hook::calls(Call::DuplicateHandle) -
                          w32::hook::calls(Call::CloseHandle));
}

// `count` sets numbered from 1, each holding message 1 "set <n>".
catalog::Catalog numbered_sets(int count) {
  catalog::Catalog contents;
  for (int set = 1; set <= count; ++set) contents.sets.push_back({set, {{1, "set " + std::to_string(set)}}});
  return contents;
}

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
      {"de_DE.ISO8859-1@euro", "a%;b", "a%;b"},  // %; does not end the candidate
      {"de_DE.ISO8859-1@euro", "end%", "end%"},       {"fr", "%N_%t%m.cat", "nvo_.cat"},
      {"de.UTF-8", "%l+%t+%c", "de++UTF-8"},          {"de@euro", "%l+%t+%c+%m", "de+++euro"},
      {"de_DE@euro", "%l+%t+%c+%m", "de+DE++euro"},   {"_x", "%l+%t", "+x"},
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

TEST_F(Catalogs, DefaultTemplateAndRootDirectory) {
  // Nothing set: the one candidate /etc/nls/locale/POSIX/nvo.cat.
  environment({});
  EXPECT_EQ(found(), "(none)");
  EXPECT_EQ(w32::hook::calls(Call::GetFileAttributesA), 1u);
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

// Every message the writer lays out is found, texts cut to 2049 bytes; every
// other set and number gives the default text; closing leaves no handle. The
// set count is held in 8 bits: 256 sets read as none.
TEST_F(Catalogs, TheReaderFindsWhatTheWriterWrote) {
  const struct { catalog::Catalog written; bool sets_seen; } cases[] = {
      {{}, true},
      {{{{1, {{0, "zero"}, {1, ""}, {5, "five\n"}, {2147483647, "max"}}}}}, true},
      {{{{1, {{1, "a"}}}, {2, {}}, {40, {{3, "c"}, {4, "d"}}}, {2147483647, {{1, std::string(3000, 'x')}}}}}, true},
      {numbered_sets(255), true},
      {numbered_sets(256), false},
  };
  for (const auto& c : cases) {
    const std::vector<catalog::Set> read = c.sets_seen ? c.written.sets : std::vector<catalog::Set>{};
    const int handles = handles_made();
    rt::MessageCatalog* opened = rt::catopen(write_catalog("round.cat", c.written).c_str(), rt::NL_CAT_LOCALE);
    ASSERT_NE(opened, nullptr);
    EXPECT_GE(opened->fd, 10);
    for (const int set : {0, 1, 2, 3, 40, 41, 128, 255, 256, 2147483647}) {
      for (const int number : {-1, 0, 1, 2, 3, 4, 5, 6, 2147483647}) {
        std::string expected = "-";
        for (const auto& s : read) {
          for (const auto& m : s.messages) {
            if (s.number == set && m.number == number) expected = m.text.substr(0, 2049);
          }
        }
        EXPECT_EQ(rt::catgets(opened, set, number, "-"), expected) << c.written.sets.size() << " " << set << " " << number;
      }
    }
    EXPECT_EQ(rt::catclose(opened), 0);
    EXPECT_EQ(handles_made(), handles);
  }
}

TEST_F(Catalogs, FilesThatAreNoCatalogues) {
  const std::string good = catalog::encode(numbered_sets(2));
  std::string bad_magic = good;
  bad_magic[8] = 'x';
  std::string bad_offset = good;
  bad_offset[bad_offset.size() - 1] = '\x7f';  // S far beyond the file
  for (const std::string& bytes : {bad_magic, std::string("<gencat>"), std::string(""), bad_offset,
                                   good.substr(0, good.size() - 1)}) {
    const int handles = handles_made();
    EXPECT_EQ(rt::catopen(dir.write("bad.cat", bytes).c_str(), 1), nullptr) << bytes.size();
    EXPECT_EQ(handles_made(), handles) << "a handle left open; " << bytes.size() << " bytes";
  }
  rt::errno = 0;
  EXPECT_EQ(rt::catopen(in_dir("missing.cat").c_str(), 1), nullptr);
  EXPECT_EQ(rt::errno, ERROR_FILE_NOT_FOUND);  // the open's error stays
  EXPECT_EQ(rt::catclose(nullptr), -1);
  EXPECT_STREQ(rt::catgets(nullptr, 1, 1, "default"), "default");
}

TEST_F(Catalogs, ALargeSetIsSearchedThroughTwoWindows) {
  const auto text = [](int number) { return "m" + std::to_string(number); };
  catalog::Catalog contents{{{1, {}}, {2, {{5, "other set"}}}}};
  for (int n = 1; n <= 1500; ++n) contents.sets[0].messages.push_back({n * 2, text(n * 2)});
  rt::MessageCatalog* opened = rt::catopen(write_catalog("large.cat", contents).c_str(), 1);
  ASSERT_NE(opened, nullptr);
  for (const int number : {2, 3000, 2048, 2050, 4, 2998, 1500, 2046}) {
    EXPECT_EQ(rt::catgets(opened, 1, number, "-"), text(number));
  }
  for (const int number : {0, 1, 2049, 3001, -5}) EXPECT_STREQ(rt::catgets(opened, 1, number, "-"), "-") << number;
  EXPECT_STREQ(rt::catgets(opened, 2, 5, "-"), "other set");
  EXPECT_STREQ(rt::catgets(opened, 1, 2, "-"), "m2");
  // Another catalogue's set 1 is its own, not the one left from the lookups above.
  rt::MessageCatalog* other = rt::catopen(write_catalog("other.cat", {{{1, {{1, "x"}, {2, "other m2"}}}}}).c_str(), 1);
  EXPECT_STREQ(rt::catgets(other, 1, 2, "-"), "other m2");
  EXPECT_STREQ(rt::catgets(opened, 1, 2, "-"), "m2");
  rt::catclose(other);
  rt::catclose(opened);
}

// A system that hands out at most five bytes a read, as a pipe may.
BOOL read_five(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped) {
  return ::ReadFile(file, buffer, std::min<DWORD>(to_read, 5), done, overlapped);
}

TEST_F(Catalogs, ReadsThatComeInPiecesAndReadsThatFail) {
  const std::string path = write_catalog("pieces.cat", {{{1, {{1, "one"}, {2, "two"}}}, {2, {{5, "five"}}}}});
  rt::MessageCatalog* opened;
  {
    const w32::hook::Replace pieces(w32::hook::replacements.ReadFile, &read_five);
    opened = rt::catopen(path.c_str(), 1);
    ASSERT_NE(opened, nullptr);
    EXPECT_STREQ(rt::catgets(opened, 1, 2, "-"), "two");
    EXPECT_STREQ(rt::catgets(opened, 2, 5, "-"), "five");
  }
  rt::errno = 55;
  w32::hook::fail_nth(Call::ReadFile, 1, ERROR_ACCESS_DENIED);
  EXPECT_STREQ(rt::catgets(opened, 2, 5, "-"), "-");
  EXPECT_EQ(rt::errno, 55);
  rt::catclose(opened);
}

TEST_F(Catalogs, ACatalogueTextStandsWhereItTakesTheArgumentsOfTheDefault) {
  write_catalog("de/nvo.cat", {{{1, {{0, "Positionierung"}, {3, "Datei \"%s\""}, {261, "Lesefehler %d"},
                                     {535, "Zahl \"%*s\"\n"}, {641, ""}, {9000, "%-*d|"}}}}});
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

  // An error text the catalogue makes empty is replaced by the number.
  support::CapturedStream captured(rt::stderr, dir);
  rt::progname = "tail";
  rt::errno = -1;
  rt::print_error(rt::msg_lookup(3, "input file \"%s\"", "E filename"), "f");
  EXPECT_EQ(captured.text(), "tail: Datei \"f\": error -1\n");

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

TEST_F(Catalogs, AFailedOpenIsNotTriedAgainForTheSameLocale) {
  rt::setlocale(rt::LC_MESSAGES, "de");
  EXPECT_STREQ(rt::msg_lookup(3, "input file \"%s\"", "E filename"), "input file \"%s\"");
  EXPECT_EQ(rt::errno, 0);  // the failed search left no error behind
  const unsigned tried = w32::hook::calls(Call::GetFileAttributesA);
  EXPECT_EQ(tried, 1u);
  for (int i = 0; i < 3; ++i) rt::msg_lookup(4, "write error on standard output", "");
  EXPECT_EQ(w32::hook::calls(Call::GetFileAttributesA), tried);
  rt::setlocale(rt::LC_MESSAGES, "fr");
  rt::msg_lookup(4, "write error on standard output", "");
  EXPECT_EQ(w32::hook::calls(Call::GetFileAttributesA), tried + 1);
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
