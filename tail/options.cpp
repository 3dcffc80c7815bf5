// The tail command's main: the locale, the program name, line-buffered
// standard output, and the option grammar.
//
// The grammar: "tail [-f] [-b|c|k|l|m|n [+-]number] [file]" and the two
// obsolescent forms "tail -[number][b|c|k|l|m|n][f] [file]" and
// "tail +[number][b|c|k|l|m|n][f] [file]"; besides -f, the whole arguments
// -F, -q, -v, "-s seconds" and the long options ("--lines=N", "--follow",
// ...: words that begin with "--", by a name or its unambiguous beginning)
// may stand wherever -f may, and several files may follow the options.
// The flag letters f, F, q and v may also stand together before a unit
// letter and its count (-qn 1, -fqc 100) once one of them is no f; options
// may follow the names, up to "--"; counts are 64-bit. Nothing is read or
// written before the options are parsed, so a usage error leaves stdout
// untouched; only --help (or "/?" alone) and --version write there.
#include "tail/tail.h"

#include "runtime/msg/ctype.h"
#include "runtime/msg/diag.h"
#include "runtime/msg/format.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/locale.h"
#include "runtime/msg/messages.h"
#include "runtime/msg/stdlib.h"
#include "runtime/startup/exit.h"
#include "runtime/string.h"
#include "runtime/win32/errno.h"

namespace tail {

TailOptions options;

namespace {

// The index of a unit letter, or -1 (the end of a text is no unit letter).
int unit_index(char c) {
  for (int i = 0; kUnitLetters[i] != '\0'; ++i) {
    if (kUnitLetters[i] == c) return i;
  }
  return -1;
}

void take_unit(const char*& p) {
  options.unit = unit_index(*p);
  options.unit_letter = *p;
  ++p;
}

void take_follow(const char*& p, int& flag) {
  flag = 1;
  options.follow = 1;
  ++p;
}

[[noreturn]] void invalid_character(char c, const char* argument) {
  rt::fprintf(rt::stderr, rt::msg_lookup(rt::messages::kInvalidOption), c, rt::Name{argument});
  usage();
}

bool is_digit(char c) { return (rt::char_class(static_cast<unsigned char>(c)) & rt::CT_DIGIT) != 0; }

// The pause of -s: decimal seconds with an optional fraction (its digits
// past the thousandths dropped), from 0.01 up to 2000000; false otherwise.
bool take_interval(const char* text) {
  std::uint64_t milliseconds = 0;
  const char* p = text;
  for (; is_digit(*p) && milliseconds <= 2000000000; ++p) milliseconds = milliseconds * 10 + (*p - '0') * 1000;
  const bool whole_digits = p != text;
  if (*p == '.') ++p;
  const char* fraction = p;
  for (std::uint64_t place = 100; is_digit(*p); ++p, place /= 10) milliseconds += (*p - '0') * place;
  if (*p != '\0' || (!whole_digits && p == fraction) || milliseconds < 10 || milliseconds > 2000000000) return false;
  options.interval_ms = static_cast<std::uint32_t>(milliseconds);
  return true;
}

// --- Long options ----------------------------------------------------------------

enum class LongOption { kBytes, kFollow, kHelp, kLines, kPid, kQuiet, kRetry, kSleepInterval, kVerbose, kVersion };
enum class Takes { kNothing, kValue, kMaybeValue };  // after "=", or (a value) as the next word

struct LongOptionName {
  const char* name;
  LongOption option;
  Takes takes;
};

constexpr LongOptionName kLongOptions[] = {
    {"bytes", LongOption::kBytes, Takes::kValue},
    {"follow", LongOption::kFollow, Takes::kMaybeValue},
    {"help", LongOption::kHelp, Takes::kNothing},
    {"lines", LongOption::kLines, Takes::kValue},
    {"pid", LongOption::kPid, Takes::kValue},
    {"quiet", LongOption::kQuiet, Takes::kNothing},
    {"retry", LongOption::kRetry, Takes::kNothing},
    {"silent", LongOption::kQuiet, Takes::kNothing},
    {"sleep-interval", LongOption::kSleepInterval, Takes::kValue},
    {"verbose", LongOption::kVerbose, Takes::kNothing},
    {"version", LongOption::kVersion, Takes::kNothing},
};

[[noreturn]] void usage_error(const rt::Message& message, const char* word) {
  rt::fprintf(rt::stderr, rt::msg_lookup(message), rt::Name{word});
  usage();
}

// A unit option (or an obsolescent count) after one already given is a
// usage error: one unit only.
void check_no_unit_yet(const char* word) {
  if (options.unit_letter == 0) return;
  rt::fprintf(rt::stderr, rt::msg_lookup(rt::messages::kExclusiveOptions), rt::Name{word}, options.unit_letter);
  usage();
}

// Where the operands begin when the options end before argv[i]: past a "--" there.
int past_end_of_options(int argc, char** argv, int i) {
  return i < argc && rt::strcmp(argv[i], "--") == 0 ? i + 1 : i;
}

// The option a long option's name (the `length` characters at `name`)
// names: the one it spells out, or the only one it begins.
const LongOptionName& long_option_named(const char* name, std::size_t length, const char* word) {
  const LongOptionName* found = nullptr;
  int beginnings = 0;
  for (const LongOptionName& option : kLongOptions) {
    std::size_t same = 0;
    while (same < length && option.name[same] == name[same]) ++same;
    if (same < length) continue;
    if (option.name[length] == '\0') return option;
    found = &option;
    ++beginnings;
  }
  if (beginnings == 0) usage_error(rt::messages::kUnknownOption, word);
  if (beginnings > 1) usage_error(rt::messages::kAmbiguousOption, word);
  return *found;
}

// The seconds of -s or --sleep-interval (null: none given); a missing or bad
// value is a usage error.
void sleep_interval(const char* value) {
  if (!value) {
    rt::fprintf(rt::stderr, rt::msg_lookup(rt::messages::kMissingNumber), 's');
    usage();
  }
  if (!take_interval(value)) usage_error(rt::messages::kBadInterval, value);
}

// --pid's value: a decimal process id above 0.
std::uint32_t process_id(const char* text) {
  std::uint64_t id = 0;
  const char* p = text;
  for (; is_digit(*p) && id <= 0xFFFFFFFF; ++p) id = id * 10 + static_cast<unsigned>(*p - '0');
  if (p == text || *p != '\0' || id == 0 || id > 0xFFFFFFFF) usage_error(rt::messages::kBadPid, text);
  return static_cast<std::uint32_t>(id);
}

// The end after --help or --version: 0 once standard output took the text.
[[noreturn]] void end_after_text() {
  rt::fflush(rt::stdout);
  if (rt::ferror(rt::stdout)) {
    rt::print_error(rt::msg_lookup(rt::messages::kWriteError));
    rt::exit(1);
  }
  rt::exit(0);
}

// --help: the usage and a line on each option, on standard output.
[[noreturn]] void write_help() {
  rt::stream_swap_form(rt::stdout, rt::TextForm{.kind = rt::TextKind::kMessages});
  // One lookup at a time: a catalogue's text lives in a buffer the next lookup takes.
  rt::fprintf(rt::stdout, "%s\n\n", rt::msg_lookup(rt::messages::kUsage));
  rt::fprintf(rt::stdout, "%s\n", rt::msg_lookup(rt::messages::kHelp));
  end_after_text();
}

// A range error of strtoll: errno set and the value it gives then.
bool range_error(std::int64_t value) { return rt::errno != 0 && value == 9223372036854775807; }

}  // namespace

void usage() {
  rt::fprintf(rt::stderr, "%s\n", rt::msg_lookup(rt::messages::kUsage));
  rt::exit(2);
}

// A number out of range is a number all the same: the count it gives is then
// the usage error of every form.
int is_number(const char* text) {
  if (!text || *text == '\0') return 0;
  const char* end;
  rt::strtoll(text, &end, 10);
  return *end == '\0' ? 1 : 0;
}

const char* parse_count(const char* text, int obsolescent) {
  const char* p = text;
  if (*p == '+') {
    options.from_end = 0;
    ++p;
  } else {
    options.from_end = 1;
    if (*p == '-') ++p;
  }
  rt::errno = 0;
  const char* end;
  options.count = rt::strtoll(p, &end, 10);
  if (end == p) {
    options.count = 10;
    if (obsolescent) return end;
    rt::fprintf(rt::stderr, rt::msg_lookup(rt::messages::kMissingNumber), options.unit_letter);
    usage();
  }
  if (range_error(options.count)) {
    rt::print_error(rt::msg_lookup(rt::messages::kInvalidNumber), rt::Name{p});
    usage();
  }
  if (obsolescent || *end == '\0') return end;
  rt::fprintf(rt::stderr, rt::msg_lookup(rt::messages::kBadCount), rt::Name{p});
  usage();
}

const char* parse_units(const char* text, int& flag) {
  const char* p = text;
  if (*p == '\0') return p;
  if (unit_index(*p) >= 0) {
    take_unit(p);
    if (*p == 'f') take_follow(p, flag);
  } else if (*p == 'f') {
    take_follow(p, flag);
    if (unit_index(*p) >= 0) take_unit(p);  // the end of the text is no unit letter
  } else {
    invalid_character(*p, options.current_arg);
  }
  if (*p != '\0' && flag == 1) invalid_character(*p, options.current_arg);  // nothing may follow an f
  return p;
}

// The long option in argv[i], with its value after "=" or, where it needs
// one, in the next word. The index of the word after what it took; `end`
// is set when the options end after it (--lines or --bytes without a
// number after them, as -n and -c).
int take_long_option(int argc, char** argv, int i, bool& end) {
  const char* word = argv[i];
  const char* name = word + 2;
  std::size_t length = 0;
  while (name[length] != '\0' && name[length] != '=') ++length;
  const LongOptionName& option = long_option_named(name, length, word);
  const char* value = name[length] == '=' ? name + length + 1 : nullptr;
  if (value && option.takes == Takes::kNothing) usage_error(rt::messages::kNoValueTaken, word);
  const bool next_word = !value && option.takes == Takes::kValue && i + 1 < argc;
  switch (option.option) {
    case LongOption::kHelp:
      write_help();
    case LongOption::kVersion:
      rt::fprintf(rt::stdout, "tail %s\n", TAIL_VERSION);
      end_after_text();
    case LongOption::kLines:
    case LongOption::kBytes:
      // A unit option, as -n and -c: the same counts and messages.
      check_no_unit_yet(word);
      options.from_end = 1;
      options.unit_letter = option.option == LongOption::kLines ? 'n' : 'c';
      options.unit = unit_index(options.unit_letter);
      if (value) {
        parse_count(value, 0);
        return i + 1;
      }
      if (next_word && is_number(argv[i + 1])) {
        parse_count(argv[i + 1], 0);
        return i + 2;
      }
      end = true;
      return past_end_of_options(argc, argv, i + 1);
    case LongOption::kFollow:
      options.follow = 1;
      if (value && rt::strcmp(value, "name") == 0) {
        options.by_name = 1;
      } else if (value && rt::strcmp(value, "descriptor") != 0) {
        usage_error(rt::messages::kBadFollow, value);
      }
      return i + 1;
    case LongOption::kRetry:
      options.retry = 1;
      return i + 1;
    case LongOption::kSleepInterval:
      sleep_interval(value ? value : next_word ? argv[++i] : nullptr);
      return i + 1;
    case LongOption::kQuiet:
    case LongOption::kVerbose:
      options.headers = option.option == LongOption::kVerbose ? 1 : 0;
      return i + 1;
    case LongOption::kPid:
      if (!value && !next_word) usage_error(rt::messages::kMissingValue, word);
      options.pid = process_id(value ? value : argv[++i]);
      return i + 1;
  }
  return i + 1;
}

namespace {

// The letters that may stand together before a unit letter: -qn 1, -Fn 20, -fqc 100.
bool is_flag_letter(char c) { return c == 'f' || c == 'F' || c == 'q' || c == 'v'; }

void take_flag_letter(char c) {
  if (c == 'q' || c == 'v') {
    options.headers = c == 'v' ? 1 : 0;
    return;
  }
  options.follow = 1;
  if (c == 'F') options.by_name = options.retry = 1;
}

// A word of flag letters that holds q, v or F (f alone, or f with a unit
// letter, keeps the meaning of -f, -fn, -nf), before at most a unit letter;
// null for any other word. The position after the flag letters.
const char* flag_bundle(const char* word) {
  const char* p = word + 1;
  bool more_than_f = false;
  for (; is_flag_letter(*p); ++p) more_than_f = more_than_f || *p != 'f';
  return more_than_f ? p : nullptr;
}

// What a word of letters asks after its unit letter (at `rest`): a count in
// the word or as the next word; the index of the word after what it took,
// with `end` set when no number follows and the options end there.
int take_count_after_unit(int argc, char** argv, int i, const char* rest, bool& end) {
  if (is_number(rest)) {
    parse_count(rest, 0);
    return i + 1;
  }
  if (*rest == '\0' && i + 1 < argc && is_number(argv[i + 1])) {
    parse_count(argv[i + 1], 0);
    return i + 2;
  }
  if (*rest != '\0') invalid_character(*rest, argv[i]);
  end = true;
  return past_end_of_options(argc, argv, i + 1);
}

}  // namespace

int parse_options(int argc, char** argv) {
  // "tail /?", as Windows programs take it; among other words "/?" names a file.
  if (argc == 2 && rt::strcmp(argv[1], "/?") == 0) write_help();
  // After the first operand the options go on (a word beginning with "-" and
  // more than "-" is one) up to "--", unless POSIXLY_CORRECT asks for them to
  // end there. Operands are gathered at argv[1] on as they come.
  const bool options_after_operands = rt::getenv("POSIXLY_CORRECT") == nullptr;
  int operands = 0;
  int i = 1;
  while (i < argc) {
    const char* argument = argv[i];
    options.current_arg = argument;
    const bool option = operands == 0 ? argument[0] == '-' || argument[0] == '+'
                                      : argument[0] == '-' && argument[1] != '\0';
    if (!option) {
      argv[1 + operands++] = argv[i++];
      if (!options_after_operands) break;
      continue;
    }
    if (rt::strcmp(argument, "--") == 0) {
      ++i;
      break;
    }
    if (argument[0] == '-' && argument[1] == '-') {
      bool end = false;
      i = take_long_option(argc, argv, i, end);
      if (end) break;
      continue;
    }
    if (rt::strcmp(argument, "-f") == 0) {  // -F, -q and -v are bundles of one letter
      take_flag_letter('f');
      ++i;
      continue;
    }
    if (rt::strcmp(argument, "-s") == 0) {
      sleep_interval(i + 1 < argc ? argv[i + 1] : nullptr);
      i += 2;
      continue;
    }
    if (const char* unit = flag_bundle(argument)) {
      for (const char* p = argument + 1; p != unit; ++p) take_flag_letter(*p);
      if (*unit == '\0') {
        ++i;
        continue;
      }
      if (unit_index(*unit) < 0) invalid_character(*unit, argument);
      check_no_unit_yet(argument);
      options.from_end = 1;
      take_unit(unit);
      bool end = false;
      i = take_count_after_unit(argc, argv, i, unit, end);
      if (end) break;
      continue;
    }
    check_no_unit_yet(argument);
    if (rt::strcmp(argument, "-") == 0) {
      ++i;
      break;
    }
    if (argument[0] == '+' || is_digit(argument[1])) {
      // The obsolescent forms: always the last option.
      int flag = 1;
      parse_units(parse_count(argument, 1), flag);
      i = past_end_of_options(argc, argv, i + 1);
      break;
    }
    options.from_end = 1;
    int flag = 0;
    const char* rest = parse_units(argument + 1, flag);
    if (flag == 0) {
      bool end = false;
      i = take_count_after_unit(argc, argv, i, rest, end);
      if (end) break;
      continue;
    }
    if (*rest != '\0') invalid_character(*rest, argument);
    // An f was among the letters: the options end.
    i = past_end_of_options(argc, argv, i + 1);
    break;
  }
  // The words after the end of the options are operands, whatever they look like.
  while (i < argc) argv[1 + operands++] = argv[i++];
  return operands;
}

int main(int argc, char** argv, char** /*envp*/) {
  rt::setlocale(rt::LC_ALL, "");
  rt::progname = "tail";
  rt::setvbuf(rt::stdout, nullptr, rt::_IOLBF, kOutputBufferSize);
  // Messages are shown on a console in their own characters.
  rt::stream_swap_form(rt::stderr, rt::TextForm{.kind = rt::TextKind::kMessages});
  // A vector without even the program's name has no operands either.
  const int operands = argc > 0 ? parse_options(argc, argv) : 0;
  return tail_files(argv + 1, operands);
}

}  // namespace tail
