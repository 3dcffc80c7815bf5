// Fuzzing the command against a model of its words and output. Input: first byte % 8 is the number of arguments,
// which follow, each ended by a zero byte; the rest is the content. They follow the program name "tail" (bit 3: the
// first is the program name instead; none is argc 0); bit 7 runs in text mode, as Windows always does. Each input
// runs twice: content on standard input (a pipe), and also in the file "input" named as the last argument (no other
// name opens). The model reads the words by the usage text's grammar and must see:
// - exactly for a usage error: status 2, the usage text, nothing written;
// - otherwise each operand in turn (standard input without one, and for "-" among several), under a header with
//   several or -v but not -q: the last or first lines or bytes of the content, read as text in text mode but for
//   byte units, written with text line ends for line units; a name that does not open, a byte count out of range
//   and a negative count from the end of a pipe each a message and status 1;
// - with line units, content after FF FE or FE FF read as UTF-16: lines end at the unit 000A, a stray surrogate and a
//   character the end cuts read as U+FFFD, and standard output gets the characters in its page (fuzz/harness.h); in a
//   followed file a cut character waits for its rest, and the beginning of a mark alone (FF, FE, EF, EF BB) or
//   nothing writes nothing yet;
// - with -f a followed file (with -F or --retry also a name that did not open) ends the run at the first pause of
//   following, status 0; with --pid following ends after its first poll, held-back CRs written under their headers;
// - with --help or --version (the options before it sound), or "/?" as the only word, that on standard output.
// Options go on after the first operand (a word of - and more), up to --; flags f, F, q, v stand together before one
// unit letter and its count; counts are 64-bit. Long options: a name or a beginning only it has, a value after "="
// or, where needed, in the next word; --pid never waits (no process runs beside the harness). No allocation is above
// 64 MiB, whatever the counts; no handle the command opened stays open after its descriptors are closed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "fuzz/harness.h"
namespace {
std::string g_input_name;  // the input file, as the command is given it
std::string g_input_path;  // and as CreateFileW gets it
struct Command {
  bool usage_error = false, follow = false;
  harness::Selection selection;
  bool unit_given = false;  // a unit letter was given: no further option may follow
  bool retry = false;  // -F or --retry: names that did not open are looked for at every poll
  bool pid = false;    // --pid: following ends after its first poll (no process runs beside the harness)
  char text = 0;       // 'h' --help, 'V' --version: the program writes that and ends
  int headers = -1;    // 1: -v; 0: -q
  std::vector<std::string> operands;
};
// A number as strtoll reads it from `at`: white space, one sign, decimal digits. Without digits it is 0, read up to
// the end of the blanks and sign; beyond the 64-bit range it is out of range.
struct Number { std::int64_t value = 0; std::size_t end; bool out_of_range = false; };
Number number_at(const std::string& text, std::size_t at) {
  Number n{0, std::min(text.find_first_not_of(" \t\n\v\f\r", at), text.size())};
  const bool negative = n.end < text.size() && text[n.end] == '-';
  if (n.end < text.size() && (text[n.end] == '-' || text[n.end] == '+')) ++n.end;
  constexpr unsigned __int128 kBeyond = static_cast<unsigned __int128>(1) << 64;
  unsigned __int128 magnitude = 0;
  for (; n.end < text.size() && text[n.end] >= '0' && text[n.end] <= '9'; ++n.end) {
    magnitude = std::min(magnitude * 10 + static_cast<unsigned>(text[n.end] - '0'), kBeyond);
  }
  const unsigned __int128 largest = (static_cast<unsigned __int128>(1) << 63) - (negative ? 0 : 1);
  n.out_of_range = magnitude > largest;
  n.value = n.out_of_range ? 0 : static_cast<std::int64_t>(negative ? -static_cast<__int128>(magnitude)
                                                                      : static_cast<__int128>(magnitude));
  return n;
}
// A whole word that strtoll reads as a number (in range or not: out of range it is the usage error of a count).
bool is_number(const std::string& word) { return !word.empty() && number_at(word, 0).end == word.size(); }
// Seconds between polls: digits with at most one point, 0.01 to 2000000 (digits past the thousandths do not count).
bool is_interval(const std::string& text) {
  const std::size_t point = std::min(text.find('.'), text.size());
  const std::string whole = text.substr(0, point);
  const std::string fraction = point < text.size() ? text.substr(point + 1) : "";
  const auto digits = [](const std::string& s) { return s.find_first_not_of("0123456789") == std::string::npos; };
  if ((whole.empty() && fraction.empty()) || !digits(whole) || !digits(fraction)) return false;
  std::int64_t milliseconds = 0;
  for (const char d : whole) milliseconds = std::min<std::int64_t>(milliseconds * 10 + (d - '0') * 1000, 1LL << 40);
  for (std::size_t i = 0; i < std::min<std::size_t>(fraction.size(), 3); ++i) {
    milliseconds += (fraction[i] - '0') * (i == 0 ? 100 : i == 1 ? 10 : 1);
  }
  return milliseconds >= 10 && milliseconds <= 2000000000;
}
// A count from `at` of a word: a sign ('+' counts from the start) and a number. Missing digits count 10 in the
// obsolescent forms, and are a usage error after a unit letter, as text after the number is; the position after it.
std::size_t read_count(Command& c, const std::string& word, bool obsolescent) {
  const std::size_t at = word[0] == '+' || word[0] == '-' ? 1 : 0;
  c.selection.from_start = word[0] == '+';
  const Number n = number_at(word, at);
  c.selection.count = n.end == at ? 10 : n.value;
  c.usage_error |= (n.end == at && !obsolescent) || n.out_of_range || (!obsolescent && n.end != word.size());
  return n.end;
}
// A unit letter and an f from `at`, in either order, at most one of each; nothing may follow an f, nor anything in
// the obsolescent forms. The position after them; `f` tells whether an f was read.
std::size_t read_letters(Command& c, const std::string& word, std::size_t at, bool obsolescent, bool& f) {
  const auto unit = [&] { return at < word.size() && std::strchr("lbckmn", word[at]) != nullptr; };
  const auto take_unit = [&] { c.unit_given = true; c.selection.unit = word[at++]; };
  if (at == word.size()) return at;
  const bool unit_first = unit();
  if (unit_first) take_unit();
  f = at < word.size() && word[at] == 'f';
  at += f;
  c.follow |= f;
  c.usage_error |= !unit_first && !f;
  if (!unit_first && unit()) take_unit();
  c.usage_error |= at < word.size() && (f || obsolescent);
  return at;
}
// The long option at words[i] and what it takes: i moves past them. True when the options end after it (--lines or
// --bytes without a number, as -n and -c).
bool read_long(Command& c, const std::vector<std::string>& words, std::size_t& i) {
  static constexpr std::pair<std::string_view, char> kNames[] = {
      {"bytes", 'c'}, {"follow", 'f'}, {"help", 'h'},     {"lines", 'n'},          {"pid", 'p'},     {"quiet", 'q'},
      {"retry", 'r'}, {"silent", 'q'}, {"version", 'V'}, {"sleep-interval", 's'}, {"verbose", 'v'}};
  const std::string& w = words[i++];
  const std::size_t equals = w.find('=');
  const std::string name = w.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
  const std::optional<std::string> given =
      equals == std::string::npos ? std::nullopt : std::optional<std::string>(w.substr(equals + 1));
  char kind = 0;
  int beginnings = 0;
  for (const auto& [full, k] : kNames) {
    if (full == name) beginnings = 1, kind = k;
    if (full == name) break;
    if (full.starts_with(name)) ++beginnings, kind = k;
  }
  const bool needs_value = std::string_view("cnps").find(kind) != std::string_view::npos;
  c.usage_error = beginnings != 1 || (given && !needs_value && kind != 'f');
  std::optional<std::string> value = given;
  if (!value && needs_value && kind != 'c' && kind != 'n' && i < words.size()) value = words[i++];
  if (c.usage_error) return false;
  if (kind == 'h' || kind == 'V') c.text = kind;
  c.follow |= kind == 'f';
  c.usage_error = kind == 'f' && value && *value != "name" && *value != "descriptor";
  c.retry |= kind == 'r';
  if (kind == 'q' || kind == 'v') c.headers = kind == 'v';
  if (kind == 's') c.usage_error = !value || !is_interval(*value);
  c.pid |= kind == 'p';
  if (kind == 'p') {  // a decimal process id above 0, in 32 bits
    const bool digits = value && !value->empty() && value->find_first_not_of("0123456789") == std::string::npos;
    const std::size_t first = digits ? value->find_first_not_of('0') : 0;
    c.usage_error = !digits || first == std::string::npos || value->size() - first > 10 ||
                    std::stoull(value->substr(first)) > 0xFFFFFFFFull;
  }
  if (kind != 'c' && kind != 'n') return false;
  c.usage_error = c.unit_given;  // one unit only
  c.unit_given = true;
  c.selection = {};
  c.selection.unit = kind;
  if (!value && i < words.size() && is_number(words[i])) value = words[i++];
  if (value) read_count(c, *value, false);
  return !value;
}
Command read_words(const std::vector<std::string>& words) {
  Command c;
  c.text = words.size() == 2 && words[1] == "/?" ? 'h' : 0;  // "/?" alone is --help; among other words, a name
  if (c.text) return c;
  std::size_t i = 1;
  const auto end_options = [&] {  // after the last option a -- goes
    if (++i < words.size() && words[i] == "--") ++i;
  };
  // A unit letter's count: in the rest of its word, or as the next word; without one the options end.
  const auto count_after_unit = [&](const std::string& rest) {
    const bool next = rest.empty() && i + 1 < words.size() && is_number(words[i + 1]);
    if (is_number(rest) || next) {
      read_count(c, next ? words[i + 1] : rest, false);
      i += next ? 2 : 1;
      return true;
    }
    c.usage_error |= !rest.empty();
    end_options();
    return false;
  };
  while (i < words.size() && !c.usage_error && !c.text) {
    const std::string& w = words[i];
    // Before the first operand a word beginning with - or + is an option; after it one of - and more.
    if (c.operands.empty() ? w[0] != '-' && w[0] != '+' : w[0] != '-' || w.size() == 1) {
      c.operands.push_back(words[i++]);                             // an operand: the options go on
      continue;
    }
    if (w == "--" || (w == "-" && !c.unit_given)) {                // the end of the options
      ++i;
      break;
    }
    if (w.starts_with("--")) {                                      // a long option, anywhere among the options
      if (!read_long(c, words, i)) continue;
      if (i < words.size() && words[i] == "--") ++i;                // the options end after it
      break;
    }
    const std::size_t flags_end = std::min(w.find_first_not_of("fFqv", 1), w.size());
    if (w == "-s") {                                                // seconds between polls
      c.usage_error = i + 1 == words.size() || !is_interval(words[i + 1]);
      i += 2;
    } else if (w.find_first_of("Fqv") < flags_end) {               // -q, -fqn 5, -vn5: flags, then a unit and count
      for (std::size_t at = 1; at < flags_end; ++at) {
        c.follow |= w[at] == 'f' || w[at] == 'F';
        c.retry |= w[at] == 'F';
        if (w[at] == 'q' || w[at] == 'v') c.headers = w[at] == 'v';
      }
      if (flags_end == w.size()) {
        ++i;
        continue;
      }
      c.usage_error = c.unit_given || std::strchr("lbckmn", w[flags_end]) == nullptr;  // one unit only
      c.unit_given = true;
      c.selection.unit = w[flags_end];
      c.selection.from_start = false;
      if (!c.usage_error && !count_after_unit(w.substr(flags_end + 1))) break;
    } else if (w == "-f") {                                         // anywhere among the options
      c.follow = true;
      ++i;
    } else if (c.unit_given) {                                      // nothing else after a unit
      c.usage_error = true;
    } else if (w[0] == '+' || (w[1] >= '0' && w[1] <= '9')) {      // [+-]number[unit][f]: the last option
      bool f = false;
      read_letters(c, w, read_count(c, w, true), true, f);
      end_options();
      break;
    } else {                                                        // -unit[f] or -f[unit], then a number
      c.selection.from_start = false;
      bool f = false;
      const std::string rest = w.substr(read_letters(c, w, 1, false, f));
      if (f) {
        c.usage_error |= !rest.empty();
        end_options();
        break;
      }
      if (!count_after_unit(rest)) break;
    }
  }
  c.operands.insert(c.operands.end(), words.begin() + static_cast<std::ptrdiff_t>(std::min(i, words.size())),
                    words.end());
  return c;
}
void check(const std::vector<std::string>& words, const std::string& content, bool text_mode) {
  const unsigned status = harness::run_command(words, content, text_mode);
  const harness::Run& run = harness::run;
  const Command c = read_words(words);
  if (c.usage_error != (status == 2)) __builtin_trap();
  if (c.usage_error && (!run.out.empty() || run.err.find("Usage: tail") == std::string::npos)) __builtin_trap();
  if (c.usage_error) return;
  if (c.text && (status != 0 || !run.err.empty() || !run.out.starts_with(c.text == 'h' ? "Usage: tail" : "tail "))) {
    __builtin_trap();
  }
  if (c.text) return;
  const std::vector<std::string> operands = c.operands.empty() ? std::vector<std::string>{"-"} : c.operands;
  const bool several = operands.size() > 1;
  const bool headers = c.headers == 1 || (c.headers == -1 && several);
  const bool text = text_mode && harness::unit_size(c.selection.unit) == 0;
  std::string expected;
  bool failed = false, follows = false, stdin_read = false;
  bool whole = true;  // the model knows all the output (a second "-" reads what the first left)
  std::vector<std::string> held;  // the followed inputs whose text ended in a CR held back, by name
  std::string last;               // the followed input written last, when it was the last written
  for (const std::string& operand : operands) {
    last.clear();
    const bool from_stdin = c.operands.empty() || (several && operand == "-");
    if (!from_stdin && operand != g_input_name) {
      failed = true;
      follows |= c.follow && c.retry;  // looked for at every poll
      continue;
    }
    whole &= !(from_stdin && std::exchange(stdin_read, true));
    const std::string name = from_stdin ? "[standard input]" : operand;
    if (headers && whole) expected += (expected.empty() ? "==> " : "\n==> ") + name + " <==\n";
    std::optional<std::string> part = harness::part_of(content, !from_stdin, c.selection, text_mode,
                                                       !from_stdin && c.follow);
    failed |= !part;  // for standard input whatever it still holds
    if (!part) continue;
    if (!from_stdin && c.follow) {
      follows = true;
      last = name;
      if (text && !part->empty() && part->back() == '\r') {  // a CR ending the text written waits for the next byte
        part->pop_back();
        held.push_back(name);
      }
    }
    if (whole) expected += *part;
  }
  for (const std::string& name : c.pid ? held : std::vector<std::string>{}) {  // written as following ends
    if (headers && std::exchange(last, name) != name) expected += "\n==> " + name + " <==\n";
    expected += "\r";
  }
  follows &= !c.pid;
  if (text) expected = harness::written_as_text(expected);
  if (status != (!follows && failed ? 1u : 0u) || failed == run.err.empty()) __builtin_trap();
  if (whole ? run.out != expected : !run.out.starts_with(expected)) __builtin_trap();
}
HANDLE open_input(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                  DWORD attributes, HANDLE template_file) {  // CreateFileW: only the input file is there
  if (harness::narrow(name) != g_input_path) return harness::failing(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  return harness::create_file(name, access, share, security, disposition, attributes, template_file);
}
}  // namespace
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_input_name = harness::scratch_directory("command") + "/input";
  g_input_path = harness::full_path(g_input_name);
  harness::install();
  w32::hook::replacements.CreateFileW = open_input;
  w32::hook::replacements.SleepEx = [](DWORD, BOOL) -> DWORD { throw harness::Ended{0}; };  // first pause ends it
  return 0;
}
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> words;
  if ((data[0] & 8) == 0) words.push_back("tail");
  std::size_t at = 0;
  for (unsigned n = data[0] % 8; n > 0 && at < input.size(); --n) {
    const std::size_t end = std::min(input.find('\0', at), input.size());
    words.push_back(input.substr(at, end - at));
    at = end + 1;
  }
  const std::string content = at < input.size() ? input.substr(at) : std::string();
  std::ofstream(g_input_name, std::ios::binary | std::ios::trunc) << content;
  const bool text = w32::kTextModeByDefault || (data[0] & 128) != 0;
  check(words, content, text);
  words.push_back(g_input_name);
  check(words, content, text);
  return 0;
}
