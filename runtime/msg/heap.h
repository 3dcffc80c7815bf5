// Heap allocation over the process heap. Every block is zero-filled when it
// is handed out, and so is the part that realloc adds to a block.
// Exhaustion gives null with errno set (never 0).
#pragma once

#include <cstddef>

#include "runtime/prelude.h"

namespace rt {

void* malloc(std::size_t size);
// A null block gives malloc(size). On failure the old block stays valid.
void* realloc(void* block, std::size_t size);
void free(void* block);
char* strdup(const char* text);
// As strdup, but ends the process (status 1, "memory allocation failure"
// and the text of errno) when there is no memory; never null.
char* xstrdup(const char* text);

// Failures of the heap itself are printed on stderr with the operation's
// name: an unobtainable process heap, a free before any allocation, a
// failed HeapFree. None of them ends the process.

}  // namespace rt
