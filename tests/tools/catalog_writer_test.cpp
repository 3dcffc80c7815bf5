// The message catalogue writer's exact bytes of a small catalogue. What it
// writes of message sources is read back by the runtime's reader in the
// catalog fuzz target, and the catalogues the build makes are the catalogue
// test's and the end-to-end cases'.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "tools/catalog/catalog_writer.h"

namespace {

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

}  // namespace
