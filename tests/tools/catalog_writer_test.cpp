// The message catalogue writer: the source format, the code page of Windows
// catalogues, and the exact bytes of a small catalogue. What it writes is
// read back by the runtime's reader in the catalog fuzz target.
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

TEST(CatalogSource, MessagesSetsAndDirectives) {
  const struct { std::string source; std::vector<Entry> expected; } cases[] = {
      {"$set 3\n5 five\n$set 2 the second\n1 x\n", {{2, 1, "x"}, {3, 5, "five"}}},
      {"$set 2\n1 a\n$set 3\n1 b\n$delset 2 gone\n$ comment\n\n1 new\n1\n", {}},
      {"$set 2\r\n1 a\r\n007  x\n2147483647 max", {{2, 1, "a"}, {2, 7, " x"}, {2, 2147483647, "max"}}},
      {"$quote \"\n1 \"  padded  \" \t\n2 \"a \\\"b\\\" c\"\n", {{1, 1, "  padded  "}, {1, 2, "a \"b\" c"}}},
      {"1 ab\\\ncd\n2 \\n\\t\\\\\\101\n", {{1, 1, "abcd"}, {1, 2, "\n\t\\A"}}},
      {"1 gr\xc3\xb6\xc3\x9f" "e\n", {{1, 1, "gr\xc3\xb6\xc3\x9f" "e"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(entries(catalog::parse_source(c.source)), c.expected) << c.source;
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
      catalog::to_oem({{{1, {{1, "Gr\xC3\xB6\xC3\x9F" "e \xC3\xA9t\xC3\xA9 \xC3\x84\xC3\x96\xC3\x9C"},
                              {2, "plain %s\n"}}}}});
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
