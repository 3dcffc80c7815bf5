// The in-process command run of the fuzz targets, and the model of the part of one input the command writes.
#include "fuzz/harness.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>

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

constexpr SIZE_T kHeapLimit = SIZE_T{64} << 20;
// The standard handles: a pipe that serves the input, and two that collect.
HANDLE const kIn = reinterpret_cast<HANDLE>(std::uintptr_t{0x7110});
HANDLE const kOut = reinterpret_cast<HANDLE>(std::uintptr_t{0x7120});
HANDLE const kErr = reinterpret_cast<HANDLE>(std::uintptr_t{0x7130});

rt::Stream g_pristine[3];
unsigned g_pristine_default_mode;
char* g_no_environment[] = {nullptr};

// True when an allocation of this size is refused (the last error is then set).
bool refuse(SIZE_T bytes) {
  if (bytes <= kHeapLimit) return false;
  run.refused = true;
  ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return true;
}

}  // namespace

bool standard(HANDLE handle) { return handle == kIn || handle == kOut || handle == kErr; }

HANDLE create_file(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE template_file) {
  HANDLE handle = ::CreateFileA(name, access, share, security, disposition, attributes, template_file);
  if (handle != INVALID_HANDLE_VALUE) run.handles.insert(handle);
  return handle;
}

BOOL read(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped) {
  if (file != kIn) return ::ReadFile(file, buffer, to_read, done, overlapped);
  *done = static_cast<DWORD>(std::min<std::size_t>(to_read, run.unread.size()));
  rt::memcpy(buffer, run.unread.data(), *done);
  run.unread.remove_prefix(*done);
  if (*done > 0) return TRUE;
  ::SetLastError(ERROR_BROKEN_PIPE);  // the writer has gone
  return FALSE;
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
  r.CreateFileA = create_file;
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
  r.GetFileAttributesA = [](LPCSTR) -> DWORD { return INVALID_FILE_ATTRIBUTES; };  // no catalogue anywhere
  r.HeapAlloc = [](HANDLE heap, DWORD flags, SIZE_T bytes) -> LPVOID {
    return refuse(bytes) ? nullptr : ::HeapAlloc(heap, flags, bytes);
  };
  r.HeapReAlloc = [](HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) -> LPVOID {
    return refuse(bytes) ? nullptr : ::HeapReAlloc(heap, flags, block, bytes);
  };
  r.ExitProcess = [](UINT status) { throw Ended{status}; };
  r.OpenProcess = [](DWORD, BOOL, DWORD) -> HANDLE {  // no process runs beside the harness: --pid never waits
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  };
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
  char path[4096];
  LPSTR file_part;
  const DWORD length = ::GetFullPathNameA(name.c_str(), sizeof path, path, &file_part);
  if (length == 0 || length >= sizeof path) __builtin_trap();
  return path;
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

unsigned output_page() {
  static const unsigned page = [] {
    const UINT console = w32::GetConsoleOutputCP();
    const UINT chosen = console != 0 ? console : w32::GetOEMCP();
    if (chosen != CP_UTF8 && chosen != 437) {
      std::cerr << "the model knows the output pages 65001 and 437, not " << chosen << "\n";
      std::abort();
    }
    return chosen;
  }();
  return page;
}

std::string in_output_page(const std::string& utf8) {
  if (output_page() == CP_UTF8) return utf8;
  // The characters of bytes 80 to FF of page 437.
  static constexpr std::uint16_t kUpper[128] = {
      0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC,
      0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2,
      0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310,
      0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
      0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C,
      0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
      0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF,
      0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
      0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2,
      0x25A0, 0x00A0};
  std::string text;
  for (std::size_t at = 0; at < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) c = c << 6 | (static_cast<unsigned char>(utf8[at + i]) & 0x3F);
    at += length;
    const std::uint16_t* found = std::find(kUpper, kUpper + 128, c);
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else if (found != kUpper + 128) {
      text += static_cast<char>(0x80 + (found - kUpper));
    } else {
      text.append(c > 0xFFFF ? 2 : 1, '?');
    }
  }
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
    if (s.count > 9223372036854775807 / size) return std::nullopt;  // beyond the largest byte count
    const std::int64_t bytes = s.count * size;
    if (s.from_start) return data.substr(static_cast<std::size_t>(std::clamp<std::int64_t>(bytes - 1, 0, length)));
    if (bytes < 0) return from_file ? std::optional<std::string>("") : std::nullopt;  // no ring of that size
    return data.substr(static_cast<std::size_t>(length - std::min(bytes, length)));
  }
  // Where each line ended by a line feed begins; an unended last line comes with the lines before it.
  std::vector<std::size_t> starts = {0};
  for (std::size_t at = 0; (at = data.find('\n', at)) != std::string::npos;) starts.push_back(++at);
  const auto ended = static_cast<std::int64_t>(starts.size()) - 1;
  if (s.from_start) {  // +0 and +1: from the first line
    const std::int64_t skipped = std::max<std::int64_t>(s.count - 1, 0);
    return skipped > ended ? "" : data.substr(starts[static_cast<std::size_t>(skipped)]);
  }
  // No ring of that size: a count below 0, or one whose slots of 2048 bytes no address space holds.
  if (s.count < 0 || (!from_file && static_cast<std::uint64_t>(s.count) >= SIZE_MAX / 2048)) {
    return from_file ? std::optional<std::string>(data) : std::nullopt;
  }
  if (s.count == 0) return "";
  return data.substr(s.count >= ended ? 0 : starts[static_cast<std::size_t>(ended - s.count)]);
}

}  // namespace harness

// A run keeps what the program keeps until its process ends (the name of standard input, the followed inputs).
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
