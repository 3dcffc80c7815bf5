// Shell pattern matching: wildcards and the period rule, case folding
// through DUALCASE and the case table, bracket expressions, escapes, groups
// and back-references, pattern lists, malformed patterns, the search limits
// and a failed allocation of the group table.
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/startup/fnmatch.h"

namespace {

using support::RuntimeTest;
using w32::hook::Call;

using Fnmatch = RuntimeTest;

constexpr int P = rt::FNM_PATHNAME;
constexpr int E = rt::FNM_NOESCAPE;
constexpr int D = rt::FNM_PERIOD;

// DUALCASE: not set (letters fold), set to the empty text, set to a value.
enum Dualcase { U, EMPTY, SET };

struct Case {
  std::string pattern;
  std::string string;
  int flags;
  Dualcase dualcase;
  int expected;
};

int run(const Case& c) {
  std::vector<std::string> entries{"PATH=/bin"};
  if (c.dualcase == EMPTY) entries.emplace_back("DUALCASE=");
  if (c.dualcase == SET) entries.emplace_back("DUALCASE=1");
  support::Environment environment(entries);
  return rt::fnmatch(c.pattern.c_str(), c.string.c_str(), c.flags);
}

void check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(run(c), c.expected) << "pattern \"" << c.pattern << "\" string \"" << c.string << "\" flags "
                                  << c.flags << " DUALCASE " << c.dualcase;
  }
}

TEST_F(Fnmatch, WildcardsAndThePeriodRule) {
  check({
      {"", "", 0, U, 0}, {"", "a", 0, U, 1},
      {"a", "", 0, U, 1},
      {"abc", "abc", 0, U, 0}, {"abc", "abcd", 0, U, 1},
      {"a?c", "abc", 0, U, 0}, {"a?c", "ac", 0, U, 1},
      {"?", "/", 0, U, 0}, {"?", "/", P, U, 1},
      {"*", "", 0, U, 0},
      {"a*c", "abbbc", 0, U, 0}, {"a*c", "abbb", 0, U, 1},
      {"*", "a/b", 0, U, 0}, {"*", "a/b", P, U, 1},
      {"*/*", "a/b", P, U, 0},
      {"a/*", "a/", P, U, 0},
      {"a**b", "a/x/b", P, U, 1}, {"a**b", "axyb", 0, U, 0},
      {"a/b", "a/b", P, U, 0},
      // A leading period must be matched by a period.
      {"*", ".profile", D, U, 1}, {"*", ".profile", 0, U, 0},
      {".*", ".profile", D, U, 0},
      {"\\.*", ".profile", D, U, 0},
      {"?profile", ".profile", D, U, 1},
      {"[.]profile", ".profile", D, U, 1},
      {"**", ".x", D, U, 1},
      {"a*", "a.x", D, U, 0},
      // ... and under FNM_PATHNAME one after a '/' too.
      {"a/*", "a/.x", P | D, U, 1},
      {"a/?x", "a/.x", P | D, U, 1},
      {"a/**x", "a/.x", P | D, U, 1},
      {"*/*", "a/.x", P | D, U, 1},
      {"a/.*", "a/.x", P | D, U, 0},
      {"a/\\.x", "a/.x", P | D, U, 0},
      {"a/*", "a/.x", D, U, 0},
      {"@(a/*)@(.x)", "a/.x", P | D, U, 0},  // the '*' stands at the end of the text it may take
      // A group opened first clears the start of the string for the '*'.
      {"(*)", ".x", D, U, 0},
      // The matcher's own bits are no flags for callers.
      {"A", "a", 0x18, SET, 1},
  });
}

TEST_F(Fnmatch, LettersFoldUnlessDualcaseIsSet) {
  check({
      {"*.TXT", "readme.txt", 0, U, 0}, {"*.TXT", "readme.txt", 0, EMPTY, 1},
      {"*.TXT", "readme.txt", 0, SET, 1}, {"*.TXT", "README.TXT", 0, SET, 0},
      {"abc", "ABC", 0, U, 0},
      {"[A-C]x", "bx", 0, U, 0}, {"[A-C]x", "bx", 0, EMPTY, 1},
      {"[A-C]x", "Bx", 0, SET, 0},
      {"[a-c]", "B", 0, U, 0}, {"[a-c]", "B", 0, SET, 1},
      {"[Z-a]", "z", 0, U, 0},  // 'Z' is in the range and folds to z
      {"[Z-a]", "A", 0, U, 0}, {"[Z-a]", "m", 0, U, 1},
      {"[Z-a]", "z", 0, SET, 1},
      {"[[:upper:]]*", "Abc", 0, U, 1}, {"[[:upper:]]*", "1bc", 0, U, 1},
      {"[[:lower:]]*", "Abc", 0, U, 0},
      {"[[:upper:]]*", "Abc", 0, SET, 0},
      {"[[:lower:]]*", "Abc", 0, SET, 1},
      {"[[=A=]]", "A", 0, U, 1},  // the folded string character is a
      {"[[=A=]]", "A", 0, SET, 0},
      {"[[=a=]]", "A", 0, U, 0},
      {"[[.a.]-c]", "B", 0, U, 0},
      {"\\A", "a", 0, U, 0}, {"\\A", "a", 0, SET, 1},
      {"(ab)\\1", "abAB", 0, U, 0}, {"(ab)\\1", "abAB", 0, SET, 1},
      // Code page 437 letters fold through the case table.
      {"\x87", "\x80", 0, U, 0},  // c cedilla
      {"\x80", "\x87", 0, U, 0}, {"\x80", "\x87", 0, SET, 1},
      {"\x84", "\x8e", 0, U, 0},  // a umlaut
      {"\x84", "\x8e", 0, EMPTY, 1},
      {"\x8e", "\x84", 0, U, 0},
      {"[\x81-\x86]", "\x8e", 0, U, 0}, {"[\x81-\x86]", "\x8e", 0, SET, 1},
      {"[\x8e-\x8e]", "\x84", 0, U, 0},
      {"[\x80-\x80]", "\x87", 0, U, 0}, {"[\x80-\x80]", "\x87", 0, SET, 1},
      {"[[:lower:]]", "\x9a", 0, U, 0},  // U umlaut folds to u umlaut
      {"[[:alpha:]]", "\x80", 0, U, 0},
      {"\xe1", "\xe1", 0, U, 0},  // no letter: unchanged either way
  });
}

TEST_F(Fnmatch, BracketExpressions) {
  check({
      {"[!a]", "b", 0, U, 0}, {"[!a]", "a", 0, U, 1},
      {"[^a]", "^", 0, U, 0}, {"[^a]", "a", 0, U, 0},
      {"[^a]", "b", 0, U, 1},
      {"[]a]", "]", 0, U, 0}, {"[]a]", "a", 0, U, 0},
      {"[!]a]", "]", 0, U, 1}, {"[!]a]", "b", 0, U, 0},
      {"[]]", "]", 0, U, 0},
      {"[a-]", "-", 0, U, 0},
      {"[-a]", "-", 0, U, 0},
      {"[!-a]", "-", 0, U, 1},
      {"[a-a]", "a", 0, U, 0},
      {"[--/]", ".", 0, U, 0},
      {"[a-c-e]", "d", 0, U, 0},  // the second range still starts at a
      {"[a-c-e]", "-", 0, U, 1},
      {"[a-c-]", "-", 0, U, 0},
      {"[a[:digit:]]", "a", 0, U, 0}, {"[a[:digit:]]", "5", 0, U, 0},
      {"[a[:digit:]]", "b", 0, U, 1},
      {"[![:digit:]]", "a", 0, U, 0}, {"[![:digit:]]", "1", 0, U, 1},
      {"[[.a.]-[.c.]]", "b", 0, U, 0},
      {"[[.-.]]", "-", 0, U, 0},
      {"[[===]]", "=", 0, U, 0},
      {"[[]", "[", 0, U, 0},
      {"[\\]]", "\\]", 0, U, 0},
      {"[\xfe-\xff]", "\xff", 0, U, 0},
      {"a[/]b", "a/b", 0, U, 0}, {"a[/]b", "a/b", P, U, 1},
      {"a[!x]b", "a/b", P, U, 1},
      {"a[b]", "a", 0, U, 1},
      // Each class, on the folded character.
      {"[[:alnum:]]", "a", 0, U, 0}, {"[[:alnum:]]", "_", 0, U, 1},
      {"[[:alpha:]]", "1", 0, U, 1},
      {"[[:blank:]]", "\t", 0, U, 0}, {"[[:blank:]]", "\n", 0, U, 1},
      {"[[:cntrl:]]", "\x01", 0, U, 0}, {"[[:cntrl:]]", "a", 0, U, 1},
      {"[[:digit:]]", "7", 0, U, 0}, {"[[:digit:]]", "a", 0, U, 1},
      {"[[:graph:]]", "!", 0, U, 0}, {"[[:graph:]]", " ", 0, U, 1},
      {"[[:graph:]]", "\xb0", 0, U, 1},
      {"[[:lower:]]", "a", 0, U, 0}, {"[[:lower:]]", "1", 0, U, 1},
      {"[[:print:]]", "\xb0", 0, U, 0}, {"[[:print:]]", "\x7f", 0, U, 1},
      {"[[:punct:]]", ",", 0, U, 0}, {"[[:punct:]]", "a", 0, U, 1},
      {"[[:space:]]", "\n", 0, U, 0}, {"[[:space:]]", "a", 0, U, 1},
      {"[[:upper:]]", "A", 0, SET, 0}, {"[[:upper:]]", "a", 0, SET, 1},
      {"[[:xdigit:]]", "F", 0, U, 0}, {"[[:xdigit:]]", "9", 0, U, 0},
      {"[[:xdigit:]]", "g", 0, U, 1},
      // Invalid expressions never match, not even a literal '['.
      {"[z-a]", "z", 0, U, 1}, {"[z-a]", "a", 0, U, 1},
      {"[a", "a", 0, U, 1}, {"[a", "[a", 0, U, 1},
      {"[", "[", 0, U, 1},
      {"[]", "]", 0, U, 1},
      {"[!]", "a", 0, U, 1},
      {"[[:foo:]]", "f", 0, U, 1},
      {"[[:ALPHA:]]", "a", 0, U, 1},
      {"[[::]]", ":", 0, U, 1},
      {"[a[:foo:]]", "a", 0, U, 1},  // a member matched before does not help
      {"[[:alpha:]", "a", 0, U, 1},
      {"[[:alpha:", "a", 0, U, 1},
      {"[[:digit:]-z]", "5", 0, U, 1},
      {"[a-[:digit:]]", "a", 0, U, 1},
      {"[[=a=]-z]", "b", 0, U, 1},
      {"[[:digit:]-]", "-", 0, U, 0},
      {"[[=ab=]]", "a", 0, U, 1},
      {"[[==]]", "=", 0, U, 1},
      {"[[=a]", "a", 0, U, 1},
      {"[[.ab.]]", "a", 0, U, 1},
      {"[a-c", "b", 0, U, 1},
  });
}

TEST_F(Fnmatch, EscapesGroupsAndBackReferences) {
  check({
      {"\\*", "*", 0, U, 0}, {"\\*", "a", 0, U, 1},
      {"\\\\", "\\", 0, U, 0},
      {"\\", "\\", 0, U, 1},  // a backslash at the end fails
      {"a\\", "a\\", 0, U, 1},
      {"\\", "\\", E, U, 0},
      {"\\*", "\\x", E, U, 0},
      {"(a)\\1", "a\\1", E, U, 0},
      {"a(1)b", "a1b", 0, U, 0}, {"a(1)b", "a(1)b", 0, U, 1},
      {"a\\(1\\)b", "a(1)b", 0, U, 0},
      {"a)", "a", 0, U, 0},
      {"(ab)\\1", "abab", 0, U, 0}, {"(ab)\\1", "abac", 0, U, 1},
      {"\\1x", "1x", 0, U, 0},
      {"(a)\\2", "a2", 0, U, 0},
      {"(a)(b)\\2\\1", "abba", 0, U, 0},
      {"()\\1x", "x", 0, U, 0},
      {"a()\\1b", "ab", 0, U, 0},
      {"(*)-\\1", "ab-ab", 0, U, 0}, {"(*)-\\1", "ab-a", 0, U, 1},
      {"(*)-\\1", "ab-abc", 0, U, 1},
      {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)\\9", "abcdefghiji", 0, U, 0},
      {"(a)\\10", "aa0", 0, U, 0},
      // Ten parentheses: the ')' after b closes the innermost of the nine groups.
      {"(((((((((a(b)c)))))))))\\9", "abcab", 0, U, 0},
      // A failed list pattern takes back the capture of its group 2.
      {"@((a)x|a?)\\2", "ay2", 0, U, 0}, {"@((a)x|a?)\\2", "aya", 0, U, 1},
      // A repeated list goes on with the capture its first round opened; in
      // the empty case of a later round the capture has no end yet.
      {"*(a|b)\\1", "abab", 0, U, 0}, {"*(a|b)\\1", "abb", 0, U, 1},
      {"*(a|b)\\1", "ab1", 0, U, 0},
      // A failed list takes back its capture: the saved one of an earlier
      // round comes back, and a round's end goes again before the next.
      {"@(@(a|b)y|ay?)\\2", "ayza", 0, U, 0},
      {"@(a|?\\1)c", "a1c", 0, U, 0},
      {"@(a|b)\\1", "aa", 0, U, 0}, {"@(a|b)\\1", "ab", 0, U, 1},
      {"+(a|b)-\\1", "ab-ab", 0, U, 0},
      {"!(b)\\1", "aa", 0, U, 1},  // a negated list records no end: \1 is a literal 1
      {"!(b)\\1", "a1", 0, U, 0},
  });
}

TEST_F(Fnmatch, PatternLists) {
  check({
      {"@(foo|bar).c", "foo.c", 0, U, 0}, {"@(foo|bar).c", "bar.c", 0, U, 0},
      {"@(foo|bar).c", "baz.c", 0, U, 1},
      {"+(ab)", "abab", 0, U, 0}, {"+(ab)", "", 0, U, 1},
      {"+(ab)", "aba", 0, U, 1},
      {"*(ab)", "", 0, U, 0}, {"*(ab)", "ababab", 0, U, 0},
      {"*(ab)", "aba", 0, U, 1},
      {"?(x)y", "y", 0, U, 0}, {"?(x)y", "xy", 0, U, 0},
      {"?(x)y", "xxy", 0, U, 1},
      {"@(ab)", "", 0, U, 1},
      {"@()", "", 0, U, 1},
      {"?()", "", 0, U, 0},
      {"!()", "", 0, U, 0}, {"!()", "a", 0, U, 0},
      {"!(a*).c", "b.c", 0, U, 0}, {"!(a*).c", "ab.c", 0, U, 1},
      {"!(a|b)", "a", 0, U, 1}, {"!(a|b)", "c", 0, U, 0},
      {"!(a|b)", "ab", 0, U, 0},
      {"!(*)x", "x", 0, U, 0}, {"!(*)x", "ax", 0, U, 1},
      {"*@(b)", "ab", 0, U, 0},
      {"@(a*&*b)", "axb", 0, U, 0}, {"@(a*&*b)", "axc", 0, U, 1},
      {"!(a&b)", "a", 0, U, 0},
      {"@(a&a)", "a", 0, U, 0},
      {"@(*a&b*)", "ba", 0, U, 0}, {"@(*a&b*)", "ab", 0, U, 1},
      {"@(a&b|c)", "c", 0, U, 0}, {"@(a&b|c)", "a", 0, U, 1},
      {"@(b&a)", "a", 0, U, 1},
      {"@(a@(b|c)d)", "acd", 0, U, 0},
      {"*(a|*(b))c", "abbac", 0, U, 0},
      {"@(@(@(x)y))", "xy", 0, U, 0},
      {"@(@(z)|@(a)b)", "ab", 0, U, 0},
      {"@(@(a)*)@(z)", "acz", 0, U, 0},
      {"!(!(a))", "a", 0, U, 0}, {"!(!(a))", "b", 0, U, 1},
      {"a+b", "a+b", 0, U, 0},
      {"a@b", "a@b", 0, U, 0},
      {"!a", "!a", 0, U, 0},
      {"@(a\\|b)", "b", 0, U, 0},  // no escapes in the list's own syntax
      {"@(a\\|b)", "a|b", 0, U, 1},
      {"@([)])", ")", 0, U, 1},
      {"@(a/b)", "a/b", P, U, 0},
      {"*(?)", "a/b", P, U, 1},
      {"@(*)", "a/b", P, U, 1},
      // List patterns are matched without the start of the string.
      {"@(.x)", ".x", D, U, 0},
      {"@(*)", ".x", D, U, 0},
      {"!(y)", ".x", D, U, 0},
      {"+(.)x", ".x", D, U, 0},
      {"?x", ".x", D, U, 1},
      {"*x", ".x", D, U, 1},
      {"?(.)x", ".x", D, U, 1},
      {"*(.)x", ".x", D, U, 1},
      {"a/@(*)", "a/.x", P | D, U, 1},
  });
}

TEST_F(Fnmatch, MalformedPatternsSimplyFail) {
  check({
      {"@(a", "a", 0, U, 1}, {"@(a", "@(a", 0, U, 1},
      {"*(", "", 0, U, 1},
      {"a(", "a", 0, U, 0},
      {"(((", "", 0, U, 0},
      {")))", "", 0, U, 0},
      {"!(", "!(", 0, U, 1},
      {"[[:", "[", 0, U, 1},
      {"[[=", "[", 0, U, 1},
      {"\\(", "(", 0, U, 0},
      {"@(a|)", "", 0, U, 1},
      {"?(|)", "", 0, U, 0},
      {"*(|&|)", "", 0, U, 0},
      {"\xff*\x80", "\xff\x01\x87", 0, U, 0},
  });
}

// Patterns whose plain search takes time exponential in the length of the
// string: they must still give the result the rules give.
TEST_F(Fnmatch, ExplosivePatternsKeepTheirResults) {
  const std::string a255(255, 'a');
  std::string stars;
  for (int i = 0; i < 20; ++i) stars += "*a";
  check({
      {stars + "b", a255, 0, U, 1},
      {stars + "b", a255 + "b", 0, U, 0},
      {std::string(50, '*') + "b", a255, 0, U, 1},
      {"+(a|aa)b", a255, 0, U, 1}, {"+(a|aa)b", a255 + "b", 0, U, 0},
      {"*(*(*(a)))b", a255, 0, U, 1},
      {"*(a|b|ab)c", std::string(100, 'b') + "a", 0, U, 1},
      {"@(*a*a*a*a*b)", a255, 0, U, 1},
      {"!(*a*a*a*)b", a255, 0, U, 1},
      {"*(a*)*(a*)*(a*)b", a255, 0, U, 1},
      {"[a-z]*[a-z]*[a-z]*[a-z]*x", a255, 0, U, 1},
      {"*/*/*/*/*", "a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a/a", P, U, 1},
      {"(*)(*)\\1\\2x", a255, 0, U, 1}, {"(*)(*)\\1\\2x", std::string(20, 'a') + "x", 0, U, 0},
      // Where back-references read captures, a failure at one capture says
      // nothing of another: "a" fails after "ab" and a long search.
      {"@(a|ab)*\\1x", "ab" + std::string(3000, 'z') + "abx", 0, U, 0},
  });
}

// Limits: a call gives up, and reports no match, after about ten million
// steps or 1000 nested tries; deep nesting never exhausts the stack.
TEST_F(Fnmatch, DeepPatternsStayWithinTheLimits) {
  std::string empty_lists;
  for (int i = 0; i < 990; ++i) empty_lists += "?(x)";
  std::string too_many;
  for (int i = 0; i < 1010; ++i) too_many += "?(x)";
  check({
      {empty_lists + "a", "a", 0, U, 0},
      {too_many + "a", "a", 0, U, 1},  // the rules would give 0
      {std::string(10000, '(') + "a" + std::string(10000, ')'), "a", 0, U, 0},
      {std::string(10000, '[') + "a", "a", 0, U, 1},
      {std::string(10000, '*') + "a", std::string(255, 'a'), 0, U, 0},
      {"*(a)", std::string(255, 'a'), 0, U, 0},
      {"*(a)", std::string(2000, 'a'), 0, U, 1},  // a round each: too deep
      {"(*)(*)(*)(*)(*)\\1\\2\\3\\4\\5x", std::string(255, 'a'), 0, U, 1},
  });
  std::string nested;
  for (int i = 0; i < 10000; ++i) nested += "*(";
  check({
      {nested, "a", 0, U, 1},
      {nested + "a" + std::string(10000, ')'), "a", 0, U, 1},  // the rules would give 0
  });
}

TEST_F(Fnmatch, WithoutMemoryForTheGroupTableTheResultIs2) {
  w32::hook::fail_nth(Call::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::fnmatch("a", "a", 0), 2);
  EXPECT_EQ(rt::fnmatch("a", "a", 0), 0);
}

// The memo is only a help: without memory for it the search goes on.
TEST_F(Fnmatch, WithoutMemoryForTheMemoTheSearchGoesOn) {
  w32::hook::reset();  // counts from here
  w32::hook::fail_nth(Call::HeapAlloc, 2, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::fnmatch("*a*a*a*b", std::string(60, 'a').c_str(), 0), 1);
  EXPECT_EQ(w32::hook::calls(Call::HeapAlloc), 2u);  // the memo was asked for, and refused
}

}  // namespace
