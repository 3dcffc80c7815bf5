// The message catalogue writer: the source format, the checks, the binary
// layout read back by the reader's rules, and the shipped translations.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tools/catalog/catalog_writer.h"

namespace {

using catalog::Catalog;
using Entry = std::tuple<std::int32_t, std::int32_t, std::string>;  // set, message, text

std::vector<Entry> entries(const Catalog& catalog) {
  std::vector<Entry> all;
  for (const auto& set : catalog.sets) {
    for (const auto& message : set.messages) all.emplace_back(set.number, message.number, message.text);
  }
  return all;
}

// `count` sets numbered 1 up, each with one message.
Catalog numbered_sets(int count) {
  Catalog catalog;
  for (int s = 1; s <= count; ++s) catalog.sets.push_back({s, {{1, "set " + std::to_string(s)}}});
  return catalog;
}

TEST(CatalogSource, MessagesSetsAndDirectives) {
  const struct {
    std::string source;
    std::vector<Entry> expected;
  } cases[] = {
      {"1 one\n2 two\n", {{1, 1, "one"}, {1, 2, "two"}}},
      {"$set 3\n5 five\n$set 2 the second\n1 x\n", {{2, 1, "x"}, {3, 5, "five"}}},
      {"$set 2\n1 a\n$set 3\n1 b\n$set 2\n2 c\n", {{2, 1, "a"}, {2, 2, "c"}, {3, 1, "b"}}},
      {"$set\t4\n1 a\n", {{4, 1, "a"}}},
      {"$set 2\n1 a\n$set 3\n1 b\n$delset 2 gone\n", {{3, 1, "b"}}},
      {"$set 2\n1 a\n$delset 2\n2 b\n", {{2, 2, "b"}}},
      {"$delset 7\n1 a\n", {{1, 1, "a"}}},
      {"$\n$ comment\n$\tcomment\n1 a\n", {{1, 1, "a"}}},
      {"\n1 a\n\n \t\n2 b\n", {{1, 1, "a"}, {1, 2, "b"}}},
      {"$set 2\r\n1 a\r\n2 b\r", {{2, 1, "a"}, {2, 2, "b"}}},
      {"1 a\rb\n", {{1, 1, "a\rb"}}},
      {"1  x\n2\t\ty\n", {{1, 1, " x"}, {1, 2, "\ty"}}},
      {"1 \n", {{1, 1, ""}}},
      {"1 a\n2 b\n1\n", {{1, 2, "b"}}},
      {"$set 4\n1 a\n1\n5\n", {}},
      {"1 old\n1 new\n", {{1, 1, "new"}}},
      {"007 x\n0 zero\n2147483647 max\n", {{1, 0, "zero"}, {1, 7, "x"}, {1, 2147483647, "max"}}},
      {"$quote \"\n1 \"  padded  \" \t\n2 \"\"\n", {{1, 1, "  padded  "}, {1, 2, ""}}},
      {"$quote \"\n1 say \"hi\"\n2 \"a \\\"b\\\" c\"\n", {{1, 1, "say \"hi\""}, {1, 2, "a \"b\" c"}}},
      {"$quote '\n1 'it\\'s'\n", {{1, 1, "it's"}}},
      {"$quote \"\n$quote\n1 \"a\"\n", {{1, 1, "\"a\""}}},
      {"1 ab\\\ncd\n", {{1, 1, "abcd"}}},
      {"$quote \"\n1 \"a\\\r\n b\"\r\n", {{1, 1, "a b"}}},
      {"1 a\\\\\n2 b\n", {{1, 1, "a\\"}, {1, 2, "b"}}},
      {"1 \\n\\t\\v\\b\\r\\f\\\\\n", {{1, 1, "\n\t\v\b\r\f\\"}}},
      {"1 \\101\\7\\0101\\377\\18\n", {{1, 1, "A\7\010" "1\377\001" "8"}}},
      {"1 gr\xc3\xb6\xc3\x9f" "e\n", {{1, 1, "gr\xc3\xb6\xc3\x9f" "e"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(entries(catalog::parse_source(c.source)), c.expected) << c.source;
}

TEST(CatalogSource, MalformedLinesAreRefusedWithTheirNumber) {
  const struct {
    std::string source;
    int line;
    std::string what;
  } cases[] = {
      {"1 a\nx b\n", 2, "message number expected"},
      {" 1 a\n", 1, "message number expected"},
      {"-1 a\n", 1, "message number expected"},
      {"1a b\n", 1, "blank or tab expected after the message number"},
      {"2147483648 a\n", 1, "number too large"},
      {"$set\n", 1, "set number expected"},
      {"$set x\n", 1, "set number expected"},
      {"$set 2x\n", 1, "set number expected"},
      {"$set 0\n", 1, "set numbers start at 1"},
      {"$set 99999999999\n", 1, "number too large"},
      {"$sets 1\n", 1, "unknown directive $sets"},
      {"$quote ab\n", 1, "one quote character expected"},
      {"$quote \\\n", 1, "the backslash cannot be the quote character"},
      {"$quote \"\n1 \"abc\n", 2, "closing quote missing"},
      {"$quote \"\n1 \"a\" b\n", 2, "text after the closing quote"},
      {"1 \\q\n", 1, "unknown escape \\q"},
      {"1 \\\"\n", 1, "unknown escape \\\""},
      {"1 \\400\n", 1, "octal escape above \\377"},
      {"1 \\000\n", 1, "a zero byte would end the text"},
      {"1 a\\", 1, "backslash at the end of the text"},
      {"1 a\\\n", 1, "backslash at the end of the text"},
      {"1 a\\\nb\\\nc\n\nx\n", 5, "message number expected"},
      {"\n1 a\\\n\\q\n", 2, "unknown escape \\q"},
      {"1 a\r\n\r\nq\r\n", 3, "message number expected"},
  };
  for (const auto& c : cases) {
    try {
      catalog::parse_source(c.source);
      ADD_FAILURE() << "accepted: " << c.source;
    } catch (const catalog::SourceError& error) {
      EXPECT_EQ(error.line, c.line) << c.source;
      EXPECT_EQ(error.what(), "line " + std::to_string(c.line) + ": " + c.what) << c.source;
    }
  }
}

TEST(CatalogSource, LaterSourcesMergeIntoEarlierOnes) {
  const Catalog first = catalog::parse_source("$quote \"\n1 \"one\"\n2 two\n$set 2\n1 a\n$set 3\n1 b\n");
  // The second source starts again in set 1 with quoting off.
  // A set whose messages are all deleted is dropped.
  const Catalog merged = catalog::parse_source("2 \"2\"\n3 three\n$delset 2\n$set 3\n1 B\n$set 4\n1 d\n1\n", first);
  const std::vector<Entry> expected = {{1, 1, "one"}, {1, 2, "\"2\""}, {1, 3, "three"}, {3, 1, "B"}};
  EXPECT_EQ(entries(merged), expected);
  EXPECT_EQ(merged.sets.size(), 2u);
}

TEST(CatalogCheck, RefusesWhatTheReaderCannotTake) {
  const struct {
    Catalog catalog;
    std::string problem;
  } cases[] = {
      {{}, ""},
      {numbered_sets(255), ""},
      {catalog::parse_source("$set 9\n3 c\n1 a\n$set 2\n5 e\n0 z\n"), ""},
      {numbered_sets(256), "256 sets; a catalogue holds at most 255"},
      {{{{2, {}}, {1, {}}}}, "set 1 follows 2"},
      {{{{1, {}}, {1, {}}}}, "set 1 appears twice"},
      {{{{0, {}}}}, "set 0 is below 1"},
      {{{{-3, {}}}}, "set -3 is below 1"},
      {{{{1, {{-1, "x"}}}}}, "set 1: message -1 is below 0"},
      {{{{1, {{3, "x"}, {2, "y"}}}}}, "set 1: message 2 follows 3"},
      {{{{1, {{2, "x"}}}, {4, {{2, "x"}, {2, "y"}}}}}, "set 4: message 2 appears twice"},
      {{{{1, {{4, std::string("a\0b", 3)}}}}}, "set 1: message 4 holds a zero byte"},
  };
  for (const auto& c : cases) EXPECT_EQ(catalog::check(c.catalog), c.problem) << c.problem;
}

std::string le32(std::uint32_t value) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(value >> shift & 0xff);
  return bytes;
}

TEST(CatalogEncode, SmallCatalogueByteForByte) {
  const Catalog one = {{{7, {{1, "a"}, {2, ""}}}}};
  // Magic, texts at 9 and 11, the index at 12, the set index at S = 28.
  const std::string expected =
      std::string("<gencat>\0a\0\0", 12) + le32(1) + le32(9) + le32(2) + le32(11) + le32(7) + le32(12) + le32(0) + le32(28);
  EXPECT_EQ(catalog::encode(one), expected);
}

// What the reader makes of a catalogue file: the set count as it keeps it,
// and every entry it can reach.
struct Decoded {
  unsigned set_count = 0;
  std::vector<Entry> entries;
};

Decoded decode(const std::string& file) {
  Decoded decoded;
  const auto word = [&](std::size_t at) -> std::uint32_t {
    if (at + 4 > file.size()) {
      ADD_FAILURE() << "a word at " << at << " lies past the end";
      return 0;
    }
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(file[at + i]);
    return value;
  };
  EXPECT_EQ(file.substr(0, 9), std::string("<gencat>", 9));
  const std::size_t p = file.size() - 8;
  const std::uint32_t s = word(p + 4);
  EXPECT_LE(s, p);
  decoded.set_count = static_cast<std::uint8_t>((p - s) / 8);
  for (unsigned i = 0; i < decoded.set_count; ++i) {
    const std::uint32_t index = word(s + 8 * i + 4);
    const std::uint32_t end = i + 1 < decoded.set_count ? word(s + 8 * (i + 1) + 4) : s;
    for (std::uint32_t entry = index; entry + 8 <= end; entry += 8) {
      const std::uint32_t text = word(entry + 4);
      const std::size_t zero = file.find('\0', text);
      EXPECT_NE(zero, std::string::npos) << "the text at " << text << " runs past the end";
      decoded.entries.emplace_back(static_cast<std::int32_t>(word(s + 8 * i)), static_cast<std::int32_t>(word(entry)),
                                   file.substr(text, zero - text));
    }
  }
  return decoded;
}

TEST(CatalogEncode, TheReaderFindsEveryMessage) {
  const Catalog cases[] = {
      {},
      {{{1, {{0, "zero"}, {1, ""}, {5, "five\n"}, {2147483647, "max"}}}}},
      {{{1, {{1, "a"}}}, {2, {}}, {40, {{3, "c"}, {4, "d"}}}, {2147483647, {{1, std::string(3000, 'x')}}}}},
      numbered_sets(255),
  };
  for (const Catalog& c : cases) {
    const Decoded decoded = decode(catalog::encode(c));
    EXPECT_EQ(decoded.set_count, c.sets.size());
    EXPECT_EQ(decoded.entries, entries(c));
  }
}

TEST(CatalogEncode, TheSetCountWrapsInEightBits) {
  const struct {
    int sets;
    unsigned read_as;
  } cases[] = {{255, 255}, {256, 0}, {257, 1}};
  for (const auto& c : cases) {
    EXPECT_EQ(decode(catalog::encode(numbered_sets(c.sets))).set_count, c.read_as) << c.sets << " sets";
  }
}

// The set-1 messages with their built-in English texts; 0 is "illegal seek".
const std::map<std::int32_t, std::string> english = {
    {0, "illegal seek"},
    {3, "input file \"%s\""},
    {4, "write error on standard output"},
    {177, "[standard input]"},
    {261, "read error on file \"%s\""},
    {535, "Badly formed line/character count \"%s\"\n"},
    {641, "unknown error"},
    {695, "argument too large"},
    {696, "result too large"},
    {697, "no such process"},
    {698, "no space left on device"},
    {699, "directory not empty"},
    {1835, "not enough memory for buffering"},
    {1836, "re-opening file descriptor \"%d\""},
    {3311, "Missing number after \"-%c\" option\n"},
    {3581, "!memory allocation failure"},
    {4029, "name too long"},
    {4837, "interrupt"},
    {5275,
     "Usage: tail [-f] [-b|c|k|l|m|n [+-]number] [file]\n"
     "       tail -[number][b|c|k|l|m|n][f] [file]\n"
     "       tail +[number][b|c|k|l|m|n][f] [file]"},
    {5291, "Invalid number \"%s\""},
    {5292, "Byte count not in range %ld..%ld\n"},
    {5293, "Invalid option character \"%c\" in \"%s\"\n"},
    {5294, "Argument \"%s\" is mutually exclusive with previously specified \"%c\" option.\n"},
};

// The conversions of a format, each as its length modifier and letter.
std::vector<std::string> conversions(const std::string& format) {
  std::vector<std::string> found;
  for (std::size_t at = format.find('%'); at != std::string::npos; at = format.find('%', at + 1)) {
    at = format.find_first_not_of("-+ #0123456789.*", at + 1);
    if (at == std::string::npos) break;
    if (format[at] == '%') continue;
    const std::size_t letter = std::min(format.find_first_not_of("hlL", at), format.size() - 1);
    found.push_back(format.substr(at, letter + 1 - at));
    at = letter;
  }
  return found;
}

Catalog translation(const std::string& language) {
  std::ifstream in(NLS_SOURCE_DIR "/" + language + ".msg", std::ios::binary);
  EXPECT_TRUE(in) << "cannot open " << NLS_SOURCE_DIR "/" << language << ".msg";
  return catalog::parse_source(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

TEST(Translations, EverySet1MessageKeepsItsConversionsAndLineBreaks) {
  ASSERT_EQ(conversions(english.at(5292)), (std::vector<std::string>{"ld", "ld"}));
  ASSERT_EQ(conversions(english.at(5293)), (std::vector<std::string>{"c", "s"}));
  for (const std::string language : {"de", "fr"}) {
    const Catalog translated = translation(language);
    EXPECT_EQ(catalog::check(translated), "") << language;
    ASSERT_EQ(translated.sets.size(), 1u) << language;
    EXPECT_EQ(translated.sets[0].number, 1) << language;
    std::vector<std::int32_t> numbers;
    for (const auto& [number, text] : translated.sets[0].messages) {
      numbers.push_back(number);
      if (!english.contains(number)) continue;
      const std::string& original = english.at(number);
      EXPECT_EQ(conversions(text), conversions(original)) << language << " " << number;
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), std::count(original.begin(), original.end(), '\n'))
          << language << " " << number;
      EXPECT_EQ(text.ends_with('\n'), original.ends_with('\n')) << language << " " << number;
      EXPECT_EQ(text.starts_with('!'), original.starts_with('!')) << language << " " << number;
      EXPECT_NE(text, original) << language << " " << number;
    }
    std::vector<std::int32_t> expected;
    for (const auto& entry : english) expected.push_back(entry.first);
    EXPECT_EQ(numbers, expected) << language;
  }
}

TEST(Translations, UsageLinesAlignUnderTheFirst) {
  for (const std::string language : {"de", "fr"}) {
    const Catalog translated = translation(language);
    ASSERT_FALSE(translated.sets.empty()) << language;
    std::string usage;
    for (const auto& message : translated.sets[0].messages) {
      if (message.number == 5275) usage = message.text;
    }
    const std::size_t column = usage.find("tail ");
    ASSERT_NE(column, std::string::npos) << language;
    for (std::size_t line = usage.find('\n'); line != std::string::npos; line = usage.find('\n', line + 1)) {
      EXPECT_EQ(usage.substr(line + 1, column + 5), std::string(column, ' ') + "tail ") << language;
    }
  }
}

}  // namespace

namespace {

TEST(CatalogOem, TextsTurnIntoTheConsolesCodePage) {
  catalog::Catalog source;
  source.sets.push_back({1, {{1, "Gr\xC3\xB6\xC3\x9F" "e \xC3\xA9t\xC3\xA9 \xC3\x84\xC3\x96\xC3\x9C"}, {2, "plain %s\n"}}});
  const catalog::Catalog oem = catalog::to_oem(source);
  EXPECT_EQ(oem.sets[0].messages[0].text, "Gr\x94\xE1" "e \x82t\x82 \x8E\x99\x9A");
  EXPECT_EQ(oem.sets[0].messages[1].text, "plain %s\n");

  for (const char* text : {"\xE2\x82\xAC",  // the euro sign: in neither code page
                           "\xC3",          // a sequence cut short
                           "\xFF"}) {
    catalog::Catalog bad;
    bad.sets.push_back({3, {{7, text}}});
    try {
      catalog::to_oem(bad);
      ADD_FAILURE() << "accepted " << text;
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find("set 3, message 7"), std::string::npos) << error.what();
    }
  }
}

}  // namespace
