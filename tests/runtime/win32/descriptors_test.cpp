// The descriptor table grows as long as the heap gives it memory.
#include <string>

#include "tests/support/support.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/open.h"

namespace {

using w32::hook::Call;
using Descriptors = support::RuntimeTest;

// Descriptors are numbered from the lowest free one; when the table cannot grow, an open fails with too many open
// files and its handle is closed, and the next one that can grows it.
TEST_F(Descriptors, TheTableGrowsWhileThereIsMemory) {
  const std::string path = dir.write("f", "0123456789");
  w32::hook::fail_nth(Call::HeapReAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  int next = 3;
  for (int fd; (fd = rt::open(path.c_str(), rt::O_RDONLY, 0)) >= 0; ++next) ASSERT_EQ(fd, next);
  EXPECT_EQ(rt::errno, ERROR_TOO_MANY_OPEN_FILES);
  EXPECT_EQ(w32::hook::calls(Call::CloseHandle), 1u);
  for (const int last = next + 100; next < last; ++next) ASSERT_EQ(rt::open(path.c_str(), rt::O_RDONLY, 0), next);
  ASSERT_EQ(rt::close(5), 0);
  EXPECT_EQ(rt::dup(next - 1), 5);
  char byte = 0;
  EXPECT_EQ(rt::read(5, &byte, 1), 1);
  EXPECT_EQ(byte, '0');
}

}  // namespace
