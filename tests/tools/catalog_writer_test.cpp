// The message catalogue writer: the source format, the checks, the code
// page of Windows catalogues, and the exact bytes of a small catalogue. What
// it writes is read back by the runtime's reader in the catalogue tests.
#include <cstdint>
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
  const struct { std::string source; std::vector<Entry> expected; } cases[] = {
      {"1 one\n2 two\n", {{1, 1, "one"}, {1, 2, "two"}}},
      {"$set 3\n5 five\n$set 2 the second\n1 x\n", {{2, 1, "x"}, {3, 5, "five"}}},
      {"$set 2\n1 a\n$set 3\n1 b\n$set 2\n2 c\n", {{2, 1, "a"}, {2, 2, "c"}, {3, 1, "b"}}},
      {"$set\t4\n1 a\n", {{4, 1, "a"}}},            {"$set 2\n1 a\n$set 3\n1 b\n$delset 2 gone\n", {{3, 1, "b"}}},
      {"$set 2\n1 a\n$delset 2\n2 b\n", {{2, 2, "b"}}}, {"$delset 7\n1 a\n", {{1, 1, "a"}}},
      {"$\n$ comment\n$\tcomment\n1 a\n", {{1, 1, "a"}}}, {"\n1 a\n\n \t\n2 b\n", {{1, 1, "a"}, {1, 2, "b"}}},
      {"$set 2\r\n1 a\r\n2 b\r", {{2, 1, "a"}, {2, 2, "b"}}}, {"1 a\rb\n", {{1, 1, "a\rb"}}},
      {"1  x\n2\t\ty\n", {{1, 1, " x"}, {1, 2, "\ty"}}}, {"1 \n", {{1, 1, ""}}},
      {"1 a\n2 b\n1\n", {{1, 2, "b"}}},             {"$set 4\n1 a\n1\n5\n", {}},
      {"1 old\n1 new\n", {{1, 1, "new"}}},
      {"007 x\n0 zero\n2147483647 max\n", {{1, 0, "zero"}, {1, 7, "x"}, {1, 2147483647, "max"}}},
      {"$quote \"\n1 \"  padded  \" \t\n2 \"\"\n", {{1, 1, "  padded  "}, {1, 2, ""}}},
      {"$quote \"\n1 say \"hi\"\n2 \"a \\\"b\\\" c\"\n", {{1, 1, "say \"hi\""}, {1, 2, "a \"b\" c"}}},
      {"$quote '\n1 'it\\'s'\n", {{1, 1, "it's"}}},    {"$quote \"\n$quote\n1 \"a\"\n", {{1, 1, "\"a\""}}},
      {"1 ab\\\ncd\n", {{1, 1, "abcd"}}},             {"$quote \"\n1 \"a\\\r\n b\"\r\n", {{1, 1, "a b"}}},
      {"1 a\\\\\n2 b\n", {{1, 1, "a\\"}, {1, 2, "b"}}}, {"1 \\n\\t\\v\\b\\r\\f\\\\\n", {{1, 1, "\n\t\v\b\r\f\\"}}},
      {"1 \\101\\7\\0101\\377\\18\n", {{1, 1, "A\7\010" "1\377\001" "8"}}},
      {"1 gr\xc3\xb6\xc3\x9f" "e\n", {{1, 1, "gr\xc3\xb6\xc3\x9f" "e"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(entries(catalog::parse_source(c.source)), c.expected) << c.source;
}

TEST(CatalogSource, MalformedLinesAreRefusedWithTheirNumber) {
  const struct { std::string source; int line; std::string what; } cases[] = {
      {"1 a\nx b\n", 2, "message number expected"},  {" 1 a\n", 1, "message number expected"},
      {"-1 a\n", 1, "message number expected"},      {"1a b\n", 1, "blank or tab expected after the message number"},
      {"2147483648 a\n", 1, "number too large"},     {"$set\n", 1, "set number expected"},
      {"$set x\n", 1, "set number expected"},        {"$set 2x\n", 1, "set number expected"},
      {"$set 0\n", 1, "set numbers start at 1"},     {"$set 99999999999\n", 1, "number too large"},
      {"$sets 1\n", 1, "unknown directive $sets"},   {"$quote ab\n", 1, "one quote character expected"},
      {"$quote \\\n", 1, "the backslash cannot be the quote character"},
      {"$quote \"\n1 \"abc\n", 2, "closing quote missing"},
      {"$quote \"\n1 \"a\" b\n", 2, "text after the closing quote"},
      {"1 \\q\n", 1, "unknown escape \\q"},          {"1 \\\"\n", 1, "unknown escape \\\""},
      {"1 \\400\n", 1, "octal escape above \\377"},  {"1 \\000\n", 1, "a zero byte would end the text"},
      {"1 a\\", 1, "backslash at the end of the text"}, {"1 a\\\n", 1, "backslash at the end of the text"},
      {"1 a\\\nb\\\nc\n\nx\n", 5, "message number expected"}, {"\n1 a\\\n\\q\n", 2, "unknown escape \\q"},
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
  const struct { Catalog catalog; std::string problem; } cases[] = {
      {{}, ""},
      {numbered_sets(255), ""},
      {catalog::parse_source("$set 9\n3 c\n1 a\n$set 2\n5 e\n0 z\n"), ""},
      {numbered_sets(256), "256 sets; a catalogue holds at most 255"},
      {{{{2, {}}, {1, {}}}}, "set 1 follows 2"},   {{{{1, {}}, {1, {}}}}, "set 1 appears twice"},
      {{{{0, {}}}}, "set 0 is below 1"},           {{{{-3, {}}}}, "set -3 is below 1"},
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
  // Magic, texts at 9 and 11, the index at 12, the set index at S = 28.
  const std::string expected = std::string("<gencat>\0a\0\0", 12) + le32(1) + le32(9) + le32(2) + le32(11) +
                               le32(7) + le32(12) + le32(0) + le32(28);
  EXPECT_EQ(catalog::encode({{{7, {{1, "a"}, {2, ""}}}}}), expected);
}

TEST(CatalogOem, TextsTurnIntoTheConsolesCodePage) {
  const Catalog oem =
      catalog::to_oem({{{1, {{1, "Gr\xC3\xB6\xC3\x9F" "e \xC3\xA9t\xC3\xA9 \xC3\x84\xC3\x96\xC3\x9C"}, {2, "plain %s\n"}}}}});
  EXPECT_EQ(oem.sets[0].messages[0].text, "Gr\x94\xE1" "e \x82t\x82 \x8E\x99\x9A");
  EXPECT_EQ(oem.sets[0].messages[1].text, "plain %s\n");
  // The euro sign is in neither code page; a sequence cut short and a lone byte are no UTF-8.
  for (const char* text : {"\xE2\x82\xAC", "\xC3", "\xFF"}) {
    try {
      catalog::to_oem({{{3, {{7, text}}}}});
      ADD_FAILURE() << "accepted " << text;
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find("set 3, message 7"), std::string::npos) << error.what();
    }
  }
}

}  // namespace
