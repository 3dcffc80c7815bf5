// Shell pattern matching with the flags wildcard expansion passes.
#include <string>
#include <vector>
#include "tests/support/support.h"
#include "runtime/startup/fnmatch.h"
#include "runtime/win32/errno.h"

namespace {
using Fnmatch = support::RuntimeTest;
constexpr int D = rt::FNM_PERIOD, P = rt::FNM_PATHNAME;
enum Dualcase { U, EMPTY, SET };  // DUALCASE not set (letters fold), set to "", set to "1"
const char* const kDualcase[] = {"OTHER=", "DUALCASE=", "DUALCASE=1"};
struct Case {
  std::string pattern, string;
  int expected, flags = 0;
  Dualcase dualcase = U;
};
void check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const support::Environment environment({kDualcase[c.dualcase]});
    EXPECT_EQ(rt::fnmatch(c.pattern.c_str(), c.string.c_str(), c.flags), c.expected)
        << "pattern \"" << c.pattern.substr(0, 80) << "\" string \"" << c.string.substr(0, 80) << "\" flags "
        << c.flags << " DUALCASE " << c.dualcase;
  }
}

TEST_F(Fnmatch, Rules) {
  check({
      // Wildcards and the period rule.
      {"", "", 0}, {"", "a", 1}, {"a?c", "abc", 0}, {"a?c", "ac", 1}, {"a*c", "abbbc", 0}, {"a*c", "abbb", 1},
      {"?*", "", 1}, {"[!a]*", "", 1},  // a wildcard or a bracket takes a character: none at the end
      {"?", "/", 0}, {"*", ".profile", 1, D}, {".*", ".profile", 0, D}, {"\\.*", ".profile", 0, D},
      {"[.]profile", ".profile", 1, D}, {"a/*", "a/.x", 0, D},
      // Under FNM_PATHNAME only a '/' takes a '/', and a period after one leads.
      {"a*c", "ab/c", 0}, {"a*c", "ab/c", 1, P}, {"a*[c]", "ab/c", 0}, {"a*[c]", "ab/c", 1, P}, {"a*[c]", "abbc", 0, P},
      {"a?c", "a/c", 1, P}, {"a[/]c", "a/c", 1, P}, {"*/*", "a/b", 0, P}, {"a/*", "a/.x", 1, P | D},
      {"@(*)@(.x)", "a.x", 0, D},  // the '*' stands at the end of the text it may take
      {"(*)", ".x", 0, D},         // a group opened first clears the start of the string
      // Letters fold unless DUALCASE is set.
      {"*.TXT", "readme.txt", 0}, {"*.TXT", "readme.txt", 1, 0, EMPTY}, {"*.TXT", "README.TXT", 0, 0, SET},
      {"[A-C]x", "bx", 0}, {"[A-C]x", "bx", 1, 0, EMPTY}, {"[A-C]", "c", 0}, {"[Z-a]", "A", 0}, {"[Z-a]", "m", 1},
      {"[[:upper:]]*", "Abc", 1}, {"[[:lower:]]*", "Abc", 0}, {"[[:upper:]]*", "Abc", 0, 0, SET},
      {"[[.a.]-c]", "B", 0}, {"[[.A.]-C]", "a", 0}, {"[[=A=]]", "A", 1}, {"\\A", "a", 0}, {"(ab)\\1", "abAB", 0},
      {"(ab)\\1", "abAB", 1, 0, SET},
      // Bracket expressions.
      {"[!a]", "b", 0}, {"[!a]", "a", 1}, {"[^a]", "^", 0}, {"[^a]", "a", 0}, {"[]a]", "]", 0}, {"[!]a]", "]", 1},
      {"[a-]", "-", 0}, {"[-a]", "-", 0}, {"[a-c-e]", "d", 0}, {"[a-c-e]", "-", 1}, {"[a.b.]", "a", 0},
      {"[a[:digit:]]", "a", 0}, {"[a[:digit:]]", "5", 0}, {"[![:digit:]]", "a", 0}, {"[![:digit:]]", "1", 1},
      {"[[.a.]-[.c.]]", "b", 0}, {"[[===]]", "=", 0}, {"[[:xdigit:]]", "F", 0},
      // Invalid expressions never match, not even a literal '['.
      {"[[.]", ".", 1}, {"[[.]", "[", 1},
      {"[z-a]", "z", 1}, {"[a", "a", 1}, {"[a", "[a", 1}, {"[[:foo:]]", "f", 1}, {"[[:Alpha:]]", "a", 1},
      {"[[:alp:]]", "a", 1}, {"[a[:foo:]]", "a", 1}, {"[[:digit:]-z]", "5", 1}, {"[[=ab=]]", "a", 1},
      // Escapes, groups and back-references.
      {"\\*", "*", 0}, {"\\*", "a", 1}, {"\\", "\\", 1},
      {"a(1)b", "a1b", 0}, {"a(1)b", "a(1)b", 1}, {"a\\(1\\)b", "a(1)b", 0},
      {"(ab)\\1", "abab", 0}, {"\\1x", "1x", 0}, {"(a)\\2", "a2", 0}, {"(a)(b)\\2\\1", "abba", 0},
      {"()\\1x", "x", 0}, {"(*)-\\1", "ab-ab", 0}, {"(*)-\\1", "ab-abc", 1},
      // Ten parentheses: the ')' after b closes the innermost of the nine groups; a \9 is as long as its capture.
      {"(((((((((a(b)c)))))))))\\9", "abcab", 0}, {"(((((((((ab)))))))))*\\9", "abxab", 0},
      // A repeated list goes on with the capture its first round opened.
      {"*(a|b)\\1", "abab", 0}, {"*(a|b)\\1", "abb", 1}, {"+(b*)\\1", "bbbbbbaabb", 1},
      // A failed list takes back its capture: the saved one of an earlier round comes back.
      {"@(@(a|b)y|ay?)\\2", "ayza", 0}, {"@(a|b)\\1", "ab", 1}, {"b*?([ab])\\1", "bbaba", 1},
      // Pattern lists.
      {"@(foo|bar).c", "foo.c", 0}, {"@(foo|bar).c", "bar.c", 0}, {"@(foo|bar).c", "baz.c", 1},
      {"+(ab)", "abab", 0}, {"+(ab)", "", 1}, {"?(x)y", "y", 0}, {"?(x)y", "xy", 0}, {"?(x)y", "xxy", 1},
      {"@()", "", 1}, {"!()", "a", 0}, {"!(a*).c", "b.c", 0}, {"!(a*).c", "ab.c", 1}, {"*@(b)", "ab", 0},
      {"!(*)x", "x", 0}, {"@(a*&*b)", "axb", 0}, {"@(a*&*b)", "axc", 1}, {"@(a&b|c)", "c", 0}, {"*(", "", 1},
      {"@(@(@(x)y))", "xy", 0}, {"@(a\\|b)", "b", 0},  // no escapes in the list's own syntax
      // List patterns are matched without the start of the string.
      {"@(.x)", ".x", 0, D}, {"@(*)", ".x", 0, D}, {"!(y)", ".x", 0, D}, {"?x", ".x", 1, D}, {"*x", ".x", 1, D},
      {"?(.)x", ".x", 1, D},
  });
  // Names are matched by their characters: code points where names are UTF-8 (Windows), else bytes (here).
  if (w32::kNamePage == CP_UTF8) {
    check({
        // Wildcards take characters: Cyrillic, CJK, emoji of four bytes.
        {"?", "ж", 0}, {"??", "ж", 1}, {"日?.log", "日志.log", 0}, {"a?b", "a😀b", 0}, {"a??b", "a😀b", 1},
        {"*?", "😀", 0}, {"*??", "😀", 1}, {"+(?)", "😀😀", 0}, {"(?)\\1", "😀😀", 0}, {"(?)\\1", "😀😃", 1},
        // Brackets hold characters; ranges go by code point (ё is outside а-я).
        {"[а-я]*", "журнал.log", 0}, {"[а-я]", "ё", 1}, {"[!а-я]", "ё", 0}, {"[😀-😂]", "😁", 0},
        {"[[=ж=]]", "ж", 0}, {"[[.а.]-я]", "п", 0},
        // Letters fold: Latin-1, Latin Extended-A, Greek with both small sigmas, Cyrillic; not under DUALCASE.
        {"*É*", "café.log", 0}, {"Ж", "ж", 0}, {"ж", "Ж", 0}, {"Ж", "ж", 1, 0, SET}, {"Ā", "ā", 0}, {"ÿ", "Ÿ", 0},
        {"Σ", "ς", 0}, {"ς", "σ", 0}, {"[Ÿ-Ÿ]", "ÿ", 0}, {"[ς-ς]", "Σ", 0}, {"[А-Я]", "п", 0},
        {"[А-Я]", "п", 1, 0, SET}, {"(ж)\\1", "жЖ", 0}, {"(ж)\\1", "жЖ", 1, 0, SET},
        {"İ", "i", 1},  // dotted I folds to no other letter
        {"[[:alpha:]]", "ж", 0}, {"[[:alpha:]]", "×", 1}, {"[[:lower:]]", "Ж", 0}, {"[[:lower:]]", "Ж", 1, 0, SET},
        {"[[:upper:]]", "İ", 0},  // it stays upper case
        // A byte that begins no sequence matches only itself: not its value's code point, a 437 partner, a sequence.
        {"\xFF", "\xFF", 0}, {"?", "\xFF", 0}, {"??", "\xC3" "a", 0}, {"\xC3?", "\xC3\xA9", 1}, {"\xE9", "é", 1},
        {"[\x80-\xFF]", "\xE9", 0}, {"[\x80-\xFF]", "é", 1}, {"\x80", "\x87", 1}, {"???", "\xF0\x9F\x98", 0},
    });
  } else {
    check({
        // Each byte is a character (a UTF-8 ж is two); page 437 letters fold by the case table: c cedilla, a umlaut.
        {"??", "ж", 0}, {"?", "ж", 1}, {"*????", "😀", 0}, {"[[=ж=]]", "ж", 1}, {"Ж", "ж", 1},
        {"\x80", "\x87", 0}, {"\x80", "\x87", 1, 0, SET}, {"\x84", "\x8e", 0}, {"[\x8e-\x8e]", "\x84", 0},
    });
  }
}

// Searches long enough to be remembered, with the rules' outcomes still; and too deep ones, which give up.
TEST_F(Fnmatch, LongSearches) {
  const std::string a255(255, 'a');
  std::string nested;
  for (int i = 0; i < 10000; ++i) nested += "*(";
  check({
      {"*(*(*(a)))b", a255, 1}, {"@(*a*a*a*a*b)", a255, 1}, {std::string(10000, '*') + "a", a255, 0},
      // A failure at one capture says nothing of another: "a" fails after "ab" and a long search.
      {"@(a|ab)*\\1x", "ab" + std::string(3000, 'z') + "abx", 0},
      {"*(*a*a*b*a)a", "aaaaaaaaaaaabaaaaaaa", 0}, {"@(*(@(?\?)))[ab]b", "baaaaaaaaaaaabaaab", 0},
      {"!(*(*(b*)a))b)a", "aaaabbababbbaaaba", 1}, {")+(*+(*)b?))*", "aaaaaaaabaaaaaab", 0},
      {"!(*(&b)*!()b)b", "aaabaaaaaaababaaaaabbb", 1}, {"*(*[ab])*a?(?)b", "baaaaaa", 1},
      {"(*)(*)(*)(*)(*)\\1\\2\\3\\4\\5x", a255, 1}, {nested + "a" + std::string(10000, ')'), "a", 1},
      {"*", std::string((1 << 20) + 1, 'a'), 1},  // over a mebibyte: given up
      {"@(+(a|aa)b|*c)", std::string(100, 'a') + "c", 0},  // lists are remembered: the first branch fails fast
  });
}

TEST_F(Fnmatch, WithoutMemory) {
  w32::hook::fail_nth(w32::hook::Call::HeapAlloc, 1, NO_ERROR);  // a heap that runs out without saying why
  EXPECT_EQ(rt::fnmatch("a", "a", 0), 2);  // no group table
  EXPECT_EQ(rt::errno, ERROR_NOT_ENOUGH_MEMORY);
  // The memo is only a help: without memory for it the search goes on.
  w32::hook::fail_nth(w32::hook::Call::HeapAlloc, 2, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::fnmatch("*(*a*a*b*a)a", "aaaaaaaaaaaabaaaaaaa", 0), 0);
}
}  // namespace
