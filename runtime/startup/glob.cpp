// Wildcard expansion over the directory search and the pattern matcher.
#include "runtime/startup/glob.h"

#include "runtime/msg/heap.h"
#include "runtime/startup/dir.h"
#include "runtime/startup/fnmatch.h"
#include "runtime/string.h"
#include "runtime/win32/errno.h"

namespace rt {
namespace {

// The longest name readdir gives, in bytes (a UTF-8 name takes more bytes
// than characters).
constexpr std::size_t kLongestName = sizeof DIR::entry_name - 1;

// The path under construction: owned by one glob call, which frees it
// before it returns; the levels of the expansion pass it down.
struct GlobPath {
  char* text = nullptr;
  std::size_t size = 0;  // bytes allocated at text
};

bool is_wildcard(char c) { return c == '*' || c == '?' || c == '['; }

bool is_directory(const char* path) {
  const DWORD attributes = file_attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Makes the path hold at least `size` bytes, keeping its contents.
bool reserve_path(GlobPath& path, std::size_t size) {
  if (size <= path.size) return true;
  void* grown = realloc(path.text, size);
  if (!grown) return false;
  path.text = static_cast<char*>(grown);
  path.size = size;
  return true;
}

int compare_names(const void* a, const void* b) {
  return strcmp(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

// Adds the literal path `path` (with "/" after a directory's name when asked
// to). Under GLOB_NOCHECK alone a path is taken without looking at it.
int add_literal_path(const char* path, glob_t* pglob, int flags) {
  if (!(flags & GLOB_NOCHECK) || (flags & (GLOB_MARK | GLOB_HASREST))) {
    if (!path_exists(path)) return 0;
  }
  if (!(flags & GLOB_MARK) || !is_directory(path)) return glob_add_path(pglob, path);
  const std::size_t length = strlen(path);
  char* marked = static_cast<char*>(malloc(length + 2));
  if (!marked) return GLOB_NOSPACE;
  memcpy(marked, path, length);
  memcpy(marked + length, "/", 2);
  const int result = glob_add_path(pglob, marked);
  free(marked);
  return result;
}

// Expands `rest` below the first `prefix` bytes of `path`, which has
// room for them and for `rest`. Only the first component with a wildcard is
// scanned at this level; the names that match it carry the rest of the
// pattern on, one level down.
int glob_in_dir(GlobPath& path, std::size_t prefix, const char* rest, glob_t* pglob, int flags,
                GlobErrorFunction errfunc) {
  // Copy the pattern on while finding the end of the directory part and of
  // the first component with a wildcard.
  std::size_t directory_length = prefix;
  const char* component = rest;
  const char* component_end = nullptr;  // the separator or NUL after the wildcard component
  bool wild = false;
  for (std::size_t i = prefix;; ++i, ++rest) {
    const char c = *rest;
    path.text[i] = c;
    if (c == '\0') {
      if (wild) component_end = rest;
      break;
    }
    if (is_wildcard(c)) {
      wild = true;
    } else if (is_path_separator(c) || (c == ':' && i == 1)) {
      if (wild) {
        component_end = rest;
        break;
      }
      directory_length = i + 1;
      component = rest + 1;
    }
  }
  if (!component_end) return add_literal_path(path.text, pglob, flags);

  // Open the directory: dir/ opens dir, while / and c:/ open themselves and
  // c: opens the current directory of drive C.
  path.text[directory_length] = '\0';
  char* trailing = nullptr;
  if (directory_length >= 2 && is_path_separator(path.text[directory_length - 1]) &&
      path.text[directory_length - 2] != ':') {
    trailing = path.text + directory_length - 1;
  }
  const char separator = trailing ? *trailing : '\0';
  if (trailing) *trailing = '\0';
  DIR* dir = opendir(directory_length == 0 ? "." : path.text);
  if (trailing) *trailing = separator;
  if (!dir) {
    if ((errfunc && errfunc(path.text, errno) != 0) || (flags & GLOB_ERR)) return GLOB_ABORTED;
    return 0;
  }

  const auto component_length = static_cast<std::size_t>(component_end - component);
  char* pattern = static_cast<char*>(malloc(component_length + 1));
  if (!pattern) {
    closedir(dir);
    return GLOB_NOSPACE;
  }
  memcpy(pattern, component, component_length);
  pattern[component_length] = '\0';
  if (*component_end != '\0') flags |= GLOB_HASREST;
  // Room for any name and the rest of the pattern after the directory.
  if (!reserve_path(path, directory_length + kLongestName + strlen(component_end) + 1)) {
    free(pattern);
    closedir(dir);
    return GLOB_NOSPACE;
  }

  const int match_flags = FNM_PERIOD | ((flags & GLOB_NOESCAPE) ? FNM_NOESCAPE : 0);
  int result = 0;
  while (const char* name = readdir(dir)) {
    if (fnmatch(pattern, name, match_flags) != 0) continue;
    const std::size_t name_length = strlen(name);
    memcpy(path.text + directory_length, name, name_length);
    result = glob_in_dir(path, directory_length + name_length, component_end, pglob, flags, errfunc);
    if (result != 0) break;
  }
  closedir(dir);
  free(pattern);
  return result;
}

}  // namespace

int glob_add_path(glob_t* pglob, const char* name) {
  char* copy = nullptr;
  if (name && !(copy = strdup(name))) return GLOB_NOSPACE;
  const std::uint32_t slot = pglob->gl_pathc;
  pglob->gl_names[slot] = copy;
  const std::uint32_t used = static_cast<std::uint32_t>(pglob->gl_offs) + slot + 1;
  if (used < pglob->gl_alloc) {
    pglob->gl_pathc = slot + 1;
    return 0;
  }
  // The slot after the name must exist: double the slots, or take the name back.
  void* grown = realloc(pglob->gl_pathv, sizeof(char*) * std::size_t{pglob->gl_alloc} * 2);
  if (!grown) {
    pglob->gl_names[slot] = nullptr;
    free(copy);
    return GLOB_NOSPACE;
  }
  pglob->gl_alloc *= 2;
  pglob->gl_pathv = static_cast<char**>(grown);
  pglob->gl_names = pglob->gl_pathv + pglob->gl_offs;
  pglob->gl_pathc = slot + 1;
  return 0;
}

int glob(const char* pattern, int flags, GlobErrorFunction errfunc, glob_t* pglob) {
  if (!(flags & GLOB_DOOFFS)) pglob->gl_offs = 0;
  if (!(flags & GLOB_APPEND)) {
    pglob->gl_pathc = 0;
    pglob->gl_alloc = static_cast<std::uint32_t>(pglob->gl_offs) + 8;
    pglob->gl_pathv = static_cast<char**>(malloc(sizeof(char*) * pglob->gl_alloc));  // the reserved slots are null
    if (!pglob->gl_pathv) return GLOB_NOSPACE;
    pglob->gl_names = pglob->gl_pathv + pglob->gl_offs;
  }
  GlobPath path;
  if (!reserve_path(path, strlen(pattern) + 1)) return GLOB_NOSPACE;

  const std::uint32_t old = pglob->gl_pathc;
  // "\\?\" and "\\.\" name the system's namespaces: their '?' is no wildcard.
  const std::size_t literal = is_path_separator(pattern[0]) && is_path_separator(pattern[1]) &&
                                      (pattern[2] == '?' || pattern[2] == '.') && is_path_separator(pattern[3])
                                  ? 4
                                  : 0;
  memcpy(path.text, pattern, literal);
  int result = glob_in_dir(path, literal, pattern + literal, pglob, flags, errfunc);
  free(path.text);
  if (result == GLOB_ABORTED) return result;
  if (pglob->gl_pathc > old && !(flags & GLOB_NOSORT)) {
    // Each call's names are sorted among themselves by characters: strcmp
    // compares bytes as unsigned, which for UTF-8 is the order of code points.
    qsort(pglob->gl_names + old, pglob->gl_pathc - old, sizeof(char*), compare_names);
  }
  if (result == 0 && pglob->gl_pathc == old) {
    if (flags & GLOB_NOCHECK) {
      result = glob_add_path(pglob, pattern);
    } else {
      result = GLOB_NOMATCH;
    }
  }
  pglob->gl_names[pglob->gl_pathc] = nullptr;
  return result;
}

void qsort(void* base, std::size_t count, std::size_t size, int (*compare)(const void*, const void*)) {
  auto* bytes = static_cast<unsigned char*>(base);
  const auto element = [&](std::size_t i) { return bytes + i * size; };
  for (std::size_t gap = count / 2; gap > 0; gap /= 2) {
    for (std::size_t i = gap; i < count; ++i) {
      for (std::size_t j = i - gap;; j -= gap) {
        unsigned char* left = element(j);
        unsigned char* right = element(j + gap);
        if (compare(left, right) <= 0) break;
        for (std::size_t k = 0; k < size; ++k) {
          const unsigned char swap = left[k];
          left[k] = right[k];
          right[k] = swap;
        }
        if (j < gap) break;
      }
    }
  }
}

}  // namespace rt
