// A file larger than 4 GiB: the last lines and bytes come from its end.
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"

namespace {

using LargeFile = support::RuntimeTest;

TEST_F(LargeFile, TheEndOfAFileOfFiveGigabytes) {
  const std::string path = dir.write("big", "");
  const std::uintmax_t hole = (std::uintmax_t{5} << 30) + 3;  // not a multiple of the scan block
  std::filesystem::resize_file(path, hole);
  {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << "\nsecond to last\nlast\n";
  }
  support::RunOptions options;
  options.cwd = dir.path().string();
  options.environment = support::plain_environment();
  const std::string tail = support::sibling_program("../tail");

  support::ChildResult result = support::run(tail, {"-n", "2", "big"}, options);
  EXPECT_EQ(result.status, 0u) << result.err;
  EXPECT_EQ(result.out, "second to last" + support::kLineEnd + "last" + support::kLineEnd);

  result = support::run(tail, {"-c", "5", "big"}, options);
  EXPECT_EQ(result.status, 0u) << result.err;
  EXPECT_EQ(result.out, "last\n");
}

}  // namespace
