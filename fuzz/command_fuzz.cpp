// Fuzzing the command against a model of its output modes. The input: its
// first byte modulo 8 is the number of arguments, which follow, each ended
// by a zero byte; the bytes left are the content. Each input runs twice:
// once with the content on standard input, a pipe, and the arguments as
// they are; once with the content also in the file "input", whose name is
// added as the last argument. The properties:
// - no crash, no sanitizer report, no hang;
// - status 0 with one input and no header: standard output is the model's
//   for the options the command took and the input it read: the last or
//   first lines or bytes of the content, as text-mode reading gives it (not
//   for byte units read from a file), with text-mode line ends on output for
//   line units;
// - status 1: a byte count out of range, memory refused, a negative count
//   from the end of a pipe, or a name that could not be opened;
// - status 2: the usage text on standard error, nothing on standard output.
// Allocations above 64 MiB are refused as a smaller machine would refuse
// them. Following ends the run at its first pause.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/msg/heap.h"
#include "runtime/msg/stdlib.h"
#include "runtime/startup/exit.h"
#include "runtime/stdio/stream.h"
#include "runtime/string.h"
#include "runtime/win32/fd.h"
#include "tail/tail.h"

namespace {

constexpr SIZE_T kHeapLimit = SIZE_T{64} << 20;
// The input file, as the command is given it and as it asks the system for it.
std::string g_input_name;
std::string g_input_full_path;
// The standard handles: a pipe that serves the content, and two that collect.
HANDLE const kIn = reinterpret_cast<HANDLE>(std::uintptr_t{0x7110});
HANDLE const kOut = reinterpret_cast<HANDLE>(std::uintptr_t{0x7120});
HANDLE const kErr = reinterpret_cast<HANDLE>(std::uintptr_t{0x7130});

struct Ended {
  unsigned status;
};

// What one run saw.
struct Run {
  std::string_view unread;  // what standard input still serves
  std::string out, err;
  bool collecting = true;
  bool refused = false;      // an allocation was refused
  bool opened_file = false;  // the input file was opened
  bool open_failed = false;  // another name was asked for
  bool following = false;    // the run ended at the first pause of following
};
Run g_run;

rt::Stream g_pristine[3];
unsigned g_pristine_default_mode;
char* g_no_environment[] = {nullptr};
char g_tail[] = "tail";

bool standard(HANDLE handle) { return handle == kIn || handle == kOut || handle == kErr; }

BOOL read(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped) {
  if (file != kIn) return ::ReadFile(file, buffer, to_read, done, overlapped);
  *done = static_cast<DWORD>(std::min<std::size_t>(to_read, g_run.unread.size()));
  rt::memcpy(buffer, g_run.unread.data(), *done);
  g_run.unread.remove_prefix(*done);
  if (*done > 0) return TRUE;
  ::SetLastError(ERROR_BROKEN_PIPE);  // the writer has gone
  return FALSE;
}

BOOL write(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD done, LPOVERLAPPED overlapped) {
  if (file != kOut && file != kErr) return ::WriteFile(file, buffer, to_write, done, overlapped);
  if (g_run.collecting) (file == kOut ? g_run.out : g_run.err).append(static_cast<const char*>(buffer), to_write);
  *done = to_write;
  return TRUE;
}

// True when an allocation of this size is refused (the last error is then set).
bool refuse(SIZE_T bytes) {
  if (bytes <= kHeapLimit) return false;
  g_run.refused = true;
  ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return true;
}

LPVOID allocate(HANDLE heap, DWORD flags, SIZE_T bytes) {
  return refuse(bytes) ? nullptr : ::HeapAlloc(heap, flags, bytes);
}

LPVOID reallocate(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  return refuse(bytes) ? nullptr : ::HeapReAlloc(heap, flags, block, bytes);
}

HANDLE create(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
              DWORD attributes, HANDLE template_file) {
  if (name == g_input_full_path) {
    g_run.opened_file = true;
    return ::CreateFileA(name, access, share, security, disposition, attributes, template_file);
  }
  g_run.open_failed = true;  // no other file, device or console is there
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

void install_replacements() {
  auto& r = w32::hook::replacements;
  r.GetStdHandle = [](DWORD which) -> HANDLE {
    return which == STD_INPUT_HANDLE ? kIn : which == STD_OUTPUT_HANDLE ? kOut : kErr;
  };
  r.ReadFile = read;
  r.WriteFile = write;
  r.GetFileType = [](HANDLE file) -> DWORD { return standard(file) ? FILE_TYPE_PIPE : ::GetFileType(file); };
  r.GetConsoleMode = [](HANDLE console, LPDWORD mode) -> BOOL {
    if (!standard(console)) return ::GetConsoleMode(console, mode);
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  };
  r.GetFileInformationByHandle = [](HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) -> BOOL {
    if (!standard(file)) return ::GetFileInformationByHandle(file, info);
    ::SetLastError(ERROR_INVALID_FUNCTION);  // a pipe has no file information
    return FALSE;
  };
  r.SetFilePointer = [](HANDLE file, LONG distance, PLONG high, DWORD method) -> DWORD {
    if (!standard(file)) return ::SetFilePointer(file, distance, high, method);
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return INVALID_SET_FILE_POINTER;
  };
  r.CloseHandle = [](HANDLE object) -> BOOL { return standard(object) || ::CloseHandle(object); };
  r.DuplicateHandle = [](HANDLE process, HANDLE source, HANDLE target_process, HANDLE* target, DWORD access,
                         BOOL inherit, DWORD options) -> BOOL {
    if (!standard(source)) return ::DuplicateHandle(process, source, target_process, target, access, inherit, options);
    *target = source;
    return TRUE;
  };
  r.CreateFileA = create;
  r.GetFileAttributesA = [](LPCSTR) -> DWORD { return INVALID_FILE_ATTRIBUTES; };  // no catalogue anywhere
  r.HeapAlloc = allocate;
  r.HeapReAlloc = reallocate;
  r.ExitProcess = [](UINT status) { throw Ended{status}; };
  r.Sleep = [](DWORD milliseconds) {
    if (milliseconds == 0) return;
    g_run.following = true;  // following has begun
    throw Ended{0};
  };
}

// Runs the command with these arguments: its exit status.
unsigned run_command(std::vector<std::string> words, std::string_view content) {
  g_run = Run{};
  g_run.unread = content;
  tail::options = tail::TailOptions{};
  for (int i = 0; i < 3; ++i) rt::stream_table[i] = g_pristine[i];
  rt::stream_default_mode = g_pristine_default_mode;
  rt::line_flush_pending = 0;
  rt::stream_exit_hook = nullptr;
  rt::free(rt::fd_table);
  if (rt::fd_init() != 0) __builtin_trap();

  words.insert(words.begin(), "tail");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  unsigned status;
  try {
    rt::exit(tail::main(static_cast<int>(words.size()), argv.data(), rt::environ));
  } catch (const Ended& ended) {
    status = ended.status;
  }
  // After following began, the exit path still closes the streams the run
  // opened, and here the descriptors that follow mode kept are closed too.
  g_run.collecting = false;
  try {
    rt::exit(0);
  } catch (const Ended&) {
  }
  for (int fd = 3; fd < rt::fd_count; ++fd) {
    if (rt::fd_table[fd] != nullptr) rt::close(fd);
  }
  return status;
}

// Text-mode reading: every 0x1A dropped, then CR LF read as LF.
std::string read_as_text(std::string bytes) {
  std::erase(bytes, '\x1a');
  for (std::size_t at = 0; (at = bytes.find("\r\n", at)) != std::string::npos;) bytes.erase(at, 1);
  return bytes;
}

std::string written_as_text(const std::string& bytes) {
  std::string text;
  for (const char c : bytes) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return text;
}

// What the command must write for the options it took, or no value when it
// must fail with status 1.
std::optional<std::string> model(const std::string& content, bool from_file) {
  const tail::TailOptions& o = tail::options;
  const bool bytes = o.unit >= 1 && o.unit <= 4;
  const std::string data =
      w32::kTextModeByDefault && !(bytes && from_file) ? read_as_text(content) : content;
  const auto length = static_cast<std::int64_t>(data.size());
  if (bytes) {
    constexpr std::int64_t kSize[] = {0, 512, 1, 1024, 1048576};
    if (o.count > 2147483647 / kSize[o.unit]) return std::nullopt;
    const std::int64_t offset = o.count * kSize[o.unit];
    if (o.from_end == 0) {
      const std::int64_t start = std::max<std::int64_t>(offset - (offset != 0), 0);
      return data.substr(static_cast<std::size_t>(std::min(start, length)));
    }
    if (offset < 0) {
      if (!from_file) return std::nullopt;  // a ring of a negative size
      return std::string();                 // a start beyond the end
    }
    // More than there is: a seek before the start leaves a file at its
    // start, and a ring keeps all of a pipe.
    return data.substr(static_cast<std::size_t>(offset > length ? 0 : length - offset));
  }
  std::size_t start = 0;
  if (o.from_end == 0) {
    for (std::int32_t skip = o.count > 0 ? o.count - 1 : 0; skip > 0; --skip) {  // +1 and +0: the first
      const std::size_t feed = data.find('\n', start);
      if (feed == std::string::npos) return std::string();  // no such line
      start = feed + 1;
    }
  } else if (o.count == 0) {
    return std::string();
  } else if (o.count < 0) {
    if (!from_file) return std::nullopt;  // a ring of no slots
  } else {
    // The start follows the count + 1st line feed from the end.
    std::int64_t needed = std::int64_t{o.count} + 1;
    for (std::size_t at = data.size(); at > 0; --at) {
      if (data[at - 1] == '\n' && --needed == 0) {
        start = at;
        break;
      }
    }
  }
  const std::string result = data.substr(start);
  return w32::kTextModeByDefault ? written_as_text(result) : result;
}

void check(const std::vector<std::string>& words, const std::string& content, bool with_file) {
  std::vector<std::string> arguments = words;
  if (with_file) arguments.push_back(g_input_name);
  const unsigned status = run_command(arguments, content);
  const bool from_file = g_run.opened_file;
  if (status == 2) {
    if (!g_run.out.empty() || g_run.err.find("Usage: tail") == std::string::npos) __builtin_trap();
    return;
  }
  if (status != 0 && status != 1) __builtin_trap();
  if (g_run.open_failed) {
    // An operand was some other name: status 1, unless following began
    // (the status is then the one the process will end with).
    if (status != 1 && !g_run.following) __builtin_trap();
    return;
  }
  // The options again, and the operands after them: the model knows one
  // input written without a header.
  std::vector<char*> argv{g_tail};
  for (std::string& word : arguments) argv.push_back(word.data());
  tail::options = tail::TailOptions{};
  const int first = tail::parse_options(static_cast<int>(argv.size()), argv.data());
  if (static_cast<int>(argv.size()) - first > 1 || tail::options.headers == 1) return;
  const std::optional<std::string> expected = model(content, from_file);
  if (status == 1) {
    if (expected && !g_run.refused) __builtin_trap();
    if (g_run.err.empty()) __builtin_trap();
    return;
  }
  if (!expected || g_run.out != *expected) __builtin_trap();
}

}  // namespace

// Each run with standard input keeps its input's name until the end of the
// process, as the program does; here the process goes on.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("tail-command-fuzz-" + std::to_string(::GetCurrentProcessId()));
  std::filesystem::create_directories(directory);
  std::atexit([] { std::filesystem::remove_all(directory); });
  g_input_name = (directory / "input").string();
  char full_path[4096];
  LPSTR file_part;
  const DWORD length = ::GetFullPathNameA(g_input_name.c_str(), sizeof full_path, full_path, &file_part);
  if (length == 0 || length >= sizeof full_path) __builtin_trap();
  g_input_full_path = full_path;
  for (int i = 0; i < 3; ++i) g_pristine[i] = rt::stream_table[i];
  g_pristine_default_mode = rt::stream_default_mode;
  rt::environ = g_no_environment;
  install_replacements();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> words;
  std::size_t at = 0;
  for (unsigned n = data[0] % 8; n > 0 && at < input.size(); --n) {
    const std::size_t end = std::min(input.find('\0', at), input.size());
    words.push_back(input.substr(at, end - at));
    at = end + 1;
  }
  const std::string content = at < input.size() ? input.substr(at) : std::string();
  {
    std::ofstream file(g_input_name, std::ios::binary | std::ios::trunc);
    file << content;
  }
  check(words, content, false);
  check(words, content, true);
  return 0;
}
