// Heap allocation: zero-filled blocks and growth, and the error number of a
// failed allocation.
#include <cstdint>
#include <cstring>

#include "tests/support/runtime_test.h"
#include "runtime/msg/heap.h"
#include "runtime/win32/errno.h"

namespace {

using support::RuntimeTest;
using w32::hook::Call;

using Heap = RuntimeTest;

bool all_zero(const void* block, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(block);
  for (std::size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

TEST_F(Heap, BlocksAreZeroFilled) {
  for (int round = 0; round < 3; ++round) {
    auto* block = static_cast<unsigned char*>(rt::malloc(65536));
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(all_zero(block, 65536));
    std::memset(block, 0xA5, 65536);  // a reused block must come back zeroed
    rt::free(block);
  }
}

TEST_F(Heap, ReallocKeepsTheContentAndZeroFillsTheGrowth) {
  auto* block = static_cast<unsigned char*>(rt::realloc(nullptr, 16));
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(all_zero(block, 16));
  std::memset(block, 0xFF, 16);
  block = static_cast<unsigned char*>(rt::realloc(block, 1 << 20));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(block[i], 0xFF);
  EXPECT_TRUE(all_zero(block + 16, (1 << 20) - 16));
  rt::free(block);
  rt::free(nullptr);
}

TEST_F(Heap, AFailedAllocationLeavesANonZeroErrorNumber) {
  const struct {
    DWORD code;
    int error;
  } cases[] = {{0, ERROR_NOT_ENOUGH_MEMORY}, {14, 14}, {ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY}};
  for (const auto& c : cases) {
    w32::hook::fail_nth(Call::HeapAlloc, 1, c.code);
    rt::errno = 0;
    EXPECT_EQ(rt::malloc(10), nullptr);
    EXPECT_EQ(rt::errno, c.error) << c.code;
  }

  // A real request no heap can meet.
  rt::errno = 0;
  w32::SetLastError(0);
  EXPECT_EQ(rt::malloc(SIZE_MAX / 4), nullptr);
  EXPECT_EQ(rt::errno, ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(Heap, AFailedReallocLeavesTheBlockAsItWas) {
  auto* block = static_cast<char*>(rt::malloc(4));
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "abc", 4);
  w32::hook::fail_nth(Call::HeapReAlloc, 1, 0);
  rt::errno = 0;
  EXPECT_EQ(rt::realloc(block, 1 << 20), nullptr);
  EXPECT_EQ(rt::errno, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_STREQ(block, "abc");
  rt::free(block);
}

TEST_F(Heap, Strdup) {
  char* copy = rt::strdup("a text");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "a text");
  rt::free(copy);
  w32::hook::fail_nth(Call::HeapAlloc, 1, 0);
  EXPECT_EQ(rt::strdup("x"), nullptr);
  EXPECT_EQ(rt::errno, ERROR_NOT_ENOUGH_MEMORY);
}

}  // namespace
