// Program start-up.
//
// Contents: the argument block - the environment passes - the quote rules
// of the command line - command-line splitting - the texts in the names'
// page - _main and the process entry.
#include "runtime/startup/start.h"

#include "runtime/msg/ctype.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/stdlib.h"
#include "runtime/startup/dir.h"
#include "runtime/startup/exit.h"
#include "runtime/string.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/wide_name.h"

namespace rt {
namespace {

constexpr char kStartupFailure[] = "_main: memory allocation error during startup.\r\n";
constexpr char kArgBlockVariable[] = "NVOARGS=";

bool starts_with(const char* text, const char* prefix) {
  for (; *prefix; ++prefix, ++text) {
    if (*text != *prefix) return false;
  }
  return true;
}

// "path=" compared without case: every spelling of the path variable.
bool is_path_entry(const char* entry) {
  const char* name = "PATH=";
  for (; *name; ++name, ++entry) {
    if (toupper(static_cast<unsigned char>(*entry)) != *name) return false;
  }
  return true;
}

// The next entry of an environment block (the block ends with an empty one).
const char* next_entry(const char* entry) { return entry + strlen(entry) + 1; }

// A copy, or the end of start-up when there is no memory.
char* copy_or_fail(const char* text) {
  char* copy = strdup(text);
  if (!copy) startup_fail(kStartupFailure);
  return copy;
}

// The view of the mapping an NVOARGS entry names, when it holds a block
// meant for this process that ends inside the view.
const unsigned char* mapped_arg_block(const char* handle_text) {
  const auto handle = static_cast<std::uint32_t>(strtol(handle_text, nullptr, 16));
  void* view = w32::MapViewOfFile(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle)),
                                  FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (!view) return nullptr;
  MEMORY_BASIC_INFORMATION region;
  const std::size_t size = w32::VirtualQuery(view, &region, sizeof region) != 0 ? region.RegionSize : 0;
  const auto* block = static_cast<const unsigned char*>(view);
  return arg_block_fits(block, size, w32::GetCurrentProcessId()) ? block : nullptr;
}

// The arguments of a block, copied. A starting program puts them in the
// OEM page, the page its file functions take: they become names.
void copy_block_arguments(const unsigned char* block, char** argv) {
  const std::uint32_t count = load_le32(block + 16);
  const char* text = reinterpret_cast<const char*>(block + kArgBlockStrings);
  for (std::uint32_t i = 0; i < count; ++i) {
    argv[i] = name_from_page(w32::GetOEMCP(), text);
    if (!argv[i]) startup_fail(kStartupFailure);
    text = next_entry(text);
  }
}

}  // namespace

// --- The argument block -------------------------------------------------------

bool arg_block_fits(const unsigned char* block, std::size_t size, std::uint32_t pid) {
  if (size < kArgBlockStrings || load_le32(block + 8) != pid) return false;
  std::size_t at = kArgBlockStrings;
  for (std::uint32_t count = load_le32(block + 16); count > 0; --count) {
    while (at < size && block[at] != '\0') ++at;
    if (at == size) return false;  // the string runs past the view
    ++at;
  }
  return true;
}

// --- The environment passes ------------------------------------------------------

bool tab_signal(const char* command_line) {
  while (*command_line != '\0' && *command_line != ' ' && *command_line != '\t') ++command_line;
  return *command_line == '\t';
}

EnvironmentScan scan_environment(const char* block) {
  EnvironmentScan scan;
  for (const char* entry = block; *entry; entry = next_entry(entry)) {
    if (entry[0] == '~') {
      ++scan.tilde_entries;
    } else if (entry[0] == '=') {
      // a drive's current directory: never in environ
    } else if (starts_with(entry, kArgBlockVariable)) {
      scan.arg_block = mapped_arg_block(entry + sizeof kArgBlockVariable - 1);
    } else {
      ++scan.entries;
      if (starts_with(entry, "PATH=")) scan.upper_path = entry;
      if (starts_with(entry, "Path=")) scan.mixed_path = entry;
    }
  }
  return scan;
}

char** build_environment(const char* block, const EnvironmentScan& scan, char** tilde_args) {
  auto** environment = static_cast<char**>(malloc(sizeof(char*) * (static_cast<std::size_t>(scan.entries) + 1)));
  if (!environment) return nullptr;
  int count = 0;
  for (const char* entry = block; *entry; entry = next_entry(entry)) {
    if (entry[0] == '~') {
      if (tilde_args) *tilde_args++ = copy_or_fail(entry + 1);
    } else if (entry[0] != '=' && !starts_with(entry, kArgBlockVariable) && !is_path_entry(entry)) {
      environment[count++] = copy_or_fail(entry);
    }
  }
  // The one path variable kept is named "PATH", whatever its spelling was.
  if (const char* path = scan.upper_path ? scan.upper_path : scan.mixed_path) {
    char* copy = copy_or_fail(path);
    memcpy(copy + 1, "ATH", 3);
    environment[count++] = copy;
  }
  environment[count] = nullptr;
  return environment;
}

// --- The quote rules of the command line ------------------------------------------

namespace {

// How the splitter reads a character of a command line.
enum class Reading {
  kBlank,         // a blank or tab outside quotes: it ends the word
  kQuote,         // a quote that opens or closes: dropped
  kEscapedQuote,  // a backslash and a double quote inside double quotes: one double quote
  kOrdinary,      // a character of the word
};

// Reads the character at `at` with `quote` the quote open before it ('"',
// '\'' or none), which it updates. An escaped quote takes two characters.
Reading read_character(const char* at, char& quote) {
  const char c = *at;
  if (!quote && (c == ' ' || c == '\t')) return Reading::kBlank;
  if (!quote && (c == '"' || c == '\'')) {
    quote = c;
    return Reading::kQuote;
  }
  if (quote && c == quote) {
    quote = '\0';
    return Reading::kQuote;
  }
  if (quote == '"' && c == '\\' && at[1] == '"') return Reading::kEscapedQuote;
  return Reading::kOrdinary;
}

// A character that marks a word outside quotes for expansion.
bool is_wildcard(char c) { return c == '*' || c == '?' || c == '['; }

}  // namespace

// --- Command-line splitting -------------------------------------------------------

int argv_append(glob_t* vector, const char* word) { return glob_add_path(vector, word); }

namespace {

// Hands a word, its quotes taken out, on to the vector: a word with an
// unquoted wildcard becomes the names that match it, unless a file or folder
// has exactly the word's name (report[2024].log is that file, never its
// look-alike report2.log); any other word goes in as it is. One look at the
// system for a wildcard word, none for another; a look that fails in any way
// leaves the word to the expansion. 0, or nonzero when memory is exhausted.
int add_word(const char* word, bool wild, glob_t* vector) {
  if (wild && !path_exists(word)) return glob(word, GLOB_APPEND | GLOB_NOCHECK, nullptr, vector);
  return argv_append(vector, word);
}

}  // namespace

char** split_command_line(const char* line, int* argc) {
  glob_t vector{0, static_cast<char**>(malloc(sizeof(char*) * 8)), 0, nullptr, 8};
  vector.gl_names = vector.gl_pathv;
  char* word = static_cast<char*>(malloc(strlen(line) + 1));  // no word is longer than the line
  if (!vector.gl_pathv || !word) startup_fail(kStartupFailure);
  for (const char* p = line;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') break;
    std::size_t length = 0;
    char quote = '\0';
    bool wild = false;
    for (; *p != '\0'; ++p) {
      const Reading reading = read_character(p, quote);
      if (reading == Reading::kBlank) break;
      if (reading == Reading::kEscapedQuote) {
        word[length++] = '"';
        ++p;
      } else if (reading == Reading::kOrdinary) {
        if (!quote && is_wildcard(*p)) wild = true;
        word[length++] = *p;
      }
    }
    word[length] = '\0';
    if (add_word(word, wild, &vector) != 0) startup_fail(kStartupFailure);
  }
  free(word);
  if (argv_append(&vector, nullptr) != 0) startup_fail(kStartupFailure);
  *argc = static_cast<int>(vector.gl_pathc) - 1;
  return vector.gl_pathv;
}

// --- The texts in the names' page -------------------------------------------------

namespace {

// A text of UTF-16 units (`units` with the zero unit or units that end it)
// in the names' page, newly allocated; null when memory is exhausted.
char* text_from_wide(const WCHAR* wide, int units) {
  const int size = name_from_wide(wide, units, nullptr, 0);
  char* text = size > 0 ? static_cast<char*>(malloc(static_cast<std::size_t>(size))) : nullptr;
  if (text && name_from_wide(wide, units, text, size) == size) return text;
  free(text);
  return nullptr;
}

}  // namespace

char* command_line_text(const WCHAR* line) {
  int units = 1;  // the end too
  while (line[units - 1]) ++units;
  return text_from_wide(line, units);
}

char* environment_text(const WCHAR* block) {
  const WCHAR* end = block;  // the empty entry that ends the block
  while (*end) {
    while (*end) ++end;
    ++end;
  }
  return text_from_wide(block, static_cast<int>(end - block) + 1);
}

// --- _main and the process entry -------------------------------------------------

void startup_fail(const char* message) {
  DWORD written;
  w32::WriteFile(w32::GetStdHandle(STD_ERROR_HANDLE), message, static_cast<DWORD>(strlen(message)), &written,
                 nullptr);
  exit_process(127);
}

void _main(ProgramMain program) {
  if (fd_init() != 0) startup_fail(kStartupFailure);
  // The words and the environment come as they were typed or set, every
  // character kept: a name names the file it shows.
  char* command_line = command_line_text(w32::GetCommandLineW());
  if (!command_line) startup_fail(kStartupFailure);
  int signal = tab_signal(command_line) ? 1 : 0;

  // Both passes read the one block: the first one sizes the vector the
  // second one fills. The system makes the block for the caller, so a
  // failure means no memory.
  WCHAR* wide_block = w32::GetEnvironmentStringsW();
  char* block = wide_block ? environment_text(wide_block) : nullptr;
  if (wide_block) w32::FreeEnvironmentStringsW(wide_block);
  if (!block) startup_fail(kStartupFailure);
  const EnvironmentScan scan = scan_environment(block);
  if (scan.arg_block) ++signal;
  const bool block_passing = signal != 0 && scan.arg_block;
  const bool tilde_passing = signal != 0 && !block_passing && scan.tilde_entries > 0;

  int argc = 0;
  char** argv = nullptr;
  if (block_passing || tilde_passing) {
    w32::SetErrorMode(w32::SetErrorMode(0) | SEM_NOGPFAULTERRORBOX);
    argc = block_passing ? static_cast<int>(load_le32(scan.arg_block + 16)) : scan.tilde_entries;
    argv = static_cast<char**>(malloc(sizeof(char*) * (static_cast<std::size_t>(argc) + 1)));  // ends null
    if (!argv) startup_fail(kStartupFailure);
    if (block_passing) copy_block_arguments(scan.arg_block, argv);
  }

  // environ is complete before the command line is split: expansion reads DUALCASE.
  environ = build_environment(block, scan, tilde_passing ? argv : nullptr);
  if (!environ) startup_fail(kStartupFailure);
  free(block);

  if (!argv) argv = split_command_line(command_line, &argc);
  free(command_line);
  exit(program(argc, argv, environ));
}

namespace {

// The entry's exception filter: an exception nobody handled ends the
// process with its code, and no exit hook runs.
LONG end_with_exception(EXCEPTION_POINTERS* exception) { exit_process(exception->ExceptionRecord->ExceptionCode); }

}  // namespace

void process_entry(ProgramMain program) {
  w32::SetUnhandledExceptionFilter(end_with_exception);
  _main(program);
}

}  // namespace rt
