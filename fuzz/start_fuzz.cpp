// Fuzzing how start-up reads what the system hands it. Input: a command line, a zero byte, an environment block
// (zero-ended entries, then an empty one) and, in the bytes left, the memory block any NVOARGS entry maps (process
// id 0 there stands for this process): 32-bit words, the process id at offset 8, the number of strings at 16, the
// strings from 20 on. Both texts come in UTF-16, each byte the unit of its value, as the system gives names here,
// and come back as the same bytes in the names' page. The properties:
// - argc strings, then a null; quoted again (in single quotes, or in double quotes with \") the words split back the
//   same; a line without quotes splits at its blanks and tabs;
// - a word with a wildcard outside quotes that is the exact name of an entry of the current directory is that word;
//   any other becomes the entries that match it, in byte order, or stays as it is when none does. A line without
//   quotes is split twice more, in a directory that holds its plain words and, in turn, every other one of its
//   wildcard words; the first wildcard of every other pair of words is quoted (such a word expands only for a later
//   wildcard, and then with the quoted one too);
// - the block is taken exactly when it names this process and holds its count of zero-ended strings, and the view is
//   that of the mapping the last NVOARGS entry names in hexadecimal (checked where a C library reads 31 bits);
// - environ keeps no "=", "~" or NVOARGS entry, and the "~" entries are the words of tilde passing, in order;
// - every heap block taken is given back once the words are freed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>
#include "runtime/msg/heap.h"
#include "runtime/startup/fnmatch.h"
#include "runtime/startup/start.h"
#include "runtime/string.h"
#include "runtime/win32/fd.h"
namespace {
using Words = std::vector<std::string>;
std::vector<unsigned char> g_block;  // the view of every mapping
std::uintptr_t g_mapped = 0;         // the mapping the last view was asked of
Words g_entries;                     // the files of the current directory ".", in the order it lists them
std::size_t g_listed = 0;            // the entries listed so far
Words take(char** vector, std::size_t count) {  // out of `count` strings and a null, freeing them
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
Words split(const std::string& text) {  // the words start-up makes of exactly this line
  const std::vector<char> line(text.c_str(), text.c_str() + text.size() + 1);
  int count = 0;
  char** argv = rt::split_command_line(line.data(), &count);
  return take(argv, static_cast<std::size_t>(count));
}
// In single quotes all but ' stands for itself, and ' goes in double quotes; in double quotes \" stands for " and
// any other backslash for itself, so the backslashes that end a word go after the closing quote.
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
DWORD attributes(LPCWSTR wide_name) {  // this and the find hooks: the current directory and its entries
  std::string name;  // each unit one byte, as names are here
  for (; *wide_name; ++wide_name) name += static_cast<char>(*wide_name);
  if (name == ".") return FILE_ATTRIBUTE_DIRECTORY;
  return std::find(g_entries.begin(), g_entries.end(), name) != g_entries.end() ? FILE_ATTRIBUTE_NORMAL
                                                                                : INVALID_FILE_ATTRIBUTES;
}
BOOL find_next(HANDLE, LPWIN32_FIND_DATAW found) {
  if (g_listed == g_entries.size()) return FALSE;
  *found = WIN32_FIND_DATAW{};
  const std::string& name = g_entries[g_listed++];
  std::copy(name.begin(), name.end(), found->cFileName);
  return TRUE;
}
HANDLE find_first(LPCWSTR, LPWIN32_FIND_DATAW found) {
  g_listed = 0;
  return find_next(nullptr, found) ? reinterpret_cast<HANDLE>(std::uintptr_t{8}) : INVALID_HANDLE_VALUE;
}
// A text of UTF-16 units, each byte of `bytes` one, converted by `convert` to the names' page: the same bytes where
// names are bytes, their UTF-8 where names are UTF-8 (a unit from 0x80 on is then two bytes).
void check_conversion(char* (*convert)(const WCHAR*), const std::string& bytes) {
  std::u16string units;
  std::string expected;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    units += static_cast<char16_t>(byte);
    const char pair[] = {static_cast<char>(0xC0 | byte >> 6), static_cast<char>(0x80 | (byte & 0x3F))};
    expected += w32::kNamePage == CP_UTF8 && byte >= 0x80 ? std::string(pair, 2) : std::string(1, c);
  }
  char* converted = convert(reinterpret_cast<const WCHAR*>(units.c_str()));
  if (!converted || std::string(converted, expected.size()) != expected) __builtin_trap();
  rt::free(converted);
}
bool is_wildcard(char c) { return c == '*' || c == '?' || c == '['; }
bool can_be_entry(const std::string& field) {  // as a directory lists names: short ASCII, no separator or colon
  return field.size() <= 32 && std::all_of(field.begin(), field.end(), [](char c) {
    return c > 0 && c != '/' && c != '\\' && c != ':';
  });
}
// The words expected of a wildcard word that names no entry: the entries that match it, in byte order (a name
// found after "./" or ".\" keeps them), else itself. Any other separator leads to a folder that is not there.
void expand(const std::string& word, const std::set<std::string>& entries, Words& words) {
  const bool here = word.size() > 2 && word[0] == '.' && (word[1] == '/' || word[1] == '\\');
  const std::string pattern = word.substr(here ? 2 : 0);
  const bool elsewhere = pattern.find_first_of("/\\") != std::string::npos || (!here && word[1] == ':');
  const std::size_t before = words.size();
  for (const std::string& entry : entries) {
    if (!elsewhere && rt::fnmatch(pattern.c_str(), entry.c_str(), rt::FNM_PERIOD) == 0) {
      words.push_back(word.substr(0, here ? 2 : 0) + entry);
    }
  }
  if (words.size() == before) words.push_back(word);
}
// The fields of a line without quotes split in two turns, in each of which the current directory holds the plain
// fields and every other wildcard field; in every other pair of fields the first wildcard is quoted.
void check_expansion(const Words& fields) {
  for (std::size_t turn = 0; turn < 2; ++turn) {
    std::set<std::string> entries;
    std::string line;
    std::vector<bool> wild;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const std::string& field = fields[i];
      const std::size_t first = std::find_if(field.begin(), field.end(), is_wildcard) - field.begin();
      const bool quoted = first < field.size() && i % 4 >= 2;
      wild.push_back(std::any_of(field.begin() + (quoted ? first + 1 : 0), field.end(), is_wildcard));
      if (can_be_entry(field) && (first == field.size() || (i + turn) % 2 == 0)) entries.insert(field);
      line += (quoted ? "'" + field.substr(0, first + 1) + "'" + field.substr(first + 1) : field) + ' ';
    }
    Words expected;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (!wild[i] || entries.count(fields[i])) expected.push_back(fields[i]);
      if (wild[i] && !entries.count(fields[i])) expand(fields[i], entries, expected);
    }
    g_entries.assign(entries.rbegin(), entries.rend());  // not in order: the expansion sorts
    const Words words = split(line);
    g_entries.clear();
    if (words != expected) __builtin_trap();
  }
}
std::uint32_t word_at(std::size_t at) {
  std::uint32_t word;
  rt::memcpy(&word, &g_block[at], 4);
  return word;
}
}  // namespace
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (rt::fd_init() != 0) __builtin_trap();
  auto& r = w32::hook::replacements;
  r.MapViewOfFile = [](HANDLE mapping, DWORD, DWORD, DWORD, SIZE_T) -> LPVOID {
    g_mapped = reinterpret_cast<std::uintptr_t>(mapping);
    return g_block.data();
  };
  r.VirtualQuery = [](LPCVOID address, PMEMORY_BASIC_INFORMATION region, SIZE_T) -> SIZE_T {
    *region = MEMORY_BASIC_INFORMATION{const_cast<LPVOID>(address), nullptr, 0, g_block.size(), 0, 0, 0};
    return sizeof *region;
  };
  r.GetFileAttributesW = attributes;
  r.FindFirstFileW = find_first;
  r.FindNextFileW = find_next;
  r.FindClose = [](HANDLE) -> BOOL { return TRUE; };
  r.GetVolumeInformationW = [](LPCWSTR, LPWSTR, DWORD, LPDWORD, LPDWORD length, LPDWORD flags, LPWSTR, DWORD) -> BOOL {
    *length = 255;
    *flags = FILE_CASE_PRESERVED_NAMES;  // names keep their case
    return TRUE;
  };
  return 0;
}
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using w32::hook::Call;
  const unsigned blocks = w32::hook::calls(Call::HeapAlloc) - w32::hook::calls(Call::HeapFree);
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
    check_expansion(fields);
  }
  check_conversion(rt::command_line_text, line);
  Words entries;
  std::string environment;  // the entries, each ended by a zero byte, then an empty one
  std::size_t at = line.size() + 1;
  for (; at < size && input[at] != '\0'; at += entries.back().size() + 1) {
    entries.push_back(input.substr(at, input.find('\0', at) - at));
    environment += entries.back() + '\0';
  }
  environment += '\0';
  check_conversion(rt::environment_text, environment);
  g_block.assign(data + std::min(at + 1, size), data + size);
  const std::uint32_t pid = w32::GetCurrentProcessId();
  if (g_block.size() >= 12 && word_at(8) == 0) rt::memcpy(&g_block[8], &pid, 4);
  const rt::EnvironmentScan scan = rt::scan_environment(environment.data());
  const auto last = std::find_if(entries.rbegin(), entries.rend(), [](auto& e) { return e.starts_with("NVOARGS="); });
  const bool named = last != entries.rend();
  const unsigned long handle = named ? std::strtoul(last->c_str() + 8, nullptr, 16) : 0;
  if (named && handle < 0x80000000 && g_mapped != handle) __builtin_trap();
  const bool fits = g_block.size() >= 20 && word_at(8) == pid &&
                    static_cast<std::size_t>(std::count(g_block.begin() + 20, g_block.end(), '\0')) >= word_at(16);
  if (scan.arg_block != (named && fits ? g_block.data() : nullptr)) __builtin_trap();
  Words tilde;
  for (const std::string& entry : entries) if (entry.starts_with("~")) tilde.push_back(entry.substr(1));
  std::vector<char*> tilde_args(tilde.size() + 1);
  char** environ = rt::build_environment(environment.data(), scan, tilde_args.data());
  std::size_t count = 0;
  while (environ[count]) ++count;
  for (const std::string& entry : take(environ, count)) {
    if (entry.starts_with("=") || entry.starts_with("~") || entry.starts_with("NVOARGS=")) __builtin_trap();
  }
  for (std::size_t i = 0; i < tilde.size(); ++i) {
    if (!tilde_args[i] || tilde_args[i] != tilde[i]) __builtin_trap();
    rt::free(tilde_args[i]);
  }
  if (w32::hook::calls(Call::HeapAlloc) - w32::hook::calls(Call::HeapFree) != blocks) __builtin_trap();
  return 0;
}
