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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (rt::fd_init() != 0) __builtin_trap();
  w32::hook::replacements.MapViewOfFile = [](HANDLE, DWORD, DWORD, DWORD, SIZE_T) -> LPVOID { return g_block.data(); };
  w32::hook::replacements.VirtualQuery = query;
  w32::hook::replacements.GetFileAttributesA = [](LPCSTR) -> DWORD { return INVALID_FILE_ATTRIBUTES; };
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

  Words entries;
  std::size_t at = line.size() + 1;
  for (; at < size && input[at] != '\0'; at += entries.back().size() + 1) {
    entries.push_back(input.substr(at, input.find('\0', at) - at));
  }
  std::vector<char> environment(input.begin() + std::min(line.size() + 1, size), input.begin() + std::min(at, size));
  environment.insert(environment.end(), 2, '\0');  // the last entry's end, and the empty entry
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
