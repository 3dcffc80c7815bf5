// Number reading and the environment.
#include "runtime/msg/stdlib.h"

#include "runtime/string.h"
#include "runtime/win32/errno.h"

namespace rt {

char** environ = nullptr;

const char* getenv(const char* name) {
  if (!environ) return nullptr;
  const std::size_t length = strlen(name);
  for (char** entry = environ; *entry; ++entry) {
    const char* text = *entry;
    std::size_t i = 0;
    while (i < length && text[i] == name[i]) ++i;
    if (i == length && text[i] == '=') return text + length + 1;
  }
  return nullptr;
}

namespace {

// The value of a digit character in bases up to 36, or 36 for any other character.
int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 36;
}

bool is_x(char c) { return c == 'x' || c == 'X'; }

}  // namespace

std::int32_t strtol(const char* text, const char** end, int base) {
  if (base < 0 || base > 36) return 0;
  const char* p = text;
  while ((*p >= 9 && *p <= 13) || *p == ' ') ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (base <= 1) {
    if (p[0] == '0' && is_x(p[1])) {
      base = 16;
      p += 2;
    } else if (p[0] == '0') {
      base = 8;
      ++p;
    } else {
      base = 10;
    }
  } else if (base == 16 && p[0] == '0' && is_x(p[1])) {
    p += 2;
  }
  // The magnitude, held to one past the largest allowed so that it cannot overflow.
  constexpr std::uint64_t kBeyond = std::uint64_t{1} << 32;
  std::uint64_t magnitude = 0;
  for (int digit; (digit = digit_value(*p)) < base; ++p) {
    magnitude = magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (magnitude > kBeyond) magnitude = kBeyond;
  }
  if (end) *end = p;
  const std::uint64_t limit = negative ? std::uint64_t{1} << 31 : (std::uint64_t{1} << 31) - 1;
  if (magnitude > limit) {
    errno = ERR_RESULT_TOO_LARGE;
    return 2147483647;
  }
  return negative ? static_cast<std::int32_t>(0 - magnitude) : static_cast<std::int32_t>(magnitude);
}

}  // namespace rt
