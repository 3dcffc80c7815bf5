// Shell pattern matching: whether one string matches one pattern.
//
// Pattern and string are names, text in the names' page (w32::kNamePage),
// and are matched by characters: in UTF-8 a character is a code point, and a
// byte that begins no well-formed sequence is a character of its own that
// matches only itself; in any other page each byte is a character.
//
// The pattern language: '*', '?', bracket expressions (classes [:name:],
// equivalence classes [=c=], collating symbols [.c.], character ranges by
// value, '!' to negate), backslash escapes, groups in parentheses with
// back-references \1 ... \9, and the pattern lists ?(...), *(...), +(...),
// @(...), !(...) with '|' (or) and '&' (and). Letters match regardless of
// case unless the environment variable DUALCASE is set (to anything, the
// empty text too); it is read on every call. Case and classes beyond ASCII
// come from runtime/msg/ctype.h: for bytes code page 437's; for code points
// the letters of the Latin-1, Latin Extended-A, Greek and Cyrillic blocks,
// which are alpha, graph, print and of their case, while no other code
// point beyond ASCII is in any class.
//
// Only the three flags below count; other bits are ignored. A malformed
// pattern (an unterminated bracket expression or pattern list, an unknown
// class name, a reversed range, a trailing backslash) fails to match where
// it is met. A search that would need more than about ten million steps or
// tries nested more than 1000 deep (back-references over long names,
// nesting in the thousands, strings far longer than a file name) gives up
// and reports FNM_NOMATCH, as does a pattern or string over a mebibyte.
#pragma once

#include "runtime/prelude.h"

namespace rt {

constexpr int FNM_PATHNAME = 0x01;  // a '/' in the string is matched only by a '/' in the pattern
constexpr int FNM_NOESCAPE = 0x02;  // backslash is an ordinary character
constexpr int FNM_PERIOD = 0x04;    // a leading period must be matched by a period in the pattern

constexpr int FNM_NOMATCH = 1;

// 0 for a match, FNM_NOMATCH for none, 2 when the work tables cannot be allocated.
int fnmatch(const char* pattern, const char* string, int flags);

}  // namespace rt
