// Locale selection. A locale is only a name here: the character and case
// tables stay the same whatever the locale, and the only name another part
// of the system reads is that of LC_MESSAGES, which chooses the message
// catalogue.
#pragma once

#include "runtime/prelude.h"

namespace rt {

constexpr int LC_CTYPE = 0;
constexpr int LC_COLLATE = 1;
constexpr int LC_TIME = 2;
constexpr int LC_NUMERIC = 3;
constexpr int LC_MONETARY = 4;
constexpr int LC_MESSAGES = 5;
constexpr int LC_ALL = 6;

// The category's value after the call, or null on failure. A null name
// asks; the empty name selects from the environment (LC_ALL over the
// category's own variable over LANG, then "POSIX"); any other name is
// selected as it is. The value stays valid until the category is set again.
const char* setlocale(int category, const char* name);

}  // namespace rt
