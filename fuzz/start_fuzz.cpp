// Fuzzing how start-up reads what the system hands it. The input: a command
// line, a zero byte, an environment block (zero-ended entries, then an empty
// one) and, in the bytes left, the memory block that any NVOARGS entry maps
// (process id 0 there stands for this process). No file exists, so words
// with wildcards stay as they are. The properties:
// - argc strings, then a null; quoted again (in single quotes, or in double
//   quotes with \") the words split back the same; a line without quotes
//   splits at its blanks and tabs;
// - the block is taken exactly when it names this process and holds its
//   count of zero-ended strings (read from an exact-size copy);
// - environ, sized by the first pass over the environment block and filled
//   by the second, keeps no "=", "~" or NVOARGS entry.
// The system hands both texts over in UTF-16, and start-up converts them to
// the OEM code page. Taken so, a byte below 0x80 is its ASCII character (the
// same in every page) and the others stand for characters no page has:
// 0x80-0xBF a high surrogate, 0xC0-0xFF a low one, so that a high one before
// a low one is one character, a pair. With one file, "!", in the current
// directory, which any wildcard but a literal '?' matches:
// - the command line splits as the same line with a plain letter for each
//   such character, that letter then read as '?' (as "[?]", which matches
//   only a '?', in a word that is expanded); none makes a word expanded or
//   expands in one (in a line without brackets);
// - the environment block comes with '?' for each of its such units.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/msg/heap.h"
#include "runtime/startup/start.h"
#include "runtime/string.h"
#include "runtime/win32/fd.h"

namespace {

using Words = std::vector<std::string>;
std::vector<unsigned char> g_block;  // the view of every mapping
bool g_one_file = false;             // the current directory holds "!" (else nothing exists)

SIZE_T query(LPCVOID address, PMEMORY_BASIC_INFORMATION region, SIZE_T) {
  *region = MEMORY_BASIC_INFORMATION{const_cast<LPVOID>(address), nullptr, 0, g_block.size(), 0, 0, 0};
  return sizeof *region;
}

// Takes the words out of a vector of `count` strings and a null, freeing it.
Words take(char** vector, std::size_t count) {
  Words words;
  for (std::size_t i = 0; i < count; ++i) {
    if (!vector[i]) __builtin_trap();
    words.emplace_back(vector[i]);
    rt::free(vector[i]);
  }
  if (vector[count]) __builtin_trap();
  rt::free(vector);
  return words;
}

Words split(const std::string& text) {
  const std::vector<char> line(text.c_str(), text.c_str() + text.size() + 1);  // exactly the line
  rt::glob_t vector{0, static_cast<char**>(rt::malloc(sizeof(char*) * 8)), 0, nullptr, 8};
  vector.gl_names = vector.gl_pathv;
  if (rt::split_command_line(line.data(), &vector) != 0 || rt::argv_append(&vector, nullptr) != 0) __builtin_trap();
  return take(vector.gl_pathv, vector.gl_pathc - 1);
}

// In single quotes all but ' stands for itself, and ' goes in double quotes;
// in double quotes \" stands for " and any other backslash for itself, so
// the backslashes that end a word go after the closing quote.
std::string quoted(const Words& words, bool single) {
  std::string line;
  for (const std::string& word : words) {
    const std::size_t body = single ? word.size() : word.find_last_not_of('\\') + 1;
    const char quote = single ? '\'' : '"';
    line += quote;
    for (const char c : word.substr(0, body)) line += c != quote ? std::string(1, c) : single ? "'\"'\"'" : "\\\"";
    line += quote + word.substr(body) + '\t';
  }
  return line;
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The current directory, when it holds "!": what it takes to list it.
DWORD attributes(LPCSTR name) {
  return g_one_file && std::string(name) == "." ? FILE_ATTRIBUTE_DIRECTORY : INVALID_FILE_ATTRIBUTES;
}
HANDLE find_first(LPCSTR, LPWIN32_FIND_DATAA found) {
  *found = WIN32_FIND_DATAA{};
  found->cFileName[0] = '!';
  return reinterpret_cast<HANDLE>(std::uintptr_t{8});
}

bool is_high(unsigned char byte) { return byte >= 0x80 && byte < 0xC0; }

// The command line as units: a byte below 0x80 as its character, the others
// as surrogates (0x80-0xBF high, 0xC0-0xFF low).
std::u16string command_units(const std::string& line) {
  std::u16string units;
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    units += static_cast<char16_t>(byte < 0x80 ? byte : is_high(byte) ? 0xD800 + byte - 0x80 : 0xDC00 + byte - 0xC0);
  }
  return units;
}

// The line with each character of surrogates (a pair, or a lone one) as the
// byte 0x80, which the splitter reads as a plain letter.
std::string plain_line(const std::string& line) {
  std::string plain;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    if (is_high(byte) && i + 1 < line.size() && static_cast<unsigned char>(line[i + 1]) >= 0xC0) ++i;  // a pair
    plain += byte < 0x80 ? line[i] : '\x80';
  }
  return plain;
}

// For each word of a line, whether it holds a wildcard outside quotes and
// so is expanded: the splitter's rules, written again.
std::vector<bool> expanded_words(const std::string& line) {
  std::vector<bool> wild;
  char quote = '\0';
  bool in_word = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (!quote && (c == ' ' || c == '\t')) {
      in_word = false;
      continue;
    }
    if (!in_word) wild.push_back(false);
    in_word = true;
    if (!quote && (c == '"' || c == '\'')) {
      quote = c;
    } else if (quote && c == quote) {
      quote = '\0';
    } else if (quote == '"' && c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
      ++i;
    } else if (!quote && (c == '*' || c == '?' || c == '[')) {
      wild.back() = true;
    }
  }
  return wild;
}

// A word with each plain letter 0x80 read as `as`.
std::string with_letters_as(std::string word, const std::string& as) {
  for (std::size_t at = word.find('\x80'); at != std::string::npos; at = word.find('\x80', at + as.size())) {
    word.replace(at, 1, as);
  }
  return word;
}

// The words of the command line in units, as start-up converts and splits it.
Words split_units(const std::u16string& units) {
  char* line = rt::oem_command_line(reinterpret_cast<const WCHAR*>(units.c_str()));
  if (!line) __builtin_trap();
  const Words words = split(line);
  rt::free(line);
  return words;
}

// The environment block in units, as start-up converts it: each byte below
// 0x80 its character, the others lone high surrogates, each of which must
// come back as '?'.
void check_environment_conversion(const std::vector<char>& block) {
  std::u16string units;
  std::string expected;
  for (const char c : block) {
    const auto byte = static_cast<unsigned char>(c);
    units += static_cast<char16_t>(byte < 0x80 ? byte : 0xD800 + (byte & 0x3F));
    expected += byte < 0x80 ? c : '?';
  }
  std::size_t end = 0;  // through the empty entry that ends the block
  while (expected[end] != '\0') end = expected.find('\0', end) + 1;
  expected.resize(end + 1);
  char* converted = rt::oem_environment(reinterpret_cast<const WCHAR*>(units.c_str()));
  if (!converted || std::string(converted, expected.size()) != expected) __builtin_trap();
  rt::free(converted);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (rt::fd_init() != 0) __builtin_trap();
  w32::hook::replacements.MapViewOfFile = [](HANDLE, DWORD, DWORD, DWORD, SIZE_T) -> LPVOID { return g_block.data(); };
  w32::hook::replacements.VirtualQuery = query;
  w32::hook::replacements.GetFileAttributesA = attributes;
  w32::hook::replacements.FindFirstFileA = find_first;
  w32::hook::replacements.FindNextFileA = [](HANDLE, LPWIN32_FIND_DATAA) -> BOOL { return FALSE; };
  w32::hook::replacements.FindClose = [](HANDLE) -> BOOL { return TRUE; };
  w32::hook::replacements.GetVolumeInformationA = [](LPCSTR, LPSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPSTR,
                                                     DWORD) -> BOOL { return FALSE; };
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string line = input.substr(0, input.find('\0'));
  const Words words = split(line);
  if (split(quoted(words, true)) != words || split(quoted(words, false)) != words) __builtin_trap();
  if (line.find_first_of("\"'") == std::string::npos) {
    Words fields;
    for (std::size_t at = line.find_first_not_of(" \t"); at != std::string::npos;
         at = line.find_first_not_of(" \t", at + fields.back().size())) {
      fields.push_back(line.substr(at, line.find_first_of(" \t", at) - at));
    }
    if (words != fields) __builtin_trap();
  }

  g_one_file = true;
  const Words converted = split_units(command_units(line));
  const Words plain = split(plain_line(line));
  g_one_file = false;
  const std::vector<bool> expanded = expanded_words(line);
  if (converted.size() != plain.size() || plain.size() != expanded.size()) __builtin_trap();
  const bool bracket = line.find('[') != std::string::npos;  // "[?]" inside brackets is no bracket of its own
  for (std::size_t i = 0; i < plain.size() && !bracket; ++i) {
    if (converted[i] != with_letters_as(plain[i], expanded[i] ? "[?]" : "?")) __builtin_trap();
  }

  Words entries;
  std::size_t at = line.size() + 1;
  for (; at < size && input[at] != '\0'; at += entries.back().size() + 1) {
    entries.push_back(input.substr(at, input.find('\0', at) - at));
  }
  std::vector<char> environment(input.begin() + std::min(line.size() + 1, size), input.begin() + std::min(at, size));
  environment.insert(environment.end(), 2, '\0');  // the last entry's end, and the empty entry
  check_environment_conversion(environment);
  g_block.assign(data + std::min(at + 1, size), data + size);
  if (g_block.size() >= 12 && rt::load_le32(&g_block[8]) == 0) {
    const std::uint32_t pid = w32::GetCurrentProcessId();
    rt::memcpy(&g_block[8], &pid, 4);
  }

  const rt::EnvironmentScan scan = rt::scan_environment(environment.data());
  const bool named = std::any_of(entries.begin(), entries.end(), [](auto& e) { return starts_with(e, "NVOARGS="); });
  const bool fits = g_block.size() >= rt::kArgBlockStrings &&
                    rt::load_le32(&g_block[8]) == w32::GetCurrentProcessId() &&
                    std::count(g_block.begin() + rt::kArgBlockStrings, g_block.end(), '\0') >=
                        rt::load_le32(&g_block[16]);
  if (scan.arg_block != (named && fits ? g_block.data() : nullptr)) __builtin_trap();

  char** environ = rt::build_environment(environment.data(), scan, nullptr);  // sized by the first pass
  std::size_t count = 0;
  while (environ[count]) ++count;
  for (const std::string& entry : take(environ, count)) {
    if (starts_with(entry, "=") || starts_with(entry, "~") || starts_with(entry, "NVOARGS=")) __builtin_trap();
  }
  return 0;
}
