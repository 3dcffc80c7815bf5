// Byte-string operations of the runtime. They are the compiler's builtins,
// which expand inline or call the toolchain's tuned routines.
#pragma once

#include <cstddef>

#include "runtime/prelude.h"

namespace rt {

inline std::size_t strlen(const char* s) { return __builtin_strlen(s); }
inline int strcmp(const char* a, const char* b) { return __builtin_strcmp(a, b); }
inline void* memcpy(void* to, const void* from, std::size_t n) { return __builtin_memcpy(to, from, n); }
inline void* memmove(void* to, const void* from, std::size_t n) { return __builtin_memmove(to, from, n); }
inline void* memset(void* to, int byte, std::size_t n) { return __builtin_memset(to, byte, n); }
inline const void* memchr(const void* s, int byte, std::size_t n) { return __builtin_memchr(s, byte, n); }

}  // namespace rt
