// The message catalogue writer: the source parser, the checks, the OEM
// code page and the binary layout.
#include "tools/catalog/catalog_writer.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <map>
#include <optional>
#include <utility>

#include "runtime/msg/catalog_format.h"

namespace catalog {

SourceError::SourceError(int line, const std::string& what)
    : std::runtime_error("line " + std::to_string(line) + ": " + what), line(line) {}

namespace {

// The catalogue while it is being read: sets by number, texts by number.
using SetMap = std::map<std::int32_t, std::map<std::int32_t, std::string>>;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view skip_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  return text;
}

// A source line with its continuations joined on, and the number of the
// physical line it starts on.
struct Line {
  std::string text;
  int number;
};

// Splits the source at LF; a CR before the LF belongs to the line end. A line
// ending in an odd number of backslashes continues on the next one: the last
// backslash and the line end go. On the source's last line there is nothing
// to continue on, and the backslash stays for the text reader to refuse.
std::vector<Line> logical_lines(std::string_view source) {
  std::vector<Line> lines;
  bool continued = false;
  int number = 0;
  while (!source.empty()) {
    ++number;
    const std::size_t end = source.find('\n');
    std::string_view physical = source.substr(0, end);
    source.remove_prefix(end == std::string_view::npos ? source.size() : end + 1);
    if (!physical.empty() && physical.back() == '\r') physical.remove_suffix(1);

    if (!continued) lines.push_back(Line{"", number});
    std::string& text = lines.back().text;
    text += physical;
    const std::size_t last_plain = text.find_last_not_of('\\');
    const std::size_t backslashes = text.size() - (last_plain == std::string::npos ? 0 : last_plain + 1);
    continued = backslashes % 2 == 1 && !source.empty();
    if (continued) text.pop_back();
  }
  return lines;
}

// Reads one source after another into the same sets.
class Parser {
 public:
  explicit Parser(SetMap& sets) : sets_(sets) {}

  void read(const Line& line) {
    line_ = line.number;
    const std::string_view text = line.text;
    if (skip_blanks(text).empty()) return;
    if (text.front() == '$') {
      directive(text.substr(1));
    } else {
      message(text);
    }
  }

 private:
  [[noreturn]] void fail(const std::string& what) const { throw SourceError(line_, what); }

  // A decimal number at the start of `rest`, taken off it.
  std::int32_t number(std::string_view& rest) const {
    std::int64_t value = 0;
    for (; !rest.empty() && is_digit(rest.front()); rest.remove_prefix(1)) {
      value = value * 10 + (rest.front() - '0');
      if (value > INT32_MAX) fail("number too large");
    }
    return static_cast<std::int32_t>(value);
  }

  // A "$" line; `rest` follows the "$". A blank or nothing after the "$"
  // makes a comment.
  void directive(std::string_view rest) {
    if (rest.empty() || is_blank(rest.front())) return;
    std::size_t end = 0;
    while (end < rest.size() && !is_blank(rest[end])) ++end;
    const std::string keyword(rest.substr(0, end));
    rest.remove_prefix(end);
    if (keyword == "set") {
      set_ = set_number(rest);
    } else if (keyword == "delset") {
      sets_.erase(set_number(rest));
    } else if (keyword == "quote") {
      quote(skip_blanks(rest));
    } else {
      fail("unknown directive $" + keyword);
    }
  }

  // The set number of $set and $delset, with an optional comment after it.
  std::int32_t set_number(std::string_view rest) const {
    rest = skip_blanks(rest);
    if (rest.empty() || !is_digit(rest.front())) fail("set number expected");
    const std::int32_t set = number(rest);
    if (!rest.empty() && !is_blank(rest.front())) fail("set number expected");
    if (set < 1) fail("set numbers start at 1");
    return set;
  }

  // $quote c sets the quote character; $quote alone switches quoting off.
  void quote(std::string_view rest) {
    if (rest.empty()) {
      quote_.reset();
      return;
    }
    if (!skip_blanks(rest.substr(1)).empty()) fail("one quote character expected");
    if (rest.front() == '\\') fail("the backslash cannot be the quote character");
    quote_ = rest.front();
  }

  // "number", one blank or tab, then the text; a number alone deletes the
  // message.
  void message(std::string_view rest) {
    if (!is_digit(rest.front())) fail("message number expected");
    const std::int32_t message = number(rest);
    if (rest.empty()) {
      if (const auto set = sets_.find(set_); set != sets_.end()) set->second.erase(message);
      return;
    }
    if (!is_blank(rest.front())) fail("blank or tab expected after the message number");
    sets_[set_][message] = message_text(rest.substr(1));
  }

  // The message text with its escapes resolved. With a quote character set,
  // a text that begins with it ends at the next unescaped one, and only
  // blanks may follow.
  std::string message_text(std::string_view rest) const {
    const bool quoted = quote_ && !rest.empty() && rest.front() == *quote_;
    if (quoted) rest.remove_prefix(1);
    std::string text;
    while (!rest.empty()) {
      const char c = rest.front();
      rest.remove_prefix(1);
      if (quoted && c == *quote_) {
        if (!skip_blanks(rest).empty()) fail("text after the closing quote");
        return text;
      }
      text += c == '\\' ? escape(rest) : c;
    }
    if (quoted) fail("closing quote missing");
    return text;
  }

  // The character an escape stands for; `rest` follows the backslash and
  // loses the escape.
  char escape(std::string_view& rest) const {
    if (rest.empty()) fail("backslash at the end of the text");
    const char c = rest.front();
    if (c >= '0' && c <= '7') {
      int value = 0;
      for (int digits = 0; digits < 3 && !rest.empty() && rest.front() >= '0' && rest.front() <= '7'; ++digits) {
        value = value * 8 + (rest.front() - '0');
        rest.remove_prefix(1);
      }
      if (value > 0377) fail("octal escape above \\377");
      if (value == 0) fail("a zero byte would end the text");
      return static_cast<char>(value);
    }
    rest.remove_prefix(1);
    switch (c) {
      case 'n': return '\n';
      case 't': return '\t';
      case 'v': return '\v';
      case 'b': return '\b';
      case 'r': return '\r';
      case 'f': return '\f';
      case '\\': return '\\';
      default:
        if (quote_ && c == *quote_) return c;
        fail(std::string("unknown escape \\") + c);
    }
  }

  SetMap& sets_;
  std::int32_t set_ = 1;
  std::optional<char> quote_;
  int line_ = 0;
};

// Writes `value` as a 32-bit little-endian word over the bytes at `at`.
void store32(std::string& out, std::size_t at, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out[at++] = static_cast<char>(value >> shift & 0xff);
}

// Appends a set entry or a message entry.
void put_entry(std::string& out, std::int32_t number, std::uint32_t target) {
  const std::size_t at = out.size();
  out.append(catalog_file::kEntrySize, '\0');
  store32(out, at + catalog_file::kEntryNumberAt, static_cast<std::uint32_t>(number));
  store32(out, at + catalog_file::kEntryOffsetAt, target);
}

// Appends the trailer: the texts' code page, then the set index's offset.
void put_trailer(std::string& out, std::uint32_t code_page, std::uint32_t set_index) {
  const std::size_t at = out.size();
  out.append(catalog_file::kTrailerSize, '\0');
  store32(out, at + catalog_file::kTrailerWordAt, code_page);
  store32(out, at + catalog_file::kTrailerSetIndexAt, set_index);
}

std::uint32_t offset(const std::string& out) { return static_cast<std::uint32_t>(out.size()); }

// "" when the numbers are strictly ascending and none is below `lowest`;
// `what` names them in the complaint.
template <typename Item>
std::string check_numbers(const std::vector<Item>& items, std::int32_t lowest, const std::string& what) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string number = std::to_string(items[i].number);
    if (items[i].number < lowest) return what + " " + number + " is below " + std::to_string(lowest);
    if (i > 0 && items[i].number == items[i - 1].number) return what + " " + number + " appears twice";
    if (i > 0 && items[i].number < items[i - 1].number) {
      return what + " " + number + " follows " + std::to_string(items[i - 1].number);
    }
  }
  return "";
}

}  // namespace

Catalog parse_source(std::string_view source, Catalog base) {
  SetMap sets;
  for (Set& set : base.sets) {
    for (Message& message : set.messages) sets[set.number][message.number] = std::move(message.text);
  }
  Parser parser(sets);
  for (const Line& line : logical_lines(source)) parser.read(line);

  Catalog catalog;
  for (auto& [number, messages] : sets) {
    if (messages.empty()) continue;
    Set& set = catalog.sets.emplace_back(Set{number, {}});
    for (auto& [message, text] : messages) set.messages.push_back(Message{message, std::move(text)});
  }
  return catalog;
}

std::string check(const Catalog& catalog) {
  if (catalog.sets.size() > catalog_file::kMaxSets) {
    return std::to_string(catalog.sets.size()) + " sets; a catalogue holds at most " +
           std::to_string(catalog_file::kMaxSets);
  }
  if (std::string problem = check_numbers(catalog.sets, 1, "set"); !problem.empty()) return problem;
  for (const Set& set : catalog.sets) {
    const std::string where = "set " + std::to_string(set.number) + ": ";
    if (std::string problem = check_numbers(set.messages, 0, "message"); !problem.empty()) return where + problem;
    for (const Message& message : set.messages) {
      if (message.text.find('\0') != std::string::npos) {
        return where + "message " + std::to_string(message.number) + " holds a zero byte";
      }
    }
  }
  return "";
}

// The magic, then the texts, then the message indexes back to back in set
// order, the last one ending where the set index begins, then the set index
// and the trailer: the texts' code page and the set index's offset.
std::string encode(const Catalog& catalog) {
  std::string out(catalog_file::kMagic, catalog_file::kMagicSize);

  std::vector<std::vector<std::uint32_t>> text_offsets;
  for (const Set& set : catalog.sets) {
    std::vector<std::uint32_t>& offsets = text_offsets.emplace_back();
    for (const Message& message : set.messages) {
      offsets.push_back(offset(out));
      out += message.text;
      out += '\0';
    }
  }

  std::vector<std::uint32_t> index_offsets;
  for (std::size_t s = 0; s < catalog.sets.size(); ++s) {
    index_offsets.push_back(offset(out));
    const std::vector<Message>& messages = catalog.sets[s].messages;
    for (std::size_t m = 0; m < messages.size(); ++m) {
      put_entry(out, messages[m].number, text_offsets[s][m]);
    }
  }

  const std::uint32_t set_index = offset(out);
  for (std::size_t s = 0; s < catalog.sets.size(); ++s) {
    put_entry(out, catalog.sets[s].number, index_offsets[s]);
  }
  put_trailer(out, catalog.code_page, set_index);
  return out;
}

namespace {

// The accented letters and signs at 0x80 ... 0xA5 and 0xE1 that code pages
// 437 and 850 share, by Unicode code point.
constexpr std::pair<char32_t, unsigned char> kOemLetters[] = {
    {U'\u00C7', 0x80}, {U'\u00FC', 0x81}, {U'\u00E9', 0x82}, {U'\u00E2', 0x83}, {U'\u00E4', 0x84},
    {U'\u00E0', 0x85}, {U'\u00E5', 0x86}, {U'\u00E7', 0x87}, {U'\u00EA', 0x88}, {U'\u00EB', 0x89},
    {U'\u00E8', 0x8A}, {U'\u00EF', 0x8B}, {U'\u00EE', 0x8C}, {U'\u00EC', 0x8D}, {U'\u00C4', 0x8E},
    {U'\u00C5', 0x8F}, {U'\u00C9', 0x90}, {U'\u00E6', 0x91}, {U'\u00C6', 0x92}, {U'\u00F4', 0x93},
    {U'\u00F6', 0x94}, {U'\u00F2', 0x95}, {U'\u00FB', 0x96}, {U'\u00F9', 0x97}, {U'\u00FF', 0x98},
    {U'\u00D6', 0x99}, {U'\u00DC', 0x9A}, {U'\u00A3', 0x9C}, {U'\u0192', 0x9F}, {U'\u00E1', 0xA0},
    {U'\u00ED', 0xA1}, {U'\u00F3', 0xA2}, {U'\u00FA', 0xA3}, {U'\u00F1', 0xA4}, {U'\u00D1', 0xA5},
    {U'\u00DF', 0xE1},
};

// The next code point of a UTF-8 text, or -1 for a malformed sequence.
long next_code_point(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) return lead;
  int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
  if (more < 0 || lead > 0xF4) return -1;
  long point = lead & (0x3F >> more);
  for (; more > 0; --more, ++i) {
    if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return -1;
    point = point << 6 | (static_cast<unsigned char>(text[i]) & 0x3F);
  }
  return point;
}

}  // namespace

Catalog to_oem(Catalog catalog) {
  for (Set& set : catalog.sets) {
    for (Message& message : set.messages) {
      std::string converted;
      for (std::size_t i = 0; i < message.text.size();) {
        const long point = next_code_point(message.text, i);
        const auto* found = std::find_if(std::begin(kOemLetters), std::end(kOemLetters),
                                         [point](const auto& pair) { return pair.first == static_cast<char32_t>(point); });
        if (point >= 0 && point < 0x80) {
          converted += static_cast<char>(point);
        } else if (point >= 0 && found != std::end(kOemLetters)) {
          converted += static_cast<char>(found->second);
        } else {
          throw std::runtime_error("set " + std::to_string(set.number) + ", message " +
                                   std::to_string(message.number) +
                                   (point < 0 ? ": the text is no UTF-8" : ": a character the OEM code page lacks"));
        }
      }
      message.text = std::move(converted);
    }
  }
  catalog.code_page = catalog_file::kCodePageOem;
  return catalog;
}

}  // namespace catalog
