// The in-process command run of the fuzz targets, and the model of the part of one input the command writes.
#include "fuzz/harness.h"
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "runtime/msg/heap.h"
#include "runtime/msg/stdlib.h"
#include "runtime/startup/exit.h"
#include "runtime/stdio/stream.h"
#include "runtime/string.h"
#include "runtime/win32/fd.h"
#include "tail/tail.h"

namespace harness {
Run run;
namespace {
// No input comes near this: a block above it is memory taken for a count rather than for what is kept, a finding.
constexpr SIZE_T kHeapLimit = SIZE_T{64} << 20;
// The standard handles: a pipe that serves the input, and two that collect.
HANDLE const kIn = reinterpret_cast<HANDLE>(std::uintptr_t{0x7110});
HANDLE const kOut = reinterpret_cast<HANDLE>(std::uintptr_t{0x7120});
HANDLE const kErr = reinterpret_cast<HANDLE>(std::uintptr_t{0x7130});
rt::Stream g_pristine[3];
unsigned g_pristine_default_mode;
char* g_no_environment[] = {nullptr};
SIZE_T checked(SIZE_T bytes) {
  if (bytes > kHeapLimit) __builtin_trap();
  return bytes;
}
}  // namespace
bool standard(HANDLE handle) { return handle == kIn || handle == kOut || handle == kErr; }
HANDLE create_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE template_file) {
  HANDLE handle = ::CreateFileW(name, access, share, security, disposition, attributes, template_file);
  if (handle != INVALID_HANDLE_VALUE) run.handles.insert(handle);
  return handle;
}
BOOL read(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped) {
  if (file != kIn) return ::ReadFile(file, buffer, to_read, done, overlapped);
  *done = static_cast<DWORD>(std::min<std::size_t>(to_read, run.unread.size()));
  rt::memcpy(buffer, run.unread.data(), *done);
  run.unread.remove_prefix(*done);
  return *done > 0 ? TRUE : failing<BOOL>(ERROR_BROKEN_PIPE, FALSE);  // none: the writer has gone
}
void install() {
#ifndef _WIN32
  ::setenv("LC_ALL", "C.UTF-8", 1);  // the emulation's console page follows the locale: UTF-8
#endif
  for (int i = 0; i < 3; ++i) g_pristine[i] = rt::stream_table[i];
  g_pristine_default_mode = rt::stream_default_mode;
  rt::environ = g_no_environment;
  auto& r = w32::hook::replacements;
  r.GetStdHandle = [](DWORD which) -> HANDLE {
    return which == STD_INPUT_HANDLE ? kIn : which == STD_OUTPUT_HANDLE ? kOut : kErr;
  };
  r.ReadFile = read;
  // What standard output and standard error get is collected, unless standard output's disk is full.
  r.WriteFile = [](HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD done, LPOVERLAPPED overlapped) -> BOOL {
    if (file != kOut && file != kErr) return ::WriteFile(file, buffer, to_write, done, overlapped);
    if (file == kOut && run.full) {
      *done = 0;
      ::SetLastError(ERROR_DISK_FULL);
      return FALSE;
    }
    if (run.collecting) (file == kOut ? run.out : run.err).append(static_cast<const char*>(buffer), to_write);
    *done = to_write;
    return TRUE;
  };
  r.GetFileType = [](HANDLE file) -> DWORD { return standard(file) ? FILE_TYPE_PIPE : ::GetFileType(file); };
  r.GetConsoleMode = [](HANDLE console, LPDWORD mode) -> BOOL {
    return standard(console) ? failing<BOOL>(ERROR_INVALID_HANDLE, FALSE) : ::GetConsoleMode(console, mode);
  };
  r.GetFileInformationByHandle = [](HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) -> BOOL {
    // A pipe has no file information.
    return standard(file) ? failing<BOOL>(ERROR_INVALID_FUNCTION, FALSE) : ::GetFileInformationByHandle(file, info);
  };
  r.SetFilePointer = [](HANDLE file, LONG distance, PLONG high, DWORD method) -> DWORD {
    if (!standard(file)) return ::SetFilePointer(file, distance, high, method);
    return failing<DWORD>(ERROR_INVALID_FUNCTION, INVALID_SET_FILE_POINTER);
  };
  r.CreateFileW = create_file;
  r.CloseHandle = [](HANDLE object) -> BOOL {
    if (standard(object)) return TRUE;
    run.handles.erase(object);
    return ::CloseHandle(object);
  };
  r.DuplicateHandle = [](HANDLE process, HANDLE source, HANDLE target_process, HANDLE* target, DWORD access,
                         BOOL inherit, DWORD options) -> BOOL {
    if (standard(source)) {
      *target = source;
      return TRUE;
    }
    const BOOL done = ::DuplicateHandle(process, source, target_process, target, access, inherit, options);
    if (done) run.handles.insert(*target);
    return done;
  };
  r.GetFileAttributesW = [](LPCWSTR) -> DWORD { return INVALID_FILE_ATTRIBUTES; };  // no catalogue anywhere
  r.HeapAlloc = [](HANDLE heap, DWORD flags, SIZE_T bytes) { return ::HeapAlloc(heap, flags, checked(bytes)); };
  r.HeapReAlloc = [](HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
    return ::HeapReAlloc(heap, flags, block, checked(bytes));
  };
  r.ExitProcess = [](UINT status) { throw Ended{status}; };
  // No process runs beside the harness: --pid never waits.
  r.OpenProcess = [](DWORD, BOOL, DWORD) { return failing<HANDLE>(ERROR_INVALID_PARAMETER, nullptr); };
  // Ctrl+C ends the fuzzer as it would without tail: following's handler, which would end a run, is never called.
  r.SetConsoleCtrlHandler = [](PHANDLER_ROUTINE, BOOL) -> BOOL { return TRUE; };
}
std::string scratch_directory(const char* target) {
  static const std::filesystem::path directory =
      std::filesystem::temp_directory_path() /
      ("tail-" + std::string(target) + "-fuzz-" + std::to_string(::GetCurrentProcessId()));
  std::filesystem::create_directories(directory);
  std::atexit([] { std::filesystem::remove_all(directory); });
  return directory.string();
}
std::string full_path(const std::string& name) {
  WCHAR path[4096];
  LPWSTR file_part;
  const DWORD length = ::GetFullPathNameW(reinterpret_cast<LPCWSTR>(widen(name).c_str()), 4096, path, &file_part);
  if (length == 0 || length >= 4096) __builtin_trap();
  return narrow(path);
}
std::string narrow(LPCWSTR name) {
  std::string bytes;
  for (; *name; ++name) bytes += static_cast<char>(*name);
  return bytes;
}
std::u16string widen(const std::string& name) {
  std::u16string units;
  for (const char byte : name) units += static_cast<char16_t>(static_cast<unsigned char>(byte));
  return units;
}
unsigned run_command(std::vector<std::string> words, std::string_view input, bool text) {
  run = Run{};
  run.unread = input;
  tail::options = tail::TailOptions{};
  for (int i = 0; i < 3; ++i) {
    rt::stream_table[i] = g_pristine[i];
    if (text) rt::stream_table[i].flags |= rt::STREAM_TEXT;
  }
  rt::stream_default_mode = g_pristine_default_mode | (text ? rt::STREAM_TEXT : 0u);
  rt::line_flush_pending = 0;
  rt::stream_exit_hook = nullptr;
  rt::free(rt::fd_table);
  if (rt::fd_init() != 0) __builtin_trap();
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  unsigned status;
  try {
    rt::exit(tail::main(static_cast<int>(words.size()), argv.data(), rt::environ));
  } catch (const Ended& ended) {
    status = ended.status;
  }
  // After following began the exit path still closes the run's streams; the descriptors follow mode kept go here.
  run.collecting = false;
  try {
    rt::exit(0);
  } catch (const Ended&) {
  }
  for (int fd = 3; fd < rt::fd_count; ++fd) {
    if (rt::fd_table[fd] != nullptr) rt::close(fd);
  }
  if (!run.handles.empty()) __builtin_trap();
  return status;
}
std::string in_output_page(const std::string& utf8) {
  static const UINT page = w32::GetConsoleOutputCP() != 0 ? w32::GetConsoleOutputCP() : w32::GetOEMCP();
  if (page == CP_UTF8 || utf8.empty()) return utf8;
  const auto bytes = static_cast<int>(utf8.size());
  std::basic_string<WCHAR> units(utf8.size(), 0);
  units.resize(static_cast<std::size_t>(w32::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), bytes, units.data(), bytes)));
  std::string text(units.size(), '\0');
  const auto length = static_cast<int>(units.size());
  text.resize(static_cast<std::size_t>(
      w32::WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, units.data(), length, text.data(), length, "?", nullptr)));
  return text;
}
std::int64_t unit_size(char unit) {
  return unit == 'b' ? 512 : unit == 'c' ? 1 : unit == 'k' ? 1024 : unit == 'm' ? 1048576 : 0;
}
std::optional<std::string> part_of(const std::string& content, bool from_file, const Selection& s, bool text,
                                   bool followed) {
  const std::int64_t size = unit_size(s.unit);
  const Encoding encoding = size != 0 ? Encoding::kBytes : encoding_of(content, followed);
  if (encoding == Encoding::kUndecided) return "";
  if (is_utf16(encoding)) {
    // Its characters in UTF-8, whose bytes no mark begins: their lines are 8-bit text's.
    std::string cut;
    const std::string decoded = from_utf16(std::string_view(content).substr(2), encoding == Encoding::kUtf16Be,
                                           followed ? &cut : nullptr);
    const std::optional<std::string> part = part_of(decoded, from_file, s, text);
    return part ? std::optional<std::string>(in_output_page(*part)) : std::nullopt;
  }
  const std::string data = text && size == 0 ? read_as_text(content) : content;  // bytes are read as they are
  const auto length = static_cast<std::int64_t>(data.size());
  if (size != 0) {
    constexpr std::int64_t kLargest = 9223372036854775807;
    if (s.count > kLargest / size || s.count < -(kLargest / size)) return std::nullopt;  // too many bytes
    const std::int64_t bytes = s.count * size;
    if (s.from_start) return data.substr(static_cast<std::size_t>(std::clamp<std::int64_t>(bytes - 1, 0, length)));
    if (bytes < 0) return from_file ? std::optional<std::string>("") : std::nullopt;  // nothing kept of a pipe
    return data.substr(static_cast<std::size_t>(length - std::min(bytes, length)));
  }
  // Where each line ended by a line feed begins; an unended last line comes with the lines before it.
  std::vector<std::size_t> starts = {0};
  for (std::size_t at = 0; (at = data.find('\n', at)) != std::string::npos;) starts.push_back(++at);
  const auto ended = static_cast<std::int64_t>(starts.size()) - 1;
  if (s.from_start) {  // +0 and +1: from the first line
    const std::int64_t skipped = s.count > 0 ? s.count - 1 : 0;
    return skipped > ended ? "" : data.substr(starts[static_cast<std::size_t>(skipped)]);
  }
  if (s.count < 0) return from_file ? std::optional<std::string>(data) : std::nullopt;  // nothing kept of a pipe
  if (s.count == 0) return "";
  return data.substr(s.count >= ended ? 0 : starts[static_cast<std::size_t>(ended - s.count)]);
}
}  // namespace harness

// A run keeps what the program keeps until its process ends (the name of standard input, the followed inputs).
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
