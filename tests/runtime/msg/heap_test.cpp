// Heap allocation: zero-filled blocks and growth, and the error number of a
// failed allocation.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "tests/support/runtime_test.h"
#include "runtime/msg/heap.h"
#include "runtime/win32/errno.h"

namespace {

using w32::hook::Call;
using Heap = support::RuntimeTest;

bool all_zero(const unsigned char* bytes, std::size_t size) {
  return std::all_of(bytes, bytes + size, [](unsigned char byte) { return byte == 0; });
}

TEST_F(Heap, BlocksAndWhatReallocAddsAreZeroFilled) {
  for (int round = 0; round < 3; ++round) {  // later rounds get memory the earlier ones wrote
    auto* block = static_cast<unsigned char*>(rt::realloc(nullptr, 3));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(all_zero(block, 3));
    std::memset(block, 0xFF, 3);
    block = static_cast<unsigned char*>(rt::realloc(block, 4096));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[0] & block[1] & block[2], 0xFF);
    EXPECT_TRUE(all_zero(block + 3, 4093));
    std::memset(block, 0xA5, 4096);
    rt::free(block);
  }
  rt::free(nullptr);
}

TEST_F(Heap, AFailedAllocationLeavesANonZeroErrorNumber) {
  const struct { DWORD code; int error; } cases[] = {
      {0, ERROR_NOT_ENOUGH_MEMORY}, {14, 14}, {ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY}};
  for (const auto& c : cases) {
    w32::hook::fail_nth(Call::HeapAlloc, 1, c.code);
    rt::errno = 0;
    EXPECT_EQ(rt::strdup("x"), nullptr);
    EXPECT_EQ(rt::errno, c.error) << c.code;
  }
  // A real request no heap can meet.
  rt::errno = 0;
  w32::SetLastError(0);
  EXPECT_EQ(rt::malloc(SIZE_MAX / 4), nullptr);
  EXPECT_EQ(rt::errno, ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(Heap, AFailedReallocLeavesTheBlockAsItWas) {
  char* block = rt::strdup("abc");
  ASSERT_STREQ(block, "abc");
  w32::hook::fail_nth(Call::HeapReAlloc, 1, 0);
  EXPECT_EQ(rt::realloc(block, 1 << 20), nullptr);
  EXPECT_EQ(rt::errno, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_STREQ(block, "abc");
  rt::free(block);
}

}  // namespace
