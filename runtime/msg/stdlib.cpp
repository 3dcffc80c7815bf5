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

// The number at `text` within -limit-1 ... limit (the magnitude stops growing
// past that, so it cannot overflow); beyond, limit and errno -5.
std::int64_t read_number(const char* text, const char** end, int base, std::uint64_t limit) {
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
  const std::uint64_t beyond = limit + 2;
  std::uint64_t magnitude = 0;
  for (int digit; (digit = digit_value(*p)) < base; ++p) {
    const auto value = static_cast<unsigned>(digit);
    magnitude = magnitude > (beyond - value) / static_cast<unsigned>(base) ? beyond : magnitude * static_cast<unsigned>(base) + value;
  }
  if (end) *end = p;
  if (magnitude > (negative ? limit + 1 : limit)) {
    errno = ERR_RESULT_TOO_LARGE;
    return static_cast<std::int64_t>(limit);
  }
  return negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
}

}  // namespace

std::int32_t strtol(const char* text, const char** end, int base) {
  return static_cast<std::int32_t>(read_number(text, end, base, 2147483647));
}

std::int64_t strtoll(const char* text, const char** end, int base) {
  return read_number(text, end, base, 9223372036854775807);
}

}  // namespace rt
