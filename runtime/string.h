// Byte-string operations of the runtime (the compiler's builtins, which
// expand inline or call the toolchain's tuned routines) and small byte helpers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/prelude.h"

namespace rt {

inline std::size_t strlen(const char* s) { return __builtin_strlen(s); }
inline int strcmp(const char* a, const char* b) { return __builtin_strcmp(a, b); }
inline void* memcpy(void* to, const void* from, std::size_t n) { return __builtin_memcpy(to, from, n); }
inline void* memmove(void* to, const void* from, std::size_t n) { return __builtin_memmove(to, from, n); }
inline void* memset(void* to, int byte, std::size_t n) { return __builtin_memset(to, byte, n); }
inline const void* memchr(const void* s, int byte, std::size_t n) { return __builtin_memchr(s, byte, n); }
inline int memcmp(const void* a, const void* b, std::size_t n) { return __builtin_memcmp(a, b, n); }

// A path separator: both '/' and '\\' separate path components.
inline bool is_path_separator(char c) { return c == '/' || c == '\\'; }

// The 32-bit little-endian number at `bytes` (catalogue and argument-block layouts).
inline std::uint32_t load_le32(const unsigned char* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

}  // namespace rt
