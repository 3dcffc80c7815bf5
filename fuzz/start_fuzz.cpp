// Fuzzing how start-up reads what the system hands it. The input is a
// command line, a zero byte, an environment block (its entries each ended by
// a zero byte, the block by an empty entry) and, in the bytes left, the
// shared memory block that any NVOARGS entry names (a process id of 0 there
// stands for this process). No file exists, so a word with wildcards stays
// as it is. The properties:
// - argc and the argument vector agree: argc strings, then a null;
// - quoting every word again (in single quotes, or in double quotes with \")
//   and splitting that gives the same words; a line without quotes splits
//   at its blanks and tabs;
// - the argument block is taken exactly when its process id is ours and it
//   holds its count of zero-ended strings;
// - every "~" entry becomes one argument, and environ has no "=", "~" or
//   NVOARGS entry, and of the path variables only PATH= (else Path=),
//   renamed PATH and placed last.
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

std::vector<unsigned char> g_block;  // the view every mapping handle gives

LPVOID map_view(HANDLE, DWORD, DWORD, DWORD, SIZE_T) { return g_block.data(); }
SIZE_T query(LPCVOID address, PMEMORY_BASIC_INFORMATION region, SIZE_T) {
  *region = MEMORY_BASIC_INFORMATION{const_cast<LPVOID>(address), nullptr, 0, g_block.size(), 0, 0, 0};
  return sizeof *region;
}
DWORD no_file(LPCSTR) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_FILE_ATTRIBUTES;
}

Words split(const std::string& text) {
  std::vector<char> line(text.begin(), text.end());  // exactly the line and its zero byte
  line.push_back('\0');
  rt::glob_t vector{0, static_cast<char**>(rt::malloc(sizeof(char*) * 8)), 0, nullptr, 8};
  vector.gl_names = vector.gl_pathv;
  if (rt::split_command_line(line.data(), &vector) != 0 || rt::argv_append(&vector, nullptr) != 0) __builtin_trap();
  const std::uint32_t argc = vector.gl_pathc - 1;
  Words words;
  for (std::uint32_t i = 0; i < argc; ++i) {
    if (!vector.gl_pathv[i]) __builtin_trap();
    words.emplace_back(vector.gl_pathv[i]);
    rt::free(vector.gl_pathv[i]);
  }
  if (vector.gl_pathv[argc]) __builtin_trap();
  rt::free(vector.gl_pathv);
  return words;
}

// In single quotes every character but ' stands for itself; a ' goes in
// double quotes.
std::string in_single_quotes(const Words& words) {
  std::string line;
  for (const std::string& word : words) {
    line += '\'';
    for (const char c : word) line += c == '\'' ? std::string("'\"'\"'") : std::string(1, c);
    line += "' ";
  }
  return line;
}

// In double quotes \" stands for " and any other backslash for itself; the
// backslashes that end a word go after the closing quote.
std::string in_double_quotes(const Words& words) {
  std::string line;
  for (const std::string& word : words) {
    const std::size_t body = word.find_last_not_of('\\') + 1;  // 0 when all backslashes
    line += '"';
    for (std::size_t i = 0; i < body; ++i) line += word[i] == '"' ? std::string("\\\"") : std::string(1, word[i]);
    line += '"' + word.substr(body) + '\t';
  }
  return line;
}

Words blank_separated(const std::string& line) {
  Words words;
  for (std::size_t at = line.find_first_not_of(" \t"); at != std::string::npos;
       at = line.find_first_not_of(" \t", at)) {
    const std::size_t end = line.find_first_of(" \t", at);
    words.push_back(line.substr(at, end - at));
    at = end;
  }
  return words;
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (rt::fd_init() != 0) __builtin_trap();
  w32::hook::replacements.MapViewOfFile = map_view;
  w32::hook::replacements.VirtualQuery = query;
  w32::hook::replacements.GetFileAttributesA = no_file;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t line_end = std::min(input.find('\0'), size);
  const std::string line = input.substr(0, line_end);

  const Words words = split(line);
  if (split(in_single_quotes(words)) != words || split(in_double_quotes(words)) != words) __builtin_trap();
  if (line.find_first_of("\"'") == std::string::npos && words != blank_separated(line)) __builtin_trap();

  // The environment block, and the argument block after it.
  Words entries;
  std::size_t at = line_end + 1;
  while (at < size && input[at] != '\0') {
    const std::size_t end = std::min(input.find('\0', at), size);
    entries.push_back(input.substr(at, end - at));
    at = end + 1;
  }
  std::vector<char> environment;
  for (const std::string& entry : entries) {
    environment.insert(environment.end(), entry.c_str(), entry.c_str() + entry.size() + 1);  // with its zero byte
  }
  environment.push_back('\0');
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

  std::vector<char*> tilde_args(static_cast<std::size_t>(scan.tilde_entries));
  char** environ = rt::build_environment(environment.data(), scan, tilde_args.data());
  Words tildes;
  std::string upper_path, mixed_path;
  for (const std::string& entry : entries) {
    if (starts_with(entry, "~")) tildes.push_back(entry.substr(1));
    if (starts_with(entry, "PATH=")) upper_path = entry;
    if (starts_with(entry, "Path=")) mixed_path = "PATH=" + entry.substr(5);
  }
  if (tildes != Words(tilde_args.begin(), tilde_args.end())) __builtin_trap();
  for (char* tilde : tilde_args) rt::free(tilde);
  std::string path;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (starts_with(text, "=") || starts_with(text, "~") || starts_with(text, "NVOARGS=")) __builtin_trap();
    std::string name = text.substr(0, 5);
    for (char& c : name) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    if (name == "PATH=") {
      if (entry[1]) __builtin_trap();  // not the last
      path = text;
    }
    rt::free(*entry);
  }
  rt::free(environ);
  if (path != (upper_path.empty() ? mixed_path : upper_path)) __builtin_trap();
  return 0;
}
