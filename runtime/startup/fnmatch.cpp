// Shell pattern matching: fnmatch.
//
// Contents: 1. the group table and captures - 2. bracket expressions -
// 3. the search: work budget, depth limit and the outcome memo - 4. the
// walk, '*' and pattern lists - 5. fnmatch: the texts read as characters.
//
// The matcher works on characters: fnmatch reads the pattern and the string
// into arrays of them first (section 5), so every position, length and
// work unit below counts characters.
//
// The matcher backtracks: '*' tries every length, shortest first, and a
// pattern list tries every end of the text it takes, each followed by the
// rest of the pattern. What keeps that affordable, without changing a
// result: a run of stars acts as one; a '*' before a rest of fixed length
// tries only the length that leaves room for it; and in patterns without
// back-references, where captures decide nothing, a ?, @ or ! list with
// nothing after it tries only the string end, and once a call has done
// enough work to make a table worth it, the outcome of each '*' and each
// pattern list at each string position is remembered (section 3). A work
// budget and a depth limit bound what remains (back-references, deep
// nesting, very long strings): a call that exceeds either gives up and
// reports no match.
#include <cstddef>
#include <cstdint>

#include "runtime/startup/fnmatch.h"
#include "runtime/msg/ctype.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/stdlib.h"
#include "runtime/stdio/encoding.h"
#include "runtime/string.h"

namespace rt {
namespace {

// Flag bits used inside the matcher only.
constexpr int kPublicFlags = FNM_PATHNAME | FNM_NOESCAPE | FNM_PERIOD;
constexpr int kFold = 0x08;     // letters are compared after case folding
constexpr int kAtStart = 0x10;  // the walk stands at the very start of the string

constexpr std::size_t kNone = SIZE_MAX;  // no pattern position

// Names are UTF-8, where a character is a code point, or bytes, where each
// byte is a character of code page 437's tables.
constexpr bool kUtf8Names = w32::kNamePage == CP_UTF8;

// The case folding of one character, when on: upper case to lower case (and
// final sigma to sigma and the like).
char32_t fold(char32_t c, int flags) {
  if (!(flags & kFold)) return c;
  return kUtf8Names ? fold_code_point(c) : static_cast<char32_t>(tolower(static_cast<int>(c)));
}

// The class bits of a character.
std::uint16_t class_of(char32_t c) { return kUtf8Names ? code_point_class(c) : char_class(static_cast<int>(c)); }

bool is_list_operator(char32_t c) { return c == '?' || c == '*' || c == '+' || c == '@' || c == '!'; }

// --- 1. The group table and captures ----------------------------------------

constexpr int kGroupLimit = 9;  // \1 ... \9
constexpr std::ptrdiff_t kUnset = PTRDIFF_MIN;

// What a group matched: the string positions of its first and of its last
// character, each possibly unset. A last position before the first stands
// for the empty text. Set positions lie within the string: a first position
// is where a walk stood (0 ... length), a last one is just before where a
// walk stood (-1 ... length - 1).
struct Capture {
  std::ptrdiff_t first;
  std::ptrdiff_t last;
};

struct Group {
  std::size_t open;   // pattern position of its '('
  std::size_t close;  // pattern position of the ')' that closes it, or kNone
  Capture capture;
  Capture saved;  // the capture before its latest opening, to undo that with
};

// The first nine opening parentheses of the raw pattern, those after a
// backslash or inside a bracket expression included; later ones only group.
struct GroupTable {
  Group groups[kGroupLimit];
  int count;
};

// Fills the table from the pattern; a ')' closes the innermost group still open.
void build_groups(GroupTable& table, const char32_t* pattern, std::size_t length) {
  table.count = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (pattern[i] == '(' && table.count < kGroupLimit) {
      table.groups[table.count++] = Group{i, kNone, {kUnset, kUnset}, {kUnset, kUnset}};
    } else if (pattern[i] == ')') {
      for (int g = table.count - 1; g >= 0; --g) {
        if (table.groups[g].close == kNone) {
          table.groups[g].close = i;
          break;
        }
      }
    }
  }
}

// The group whose '(' stands at pattern position p, or -1.
int group_opened_at(const GroupTable& table, std::size_t p) {
  for (int g = 0; g < table.count; ++g) {
    if (table.groups[g].open == p) return g;
  }
  return -1;
}

// The group that the ')' at pattern position p closes, or -1.
int group_closed_at(const GroupTable& table, std::size_t p) {
  for (int g = 0; g < table.count; ++g) {
    if (table.groups[g].close == p) return g;
  }
  return -1;
}

// Opens a group's capture at string position s. A capture with a start but
// no end is left alone: a repeated pattern list goes on with the capture its
// first round started. Otherwise the capture is saved and starts afresh.
// True when it was saved (the opening then has to be undone on failure).
bool open_capture(Group& group, std::size_t s) {
  if (group.capture.first != kUnset && group.capture.last == kUnset) return false;
  group.saved = group.capture;
  group.capture = Capture{static_cast<std::ptrdiff_t>(s), kUnset};
  return true;
}

// Closes a group's capture after the character before string position s:
// only a capture with a start and no end takes it. True when it did.
bool close_capture(Group& group, std::size_t s) {
  if (group.capture.first == kUnset || group.capture.last != kUnset) return false;
  group.capture.last = static_cast<std::ptrdiff_t>(s) - 1;
  return true;
}

// Undoes what a failed walk did to the captures: a group it opened gets its
// whole capture back, a group it only closed loses the end again.
void undo_captures(GroupTable& table, unsigned opened, unsigned closed) {
  for (int g = 0; g < table.count; ++g) {
    const unsigned bit = 1u << g;
    if (opened & bit) {
      table.groups[g].capture = table.groups[g].saved;
    } else if (closed & bit) {
      table.groups[g].capture.last = kUnset;
    }
  }
}

// The capture that an escaped digit refers to: the digits 1 ... 9 name a
// group whose capture has both positions set; anything else is no
// back-reference and stands for itself.
const Capture* back_reference(const GroupTable& table, char32_t digit) {
  if (digit < '1' || digit > '9') return nullptr;
  const int g = static_cast<int>(digit - '1');
  if (g >= table.count) return nullptr;
  const Capture& capture = table.groups[g].capture;
  if (capture.first == kUnset || capture.last == kUnset) return nullptr;
  return &capture;
}

// --- 2. Bracket expressions ---------------------------------------------------

struct CharClass {
  const char* name;
  std::uint16_t bits;  // the class holds when the character has any of them
};

// Searched in this order; a name not here makes the expression invalid.
constexpr CharClass kClasses[] = {
    {"alnum", CT_ALPHA | CT_DIGIT}, {"alpha", CT_ALPHA}, {"blank", CT_BLANK},   {"cntrl", CT_CONTROL},
    {"digit", CT_DIGIT},            {"graph", CT_GRAPH}, {"lower", CT_LOWER},   {"print", CT_PRINT},
    {"punct", CT_PUNCT},            {"space", CT_SPACE}, {"upper", CT_UPPER},   {"xdigit", CT_DIGIT | CT_HEX_LETTER},
};

// The bits of the class named by the text [name, name + length), or 0.
std::uint16_t class_bits(const char32_t* name, std::size_t length) {
  for (const CharClass& entry : kClasses) {
    std::size_t i = 0;
    while (i < length && static_cast<char32_t>(entry.name[i]) == name[i]) ++i;
    if (i == length && entry.name[i] == '\0') return entry.bits;
  }
  return 0;
}

enum class MemberKind { Char, Class, Equivalence, Collating, Invalid };

struct Member {
  MemberKind kind;
  char32_t value;    // the character; for a class its bits
  std::size_t next;  // the pattern position after the member
};

// Reads the member at q (q < end): an ordinary character, or [:name:],
// [=c=] or [.c.], each ended by its own punctuation and ']'. An equivalence
// class and a collating symbol hold exactly one character.
Member read_member(const char32_t* pattern, std::size_t q, std::size_t end) {
  const char32_t c = pattern[q];
  if (c != '[' || q + 1 >= end) return {MemberKind::Char, c, q + 1};
  const char32_t form = pattern[q + 1];
  if (form != ':' && form != '=' && form != '.') return {MemberKind::Char, c, q + 1};
  const std::size_t text = q + 2;
  std::size_t stop = text;
  while (stop + 1 < end && !(pattern[stop] == form && pattern[stop + 1] == ']')) ++stop;
  if (stop + 1 >= end) return {MemberKind::Invalid, 0, end};
  if (form == ':') {
    const std::uint16_t bits = class_bits(pattern + text, stop - text);
    return {bits ? MemberKind::Class : MemberKind::Invalid, bits, stop + 2};
  }
  if (stop - text != 1) return {MemberKind::Invalid, 0, stop + 2};
  return {form == '=' ? MemberKind::Equivalence : MemberKind::Collating, pattern[text], stop + 2};
}

// Whether some character from first to last folds to the folded character
// c: c itself, or with folding on a letter that folds to c. In code page 437
// the case pairs are one to one, so that letter is toupper(c); code points
// may have more than one (sigma and final sigma).
bool range_holds(char32_t first, char32_t last, char32_t c, int flags) {
  if (c >= first && c <= last) return true;
  if (!(flags & kFold)) return false;
  if (kUtf8Names) return range_folds_to(first, last, c);
  const int partner = toupper(static_cast<int>(c));
  return (char_class(partner) & CT_UPPER) && static_cast<char32_t>(partner) >= first &&
         static_cast<char32_t>(partner) <= last;
}

struct BracketResult {
  bool matched;      // valid, and it matches
  std::size_t next;  // the position after the closing ']' (when matched), else where reading stopped
};

// Evaluates the bracket expression whose text starts at p (after the '[')
// for the folded string character c. An invalid expression never matches.
BracketResult match_bracket(const char32_t* pattern, std::size_t p, std::size_t end, char32_t c, int flags) {
  std::size_t q = p;
  bool negated = false;
  if (q < end && pattern[q] == '!') {
    negated = true;
    ++q;
  }
  const std::size_t first = q;  // a ']' or '-' here is an ordinary member
  bool found = false;
  for (;;) {
    if (q >= end) return {false, q};
    if (pattern[q] == ']' && q != first) break;
    const Member member = read_member(pattern, q, end);
    q = member.next;
    switch (member.kind) {
      case MemberKind::Invalid:
        return {false, q};
      case MemberKind::Char:
        found |= fold(member.value, flags) == c;
        break;
      case MemberKind::Class:
        found |= (class_of(c) & member.value) != 0;
        break;
      case MemberKind::Equivalence:
      case MemberKind::Collating:
        found |= member.value == c;
        break;
    }
    // Ranges from this member: a '-' not just before the closing ']'. The
    // start of a further range is still this member.
    while (q + 1 < end && pattern[q] == '-' && pattern[q + 1] != ']') {
      if (member.kind == MemberKind::Class || member.kind == MemberKind::Equivalence) return {false, q};
      const Member last = read_member(pattern, q + 1, end);
      q = last.next;
      if (last.kind != MemberKind::Char && last.kind != MemberKind::Collating) return {false, q};
      if (last.value < member.value) return {false, q};
      found |= range_holds(member.value, last.value, c, flags);
    }
  }
  return {found != negated, q + 1};
}

// --- 3. The search: work budget, depth limit and the outcome memo -------------

// Work units a call may spend: walk steps, tries of '*', candidate ends of
// pattern lists and characters scanned or compared. Past it the call gives
// up. Under a tenth of a second in an optimised build. Without
// back-references the patterns found hardest take a few million units on a
// 255-character name; with them the search is not remembered and the
// limit is what ends it.
constexpr std::uint64_t kWorkLimit = 10'000'000;
// Nested walks a call may stand in: each '*', each pattern list and each
// round of a repeated list goes one level deeper, so a 255-character name
// repeated a character a round takes 256. Under a kilobyte of stack a level
// in every build; past the limit the call gives up.
constexpr int kDepthLimit = 1000;
// Work after which a call sets up the memo: ordinary calls never need it.
constexpr std::uint64_t kMemoThreshold = 4096;
// The largest memo a call allocates, and the longest string a row of pairs
// covers ((n + 1)(n + 2) / 2 cells).
constexpr std::size_t kMemoBytes = 8u << 20;
constexpr std::size_t kMemoStringLimit = 4095;

// The memo: for a branch element (a '*' or a pattern list operator) at
// pattern position p, tried at string position s with string end e (s <= e),
// whether it and everything after it in its pattern matched. In a pattern
// without back-references nothing else decides that: the pattern end of the
// walk is fixed by p (the end of the innermost list pattern holding p, or
// the pattern's end), the flags are fixed for the call (the start-of-string
// bit is no more by the time an element runs), and captures are read by
// back-references alone. Each branch position has a row of 2-bit cells
// (known, matched). Outside every pattern list the string end is always
// the string's own, so such a row has a cell per s; a row for a position
// that may stand inside a list has one per pair (s, e), at e(e+1)/2 + s.
//
// Beside the cells the memo keeps where each scan for a list's ')' or for
// the end of a list pattern stopped, by the position it started from (a
// list's '(' or the start of one of its patterns: never the same position).
enum class MemoState { Untried, Ready, Unavailable };

struct Memo {
  MemoState state;
  void* block;              // the allocation: row_of, scan_end, then the cells
  std::uint32_t* row_of;    // per pattern position: its row's first cell plus one, and kPairRow; 0 for none
  std::uint32_t* scan_end;  // per pattern position: where a scan from it stopped plus one, 0 for none yet
  unsigned char* cells;     // four cells a byte
};

constexpr std::uint32_t kPairRow = 0x80000000u;  // the row has a cell per pair (s, e)
constexpr std::size_t kMemoCells = kMemoBytes * 4;  // well below kPairRow

enum class Known { Unknown, Matched, Failed };

struct Search {
  const char32_t* pattern;
  std::size_t pattern_length;
  const char32_t* string;  // folded when letters fold
  std::size_t string_length;
  GroupTable* groups;
  Memo memo;
  std::uint64_t work;
  int depth;
  bool captures_matter;  // the pattern may hold back-references
  bool gave_up;          // the budget or the depth limit was exceeded: every walk now fails
};

// Whether pattern position i holds a branch element.
bool is_branch(const Search& m, std::size_t i) {
  const char32_t c = m.pattern[i];
  return c == '*' || (is_list_operator(c) && i + 1 < m.pattern_length && m.pattern[i + 1] == '(');
}

// Lays the rows out one after the other and gives the number of cells, or
// kNone past kMemoCells; fills row_of when it is given. A position counts
// as inside a list from an operator's '(' to the ')' that brings the raw
// parenthesis depth back (to the pattern's end when none does): every list
// the walk can find is one of these, escaped or not.
std::size_t lay_out_rows(const Search& m, std::uint32_t* row_of) {
  const std::size_t n = m.string_length;
  std::size_t cells = 0;
  std::size_t depth = 0;
  std::size_t list_depth = kNone;  // the depth of the outermost open list's '('
  for (std::size_t i = 0; i < m.pattern_length; ++i) {
    if (is_branch(m, i)) {
      const bool pairs = list_depth != kNone;
      if (pairs && n > kMemoStringLimit) return kNone;
      if (row_of) row_of[i] = static_cast<std::uint32_t>(cells + 1) | (pairs ? kPairRow : 0);
      cells += pairs ? (n + 1) * (n + 2) / 2 : n + 1;
      if (cells > kMemoCells) return kNone;
    }
    if (m.pattern[i] == '(') {
      if (list_depth == kNone && i > 0 && is_list_operator(m.pattern[i - 1])) list_depth = depth;
      ++depth;
    } else if (m.pattern[i] == ')' && depth > 0 && --depth == list_depth) {
      list_depth = kNone;
    }
  }
  return cells;
}

// Allocates and lays out the memo when it fits the limits; otherwise (or
// when memory is short) the call goes on without it.
void memo_setup(Search& m) {
  Memo& memo = m.memo;
  memo.state = MemoState::Unavailable;
  if (m.pattern_length >= kMemoBytes / 8) return;
  const std::size_t map_bytes = 2 * (m.pattern_length + 1) * sizeof(std::uint32_t);
  const std::size_t cells = lay_out_rows(m, nullptr);
  if (cells == kNone || map_bytes + (cells + 3) / 4 > kMemoBytes) return;
  void* block = malloc(map_bytes + (cells + 3) / 4);
  if (!block) return;
  memo.block = block;
  memo.row_of = static_cast<std::uint32_t*>(block);
  memo.scan_end = memo.row_of + m.pattern_length + 1;
  memo.cells = static_cast<unsigned char*>(block) + map_bytes;
  lay_out_rows(m, memo.row_of);
  memo.state = MemoState::Ready;
}

// The cell of (p, s, e), or kNone when the memo is not in use.
std::size_t memo_cell(const Search& m, std::size_t p, std::size_t s, std::size_t e) {
  if (m.memo.state != MemoState::Ready || m.memo.row_of[p] == 0) return kNone;
  const std::uint32_t row = m.memo.row_of[p];
  const std::size_t first = (row & ~kPairRow) - 1;
  return first + ((row & kPairRow) ? e * (e + 1) / 2 + s : s);
}

Known memo_get(const Search& m, std::size_t p, std::size_t s, std::size_t e) {
  const std::size_t cell = memo_cell(m, p, s, e);
  if (cell == kNone) return Known::Unknown;
  const unsigned bits = (m.memo.cells[cell / 4] >> (cell % 4 * 2)) & 3u;
  return bits == 0 ? Known::Unknown : bits == 3 ? Known::Matched : Known::Failed;
}

void memo_put(Search& m, std::size_t p, std::size_t s, std::size_t e, bool matched) {
  const std::size_t cell = memo_cell(m, p, s, e);
  if (cell == kNone || m.gave_up) return;
  m.memo.cells[cell / 4] = static_cast<unsigned char>(m.memo.cells[cell / 4] | (matched ? 3u : 1u) << (cell % 4 * 2));
}

// Spends work units; false once the budget is exceeded.
bool charge(Search& m, std::uint64_t units) {
  m.work += units;
  if (m.work > kWorkLimit) m.gave_up = true;
  if (m.work > kMemoThreshold && m.memo.state == MemoState::Untried) memo_setup(m);
  return !m.gave_up;
}

// --- 4. The walk, '*' and pattern lists ---------------------------------------

bool walk(Search& m, std::size_t p, std::size_t end_p, std::size_t s, std::size_t end_s, int flags);

// The period rule, checked before a '*', '?' or '[' (a '*' or '?' that opens
// a pattern list too): under FNM_PERIOD a period at the start of the string,
// or under FNM_PATHNAME also right after a '/', must be matched by a period.
bool period_blocks(const Search& m, std::size_t s, std::size_t end_s, int flags) {
  if (!(flags & FNM_PERIOD) || s == end_s || m.string[s] != '.') return false;
  if (flags & kAtStart) return true;
  return (flags & FNM_PATHNAME) && s > 0 && m.string[s - 1] == '/';
}

// The number of characters the pattern [p, end_p) takes when it consists
// of elements that take one character each and touch no capture ('?',
// escaped characters other than the digits 1 to 9, ordinary characters), or
// kNone.
std::size_t fixed_length(Search& m, std::size_t p, std::size_t end_p, int flags) {
  std::size_t length = 0;
  std::size_t q = p;
  for (; q < end_p; ++q, ++length) {
    const char32_t c = m.pattern[q];
    const bool opens_list = is_list_operator(c) && q + 1 < end_p && m.pattern[q + 1] == '(';
    if (c == '*' || c == '[' || c == '(' || c == ')' || opens_list) break;
    if (c == '\\' && !(flags & FNM_NOESCAPE)) {
      if (q + 1 == end_p || (m.pattern[q + 1] >= '1' && m.pattern[q + 1] <= '9')) break;
      ++q;
    }
  }
  charge(m, q - p + 1);
  return q == end_p ? length : kNone;
}

// A '*' at p with everything after it: the rest of the pattern at s, then
// after one more character, and so on up to the string end, shortest first;
// under FNM_PATHNAME it never consumes a '/'. A run of plain stars acts as
// one: where the first is not stopped by the period rule, the next is not.
bool star(Search& m, std::size_t p, std::size_t end_p, std::size_t s, std::size_t end_s, int flags) {
  std::size_t rest = p + 1;
  while (rest < end_p && m.pattern[rest] == '*' && !(rest + 1 < end_p && m.pattern[rest + 1] == '(')) ++rest;
  const std::size_t tail = fixed_length(m, rest, end_p, flags);
  if (tail != kNone) {
    // Only the try that leaves the rest its own length can match; a
    // failed try leaves nothing behind.
    if (end_s - s < tail) return false;
    const std::size_t t = end_s - tail;
    if (flags & FNM_PATHNAME) {
      if (!charge(m, t - s)) return false;
      for (std::size_t u = s; u < t; ++u) {
        if (m.string[u] == '/') return false;
      }
    }
    return walk(m, rest, end_p, t, end_s, flags);
  }
  const Known known = memo_get(m, p, s, end_s);
  if (known != Known::Unknown) return known == Known::Matched;
  std::size_t t = s;
  for (;;) {
    if (walk(m, rest, end_p, t, end_s, flags)) {
      memo_put(m, p, s, end_s, true);
      return true;
    }
    if (m.gave_up) return false;
    if (t == end_s || ((flags & FNM_PATHNAME) && m.string[t] == '/')) {
      ++t;
      break;
    }
    ++t;
    // A star known to fail from t tries nothing that could match.
    if (memo_get(m, p, t, end_s) == Known::Failed) break;
  }
  // Every try from s up to t failed: so does this star started anywhere before t.
  for (std::size_t u = s; u < t; ++u) memo_put(m, p, u, end_s, false);
  return false;
}

// Where the scan that starts at `from` stopped before, or kNone. A scan from
// a position always has the same end to stop at: the walk's pattern end is
// fixed by the position, and a list's end by its '('.
std::size_t scanned(const Search& m, std::size_t from) {
  if (m.memo.state != MemoState::Ready || m.memo.scan_end[from] == 0) return kNone;
  return m.memo.scan_end[from] - 1;
}

void remember_scan(Search& m, std::size_t from, std::size_t stop) {
  if (m.memo.state == MemoState::Ready) m.memo.scan_end[from] = static_cast<std::uint32_t>(stop + 1);
}

// The ')' that ends the pattern list whose '(' is at `open`, found by
// counting nested parentheses (no escapes, no bracket expressions), or kNone
// when the pattern ends first.
std::size_t closing_parenthesis(Search& m, std::size_t open, std::size_t end_p) {
  std::size_t q = scanned(m, open);
  if (q != kNone) return q < end_p ? q : kNone;
  std::size_t depth = 0;
  for (q = open; q < end_p; ++q) {
    if (m.pattern[q] == '(') {
      ++depth;
    } else if (m.pattern[q] == ')' && --depth == 0) {
      break;
    }
  }
  charge(m, q - open);
  remember_scan(m, open, q);
  return q < end_p ? q : kNone;
}

// The end of the list pattern that starts at `from`: the next '|' or '&' at
// nesting depth 0, or the list's end.
std::size_t list_pattern_end(Search& m, std::size_t from, std::size_t end) {
  std::size_t q = scanned(m, from);
  if (q != kNone) return q;
  std::size_t depth = 0;
  for (q = from; q < end; ++q) {
    const char32_t c = m.pattern[q];
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      --depth;
    } else if ((c == '|' || c == '&') && depth == 0) {
      break;
    }
  }
  charge(m, q - from);
  remember_scan(m, from, q);
  return q;
}

// Whether some run of the list's patterns [begin, end) matches exactly the
// text from s to e: the runs are separated by '|', and a run of patterns
// joined by '&' matches when every one of them does. The first run that
// matches decides; the patterns of a run are tried in order until one fails.
bool some_run_matches(Search& m, std::size_t begin, std::size_t end, std::size_t s, std::size_t e, int flags) {
  bool run_holds = true;
  for (std::size_t from = begin;; ) {
    const std::size_t to = list_pattern_end(m, from, end);
    if (run_holds) run_holds = walk(m, from, to, s, e, flags);
    if (to == end || m.pattern[to] == '|') {
      if (run_holds || to == end) return run_holds;
      run_holds = true;
    }
    from = to + 1;
  }
}

// The tries of a pattern list op(...) at p that has its ')' at `close`, after
// the empty case: every candidate end e of the text the list takes, in
// increasing order. For ?, *, + and @ the ends run from s + 1 (every round
// takes at least one character); on the first run that matches the text up
// to e the group's capture ends before e and the rest of the pattern is
// tried from e, then for * and + another round of the list from e. For ! the
// ends run from s, and the rest is tried from each e up to which no run
// matches; a negated list records no capture end. Every end is tried, even
// where an inner list found nothing up to a shorter one: that says nothing
// of the other runs, nor of the inner lists of a longer text (@(@(@(x)y))
// matches xy only through the end after x, which leads nowhere while the
// text is only x). The memo is what saves the repeated work.
bool list_rounds(Search& m, std::size_t p, std::size_t close, std::size_t end_p, std::size_t s, std::size_t end_s,
                 int flags, Group* group) {
  const char32_t op = m.pattern[p];
  const std::size_t rest = close + 1;
  // With nothing after the list, the rest matches only at the string end,
  // so for ?, @ and ! the earlier ends can only leave captures behind, which
  // matter only to back-references.
  const bool only_last = rest == end_p && op != '*' && op != '+' && !m.captures_matter;
  if (op == '!') {
    for (std::size_t e = only_last ? end_s : s; e <= end_s && !m.gave_up; ++e) {
      if (!charge(m, 1)) return false;
      if (!some_run_matches(m, p + 2, close, s, e, flags) && walk(m, rest, end_p, e, end_s, flags)) return true;
    }
    return false;
  }
  for (std::size_t e = only_last && end_s > s ? end_s : s + 1; e <= end_s && !m.gave_up; ++e) {
    if (!charge(m, 1)) return false;
    if (!some_run_matches(m, p + 2, close, s, e, flags)) continue;
    const std::ptrdiff_t end_before = group ? group->capture.last : kUnset;
    if (group) group->capture.last = static_cast<std::ptrdiff_t>(e) - 1;
    if (walk(m, rest, end_p, e, end_s, flags)) return true;
    if (op == '*' || op == '+') {
      if (group) group->capture.last = kUnset;
      if (walk(m, p, end_p, e, end_s, flags)) return true;
    } else if (group) {
      group->capture.last = end_before;
    }
  }
  return false;
}

// A pattern list op(p1|p2&p3...) at p with everything after it. ?, * and !
// first try the rest of the pattern with the list taking nothing; then the
// list's group capture opens at s and the rounds follow. When nothing
// matches, what the list did to its capture is undone.
bool pattern_list(Search& m, std::size_t p, std::size_t end_p, std::size_t s, std::size_t end_s, int flags) {
  const std::size_t close = closing_parenthesis(m, p + 1, end_p);
  if (close == kNone) return false;
  const Known known = memo_get(m, p, s, end_s);
  if (known != Known::Unknown) return known == Known::Matched;
  const char32_t op = m.pattern[p];
  if ((op == '?' || op == '*' || op == '!') && walk(m, close + 1, end_p, s, end_s, flags)) {
    memo_put(m, p, s, end_s, true);
    return true;
  }
  const int g = group_opened_at(*m.groups, p + 1);
  Group* group = g >= 0 ? &m.groups->groups[g] : nullptr;
  const std::ptrdiff_t end_before = group ? group->capture.last : kUnset;
  const bool saved = group && open_capture(*group, s);
  const bool matched = list_rounds(m, p, close, end_p, s, end_s, flags, group);
  if (!matched && group) {
    if (saved) {
      group->capture = group->saved;
    } else {
      group->capture.last = end_before;
    }
  }
  memo_put(m, p, s, end_s, matched);
  return matched;
}

// Compares the captured text with the string at s, character by character
// (the string is folded already), within the string end; the number of
// characters it takes, or kNone when it does not match.
std::size_t match_back_reference(Search& m, const Capture& capture, std::size_t s, std::size_t end_s) {
  if (capture.last < capture.first) return 0;
  const auto first = static_cast<std::size_t>(capture.first);
  const std::size_t length = static_cast<std::size_t>(capture.last) - first + 1;
  if (!charge(m, length) || end_s - s < length) return kNone;
  for (std::size_t i = 0; i < length; ++i) {
    if (m.string[first + i] != m.string[s + i]) return kNone;
  }
  return length;
}

// The matcher: whether the pattern [p, end_p) matches the string [s, end_s),
// one element at a time. A '*' and a pattern list take the rest of the
// pattern along, so their outcome is the walk's. When an element fails, the
// captures this walk changed are undone.
bool walk(Search& m, std::size_t p, std::size_t end_p, std::size_t s, std::size_t end_s, int flags) {
  if (m.depth >= kDepthLimit) m.gave_up = true;
  if (m.gave_up) return false;
  ++m.depth;
  unsigned opened = 0;  // groups whose capture this walk opened, one bit each
  unsigned closed = 0;  // groups whose capture this walk closed
  bool matched = false;
  while (charge(m, 1)) {
    if (p == end_p) {
      matched = s == end_s;
      break;
    }
    const char32_t pc = m.pattern[p];
    const bool opens_list = is_list_operator(pc) && p + 1 < end_p && m.pattern[p + 1] == '(';
    if ((pc == '*' || pc == '?' || pc == '[') && period_blocks(m, s, end_s, flags)) break;
    flags &= ~kAtStart;
    const bool slash_stops = s < end_s && m.string[s] == '/' && (flags & FNM_PATHNAME);
    if (opens_list) {
      matched = pattern_list(m, p, end_p, s, end_s, flags);
      break;
    }
    if (pc == '*') {
      matched = star(m, p, end_p, s, end_s, flags);
      break;
    }
    if (pc == '?') {
      if (s == end_s || slash_stops) break;
      ++p;
      ++s;
    } else if (pc == '[') {
      if (s == end_s || slash_stops) break;
      const BracketResult bracket = match_bracket(m.pattern, p + 1, end_p, m.string[s], flags);
      if (!charge(m, bracket.next - p) || !bracket.matched) break;
      p = bracket.next;
      ++s;
    } else if (pc == '(' || pc == ')') {
      const int g = pc == '(' ? group_opened_at(*m.groups, p) : group_closed_at(*m.groups, p);
      if (g >= 0 && pc == '(' && open_capture(m.groups->groups[g], s)) opened |= 1u << g;
      if (g >= 0 && pc == ')' && close_capture(m.groups->groups[g], s)) closed |= 1u << g;
      ++p;
    } else {
      char32_t literal = pc;
      if (pc == '\\' && !(flags & FNM_NOESCAPE)) {
        if (p + 1 == end_p) break;
        literal = m.pattern[p + 1];
        ++p;
        if (const Capture* capture = back_reference(*m.groups, literal)) {
          const std::size_t length = match_back_reference(m, *capture, s, end_s);
          if (length == kNone) break;
          ++p;
          s += length;
          continue;
        }
      }
      if (s == end_s || fold(literal, flags) != m.string[s]) break;
      ++p;
      ++s;
    }
  }
  if (!matched && (opened | closed) != 0) undo_captures(*m.groups, opened, closed);
  --m.depth;
  return matched;
}

// Whether the pattern can hold a back-reference: an escaped digit naming a
// group of the table. Only then do captures decide outcomes.
bool may_refer_back(const Search& m, int flags) {
  if (flags & FNM_NOESCAPE) return false;
  for (std::size_t i = 0; i + 1 < m.pattern_length; ++i) {
    if (m.pattern[i] == '\\' && m.pattern[i + 1] >= '1' &&
        m.pattern[i + 1] < static_cast<char32_t>('1' + m.groups->count)) {
      return true;
    }
  }
  return false;
}

}  // namespace

// --- 5. fnmatch: the texts read as characters --------------------------------

namespace {

// The longest pattern and the longest string, in bytes, a call reads (a
// mebibyte each, four as characters); a call with a longer one gives up.
constexpr std::size_t kTextLimit = std::size_t{1} << 20;

// Reads the name [text, text + n) into characters at `out` (room for n),
// folded when `flags` say so: with names in UTF-8 each well-formed sequence
// is its code point and each byte that begins none a character of its own
// (kStrayByte plus its value), otherwise each byte is one. The number of
// characters.
std::size_t read_characters(const char* text, std::size_t n, char32_t* out, int flags) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++count) {
    if (kUtf8Names) {
      const Utf8Character c = utf8_character(bytes + i, n - i);
      out[count] = fold(c.value, flags);
      i += c.length;
    } else {
      out[count] = fold(bytes[i++], flags);
    }
  }
  return count;
}

}  // namespace

int fnmatch(const char* pattern, const char* string, int flags) {
  const std::size_t pattern_bytes = strlen(pattern);
  const std::size_t string_bytes = strlen(string);
  if (pattern_bytes > kTextLimit || string_bytes > kTextLimit) return FNM_NOMATCH;
  // One block: the group table, then the pattern's characters and the string's.
  void* block = malloc(sizeof(GroupTable) + (pattern_bytes + string_bytes) * sizeof(char32_t));
  if (!block) return 2;
  auto* groups = static_cast<GroupTable*>(block);
  auto* characters = reinterpret_cast<char32_t*>(groups + 1);
  flags = (flags & kPublicFlags) | (getenv("DUALCASE") ? 0 : kFold);
  Search m{};
  m.pattern = characters;
  m.pattern_length = read_characters(pattern, pattern_bytes, characters, 0);
  m.string = characters + m.pattern_length;
  m.string_length = read_characters(string, string_bytes, characters + m.pattern_length, flags);
  m.groups = groups;
  build_groups(*groups, m.pattern, m.pattern_length);
  m.captures_matter = may_refer_back(m, flags);
  m.memo.state = m.captures_matter ? MemoState::Unavailable : MemoState::Untried;
  const bool matched = walk(m, 0, m.pattern_length, 0, m.string_length, flags | kAtStart) && !m.gave_up;
  free(m.memo.block);
  free(block);
  return matched ? 0 : FNM_NOMATCH;
}

}  // namespace rt
