// Fuzzing the command against a model of its output modes. The input: its
// first byte modulo 8 is the number of arguments, which follow, each ended
// by a zero byte; the bytes left are the content. The arguments come after
// the program name "tail", or with bit 3 of the first byte set without it:
// the first of them is then the program name, and with none argc is 0. Each
// input runs twice: once with the content on standard input, a pipe, and
// the arguments as they are; once with the content also in the file
// "input", whose name is added as the last argument. The properties:
// - no crash, no sanitizer report, no hang;
// - status 0 with one input and no header: standard output is the model's
//   for the options the command took and the input it read: the last or
//   first lines or bytes of the content, as text-mode reading gives it (not
//   for byte units read from a file), with text-mode line ends on output for
//   line units; with no operand (argc 0 included) the input is standard input;
// - status 1: a byte count out of range, memory refused, a negative count
//   from the end of a pipe, or a name that could not be opened;
// - status 2: the usage text on standard error, nothing on standard output.
// Allocations above 64 MiB are refused (fuzz/harness.h). Following ends the
// run at its first pause.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/harness.h"

namespace {

// The input file, as the command is given it and as it asks the system for it.
std::string g_input_name;
std::string g_input_full_path;
bool g_opened_file = false;  // the input file was opened
bool g_open_failed = false;  // another name was asked for
bool g_following = false;    // the run ended at the first pause of following

// CreateFileA: only the input file is there.
HANDLE create(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
              DWORD attributes, HANDLE template_file) {
  if (name == g_input_full_path) {
    g_opened_file = true;
    return ::CreateFileA(name, access, share, security, disposition, attributes, template_file);
  }
  g_open_failed = true;  // no other file, device or console is there
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

// What the command must write for the options it took, or no value when it
// must fail with status 1.
std::optional<std::string> model(const std::string& content, bool from_file) {
  const std::optional<std::string> part = harness::part_of(content, from_file);
  const bool lines = tail::options.unit == 0 || tail::options.unit == 5;
  return part && lines && w32::kTextModeByDefault ? harness::written_as_text(*part) : part;
}

// Runs the command with these words and the content on standard input, and
// holds what it did to the model.
void check(std::vector<std::string> words, const std::string& content) {
  g_opened_file = g_open_failed = g_following = false;
  const unsigned status = harness::run_command(words, content);
  const harness::Run& run = harness::run;
  if (status == 2) {
    if (!run.out.empty() || run.err.find("Usage: tail") == std::string::npos) __builtin_trap();
    return;
  }
  if (status != 0 && status != 1) __builtin_trap();
  // The options again, and the operands after them.
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  tail::options = tail::TailOptions{};
  const int argc = static_cast<int>(words.size());
  const int operands = argc - tail::parse_options(argc, argv.data());
  if (g_open_failed) {
    // An operand was some other name (with none, standard input is read):
    // status 1, unless following began (the status is then the one the
    // process will end with).
    if (operands < 1 || (status != 1 && !g_following)) __builtin_trap();
    return;
  }
  // The model knows one input written without a header.
  if (operands > 1 || tail::options.headers == 1) return;
  const std::optional<std::string> expected = model(content, g_opened_file);
  if (status == 1) {
    if (expected && !run.refused) __builtin_trap();
    if (run.err.empty()) __builtin_trap();
    return;
  }
  if (!expected || run.out != *expected) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_input_name = harness::scratch_directory("command") + "/input";
  g_input_full_path = harness::full_path(g_input_name);
  harness::install();
  w32::hook::replacements.CreateFileA = create;
  w32::hook::replacements.Sleep = [](DWORD milliseconds) {
    if (milliseconds == 0) return;
    g_following = true;  // following has begun
    throw harness::Ended{0};
  };
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
  check(words, content);
  words.push_back(g_input_name);
  check(words, content);
  return 0;
}
