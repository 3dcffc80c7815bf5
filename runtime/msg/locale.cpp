// Locale selection from names and from the environment.
#include "runtime/msg/locale.h"

#include "runtime/msg/heap.h"
#include "runtime/msg/stdlib.h"
#include "runtime/string.h"

namespace rt {
namespace {

constexpr const char* kPosix = "POSIX";

constexpr const char* kCategoryNames[7] = {"LC_CTYPE",    "LC_COLLATE",  "LC_TIME", "LC_NUMERIC",
                                           "LC_MONETARY", "LC_MESSAGES", "LC_ALL"};

// Each value is kPosix itself or an owned copy of a name. The value of
// LC_ALL is a name like the others, not derived from the other six.
const char* g_values[7] = {kPosix, kPosix, kPosix, kPosix, kPosix, kPosix, kPosix};

// There is no locale data to load: a name is valid unless memory runs out
// while "loading" it, as a real loader would need memory too.
bool is_valid(const char* name) {
  if (strcmp(name, kPosix) == 0) return true;
  void* block = malloc(2);
  if (!block) return false;
  free(block);
  return true;
}

bool set_category(int category, const char* name) {
  const char*& value = g_values[category];
  if (strcmp(value, name) == 0) return true;
  char* copy = strdup(name);
  if (!copy) return false;
  if (value != kPosix) free(const_cast<char*>(value));
  value = copy;
  return true;
}

// Sets every category, LC_ALL included, stopping at the first failure.
const char* set_all(const char* name) {
  for (int category = 0; category <= LC_ALL; ++category) {
    if (!set_category(category, name)) return nullptr;
  }
  return g_values[LC_ALL];
}

// A variable's value when it is set (even to the empty text) and valid.
const char* valid_variable(const char* variable) {
  const char* value = getenv(variable);
  return value && is_valid(value) ? value : nullptr;
}

const char* select_from_environment(int category) {
  if (category != LC_ALL) {
    const char* name = getenv("LC_ALL");
    if (!name) name = getenv(kCategoryNames[category]);
    if (!name) name = getenv("LANG");
    if (!name || !is_valid(name)) name = kPosix;
    return set_category(category, name) ? g_values[category] : nullptr;
  }
  const char* all = getenv("LC_ALL");
  if (all && *all) return is_valid(all) ? set_all(all) : nullptr;
  const char* fallback = valid_variable("LANG");
  if (!fallback) fallback = kPosix;
  for (int each = 0; each < LC_ALL; ++each) {
    const char* name = valid_variable(kCategoryNames[each]);
    set_category(each, name ? name : fallback);  // a failure here leaves the old value
  }
  return set_category(LC_ALL, g_values[LC_CTYPE]) ? g_values[LC_ALL] : nullptr;
}

}  // namespace

const char* setlocale(int category, const char* name) {
  if (category < 0 || category > LC_ALL) return nullptr;
  if (!name) return g_values[category];
  if (!*name) return select_from_environment(category);
  if (!is_valid(name)) return nullptr;
  if (category == LC_ALL) return set_all(name);
  return set_category(category, name) ? g_values[category] : nullptr;
}

}  // namespace rt
