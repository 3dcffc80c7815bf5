// Number reading and the environment.
#pragma once

#include <cstdint>

#include "runtime/prelude.h"

namespace rt {

// The environment vector built by start-up: "name=value" texts, ended by null.
extern char** environ;

// The value of an environment variable (the first entry whose name matches,
// with case), or null.
const char* getenv(const char* name);

// Reads a 32-bit number: white space (9 ... 13 and blank), one sign, then
// digits of the base. Base 0 (or 1) takes "0x" as hexadecimal, a leading 0
// as octal, else decimal; base 16 skips a "0x". Every digit is consumed; a
// value out of range gives 2147483647 for either sign and errno -5. The end
// is the first character not consumed (after the white space, sign and
// prefix when there are no digits). A base outside 0 ... 36 gives 0 and
// stores no end.
std::int32_t strtol(const char* text, const char** end, int base);
// The same for a 64-bit number: out of range it gives 9223372036854775807.
std::int64_t strtoll(const char* text, const char** end, int base);

}  // namespace rt
