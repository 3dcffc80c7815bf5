// Heap allocation: malloc, realloc, free and strdup over the Win32 process heap.
#include "runtime/msg/heap.h"

#include "runtime/msg/diag.h"
#include "runtime/msg/messages.h"
#include "runtime/string.h"
#include "runtime/win32/errno.h"

namespace rt {
namespace {

// Obtained by the first malloc or realloc; free never obtains it.
HANDLE g_heap = nullptr;

// The error number of a failed heap call. The heap functions need not set a
// last error when they run out, so the slot is cleared before each call and
// a code of 0 stands for "not enough memory".
void set_allocation_error() {
  const DWORD code = w32::GetLastError();
  errno = code != 0 ? static_cast<int>(code) : ERROR_NOT_ENOUGH_MEMORY;
}

// A heap failure is reported on stderr, which may itself need a buffer
// from the heap: a failure met while reporting one is not reported again.
bool g_reporting = false;

// Prints one failure line, with the program's name (until the program has
// set its own, that of start-up) and an empty qualifier.
template <class... Args>
void report(const char* format, const Args&... args) {
  if (g_reporting) return;
  g_reporting = true;
  fprintf(stderr, format, progname ? progname : "_main", "", args...);
  fflush(stderr);
  g_reporting = false;
}

bool obtain_heap(const char* operation) {
  if (g_heap) return true;
  w32::SetLastError(NO_ERROR);
  g_heap = w32::GetProcessHeap();
  if (g_heap) return true;
  const DWORD code = w32::GetLastError();
  report("%s: %s%s failed: GetProcessHeap() failed: %s\n", operation, strerror(static_cast<int>(code)));
  errno = code != 0 ? static_cast<int>(code) : ERROR_NOT_ENOUGH_MEMORY;
  return false;
}

// Zero-filled blocks, and no structured exception on exhaustion: a caller
// must see the null result and report it in its own words.
constexpr DWORD kHeapFlags = HEAP_ZERO_MEMORY;

}  // namespace

void* malloc(std::size_t size) {
  if (!obtain_heap("malloc()")) return nullptr;
  w32::SetLastError(NO_ERROR);
  void* block = w32::HeapAlloc(g_heap, kHeapFlags, size);
  if (!block) set_allocation_error();
  return block;
}

void* realloc(void* block, std::size_t size) {
  if (!block) return malloc(size);
  if (!obtain_heap("realloc()")) return nullptr;
  w32::SetLastError(NO_ERROR);
  void* moved = w32::HeapReAlloc(g_heap, kHeapFlags, block, size);
  if (!moved) set_allocation_error();
  return moved;
}

void free(void* block) {
  if (!g_heap) {
    report("%s: %sfree(0x%x) failed: heap not initialized\n", static_cast<const void*>(block));
    return;
  }
  if (!block) return;
  if (!w32::HeapFree(g_heap, 0, block)) {
    const DWORD code = w32::GetLastError();
    report("%s: %sfree(0x%x) failed: HeapFree() failed: %s\n", static_cast<const void*>(block),
           strerror(static_cast<int>(code)));
  }
}

char* strdup(const char* text) {
  const std::size_t size = strlen(text) + 1;
  auto* copy = static_cast<char*>(malloc(size));
  if (copy) memcpy(copy, text, size);
  return copy;
}

char* xstrdup(const char* text) {
  char* copy = strdup(text);
  if (!copy) fatal(msg_lookup(messages::kAllocationFailure));
  return copy;
}

}  // namespace rt
