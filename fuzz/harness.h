// The command run in process for the fuzz targets: standard input a pipe serving a given text, standard output and
// error collected, an allocation above 64 MiB a finding, the end of the process caught. And the model of text mode and
// of the part of an input written.
#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "winapi/winapi.h"

namespace harness {
struct Ended {  // thrown where the process would end: by exit, or by a replaced pause
  unsigned status;
};
struct Run {  // what one run saw
  std::string_view unread;  // what standard input still serves
  std::string out, err;
  bool collecting = true;    // standard output and error are kept
  bool full = false;         // standard output refuses writes: the disk is full
  std::set<HANDLE> handles;  // what the command opened (CreateFileW, DuplicateHandle) and has not closed
};
extern Run run;

// Puts in place the replacements of the standard handles, the heap and the end; a target adds its files' own.
void install();
// A directory of the process's own for a target's files (one a process), removed at exit.
std::string scratch_directory(const char* target);
// The name CreateFileW is given when the command opens `name`, as the bytes its units stand for.
std::string full_path(const std::string& name);
// The bytes the units of a name given to a wide function stand for (one each), and back.
std::string narrow(LPCWSTR name);
std::u16string widen(const std::string& name);
bool standard(HANDLE handle);
// A failing call's end: the last error set, the result returned.
template <typename T>
T failing(DWORD error, T result) {
  ::SetLastError(error);
  return result;
}
// The system's CreateFileW, its handle counted among the command's until closed (for a target's replacement).
HANDLE create_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE template_file);
// ReadFile of standard input, the system's for other handles.
BOOL read(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped);
// The exit status of the command with these words (none: argc 0) and input; then every descriptor is closed, and with
// it every handle the command opened (the end of the process closes the rest: it must hold none). `text`: streams are
// text streams by default and the standard streams text streams, as on Windows (where they always are).
unsigned run_command(std::vector<std::string> words, std::string_view input, bool text);

// Text-mode reading: every 0x1A dropped, then CR LF read as LF.
inline std::string read_as_text(const std::string& bytes) {
  std::string text;
  for (const char c : bytes) {
    if (c == '\x1a') continue;
    if (c == '\n' && text.ends_with('\r')) {
      text.back() = '\n';
    } else {
      text += c;
    }
  }
  return text;
}
// Text-mode writing: LF written as CR LF.
inline std::string written_as_text(const std::string& bytes) {
  std::string text;
  for (const char c : bytes) {
    if (c == '\n') text += '\r';
    text += c;
  }
  return text;
}

// The encodings the command tells apart by an input's first bytes when it counts lines: UTF-16 after the mark FF FE
// (little-endian) or FE FF (big-endian), which it reads as characters; else 8-bit text, read as its bytes (UTF-8
// after EF BB BF too, the mark with them). Undecided while all the bytes are the beginning of a mark and more may come.
enum class Encoding { kUndecided, kBytes, kUtf16Le, kUtf16Be };
inline Encoding encoding_of(std::string_view first, bool more) {
  static constexpr std::string_view kMarks[] = {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};
  static constexpr Encoding kEncodings[] = {Encoding::kBytes, Encoding::kUtf16Le, Encoding::kUtf16Be};
  bool begun = false;
  for (int i = 0; i < 3; ++i) {
    if (first.starts_with(kMarks[i])) return kEncodings[i];
    begun = begun || kMarks[i].starts_with(first);
  }
  return begun && more ? Encoding::kUndecided : Encoding::kBytes;
}
inline bool is_utf16(Encoding encoding) { return encoding == Encoding::kUtf16Le || encoding == Encoding::kUtf16Be; }
inline void append_utf8(std::string& text, std::uint32_t c) {
  const int continuations = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  static constexpr unsigned kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
  text += static_cast<char>(kLead[continuations] | c >> 6 * continuations);
  for (int i = continuations - 1; i >= 0; --i) text += static_cast<char>(0x80 | (c >> 6 * i & 0x3F));
}
// UTF-16 read as UTF-8: each unit a character, a high surrogate and the low one after it one, any other surrogate
// U+FFFD. The bytes of a character the end cuts (an odd byte, or a high surrogate with at most one byte after it) go
// to *cut, to be read with what comes after them; without `cut` the input ends there, and they read as one U+FFFD.
inline std::string from_utf16(std::string_view bytes, bool big_endian, std::string* cut) {
  const auto unit = [bytes, big_endian](std::size_t at) -> std::uint32_t {
    const auto byte = [bytes](std::size_t i) -> std::uint32_t { return static_cast<unsigned char>(bytes[i]); };
    return byte(at + !big_endian) << 8 | byte(at + big_endian);
  };
  const auto high = [](std::uint32_t u) { return u >= 0xD800 && u < 0xDC00; };
  const auto low = [](std::uint32_t u) { return u >= 0xDC00 && u < 0xE000; };
  std::string text;
  std::size_t at = 0;
  for (; at + 2 <= bytes.size(); at += 2) {
    std::uint32_t c = unit(at);
    if (high(c) && at + 4 > bytes.size()) break;  // the other half may come
    if (high(c) && low(unit(at + 2))) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(at + 2) - 0xDC00);
      at += 2;
    } else if (high(c) || low(c)) {
      c = 0xFFFD;
    }
    append_utf8(text, c);
  }
  if (cut) {
    cut->assign(bytes.substr(at));
  } else if (at < bytes.size()) {
    append_utf8(text, 0xFFFD);
  }
  return text;
}

// Text read from UTF-16, as standard output gets it when it is no console: in the console's output page, else the OEM
// page (natively the harness sets a UTF-8 locale, whose page it is; Wine's OEM page is 437). UTF-8 stays as it is; in
// another page each character the page has is its byte, each unit of any other '?' (no look-alike), as the system does.
std::string in_output_page(const std::string& utf8);
// What the options select of each input: the unit letter of "lbckmn", the count, whether it counts from the start.
struct Selection {
  char unit = 'n';
  std::int64_t count = 10;
  bool from_start = false;
};
// The bytes of a unit letter; 0 for the line units l and n.
std::int64_t unit_size(char unit);
// The part of an input a selection picks, as the command reads it (in text mode as text, but with a byte unit
// untranslated, standard input's too), before its writing translates it; no value when the command must fail with
// status 1. With line units UTF-16 is read as characters after its mark, and its part is in the output page.
// `followed`: a file followed afterwards, where more may come: while its bytes are a mark begun nothing is written
// (following reads it from its start), and a character its end cuts waits.
std::optional<std::string> part_of(const std::string& content, bool from_file, const Selection& selection, bool text,
                                   bool followed = false);
}  // namespace harness
