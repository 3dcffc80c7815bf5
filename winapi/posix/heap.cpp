// The process heap over the C allocator. Each block carries a header with its
// size, so that HeapReAlloc can zero exactly the bytes a block gains.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <sys/sysinfo.h>

#include "winapi/posix/emulation.h"

namespace {

struct alignas(16) BlockHeader {
  SIZE_T size;
};

// The one heap handle; it names no object in the handle registry.
const HANDLE kProcessHeap = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x10000));

// No block can be larger than the memory the system has, swap included: a
// request beyond that fails at once, as the system's own heap refuses it,
// without asking the C allocator (which may only pretend to succeed).
SIZE_T largest_block() {
  static const SIZE_T largest = [] {
    struct sysinfo memory;
    if (::sysinfo(&memory) != 0) return SIZE_MAX / 2;
    const auto total = (static_cast<unsigned long long>(memory.totalram) + memory.totalswap) * memory.mem_unit;
    return static_cast<SIZE_T>(total);
  }();
  return largest;
}

// Blocks of 64 KiB and more come straight from the system as fresh zero
// pages, as the Windows heap serves large blocks: calloc need not clear
// them, and a page of a buffer that is never used is never touched.
const bool g_large_blocks_mapped = ::mallopt(M_MMAP_THRESHOLD, 64 * 1024) == 1;

bool valid_heap(HANDLE heap) {
  if (heap == kProcessHeap) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

LPVOID out_of_memory() {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

}  // namespace

HANDLE GetProcessHeap() { return kProcessHeap; }

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (!valid_heap(heap)) return nullptr;
  if (bytes > largest_block()) return out_of_memory();
  void* raw = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, sizeof(BlockHeader) + bytes)
                                         : std::malloc(sizeof(BlockHeader) + bytes);
  if (!raw) return out_of_memory();
  auto* header = static_cast<BlockHeader*>(raw);
  header->size = bytes;
  return header + 1;
}

LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  if (!valid_heap(heap)) return nullptr;
  if (!block) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (bytes > largest_block()) return out_of_memory();
  auto* header = static_cast<BlockHeader*>(block) - 1;
  const SIZE_T old_size = header->size;
  void* raw = std::realloc(header, sizeof(BlockHeader) + bytes);
  if (!raw) return out_of_memory();
  header = static_cast<BlockHeader*>(raw);
  header->size = bytes;
  if ((flags & HEAP_ZERO_MEMORY) && bytes > old_size) {
    std::memset(reinterpret_cast<char*>(header + 1) + old_size, 0, bytes - old_size);
  }
  return header + 1;
}

BOOL HeapFree(HANDLE heap, DWORD /*flags*/, LPVOID block) {
  if (!valid_heap(heap)) return FALSE;
  if (block) std::free(static_cast<BlockHeader*>(block) - 1);
  return TRUE;
}
