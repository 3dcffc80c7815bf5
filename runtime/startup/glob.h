// Wildcard expansion: the words of a command line that hold '*', '?' or '['
// become the sorted names of the existing paths that match them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/prelude.h"

namespace rt {

// The name vector. Invariant after every addition: gl_alloc > gl_offs +
// gl_pathc, so the slot after the last name always exists for the
// terminating null. Every name is a separate allocation the vector owns.
struct glob_t {
  std::uint32_t gl_pathc;  // names stored so far (not counting the reserved slots)
  char** gl_pathv;         // the slots: gl_offs reserved ones (null), then the names
  std::int32_t gl_offs;    // slots reserved for the caller at the start
  char** gl_names;         // always gl_pathv + gl_offs
  std::uint32_t gl_alloc;  // slots allocated
};

constexpr int GLOB_ERR = 0x01;       // a directory that cannot be opened aborts
constexpr int GLOB_MARK = 0x02;      // a directory's name gets a "/"
constexpr int GLOB_NOSORT = 0x04;    // the new names stay in directory order
constexpr int GLOB_NOCHECK = 0x08;   // no match: the pattern itself is the name
constexpr int GLOB_DOOFFS = 0x10;    // keep the caller's gl_offs
constexpr int GLOB_APPEND = 0x20;    // add to the names already in the vector
constexpr int GLOB_NOESCAPE = 0x40;  // backslash is no escape in the matched components
constexpr int GLOB_HASREST = 0x80;   // inside: the pattern goes on after this component

constexpr int GLOB_ABORTED = -1;
constexpr int GLOB_NOSPACE = -2;
constexpr int GLOB_NOMATCH = -3;

// Called with the path and errno when a directory cannot be opened;
// nonzero aborts the expansion.
using GlobErrorFunction = int (*)(const char* path, int error);

// Adds the names that match `pattern` to the vector: 0, GLOB_ABORTED,
// GLOB_NOSPACE or GLOB_NOMATCH. After anything but GLOB_ABORTED the slot
// after the last name is null.
int glob(const char* pattern, int flags, GlobErrorFunction errfunc, glob_t* pglob);

// Appends a copy of a name (a null entry for null), doubling the slots when
// the last one is taken. 0, or GLOB_NOSPACE with the vector unchanged.
int glob_add_path(glob_t* pglob, const char* name);

// Sorts `count` elements of `size` bytes in ascending order of compare:
// a Shell sort with halving gaps (not stable).
void qsort(void* base, std::size_t count, std::size_t size, int (*compare)(const void*, const void*));

}  // namespace rt
