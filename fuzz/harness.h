// The command run in process for the fuzz targets of the whole command: standard input is a pipe serving a given
// text, standard output and error are collected, allocations above 64 MiB are refused as a smaller machine would
// refuse them, the end of the process is caught. And the model of text mode and of the part of an input written.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "winapi/winapi.h"

namespace harness {

// Thrown where the process would end: by exit, or by a replaced pause.
struct Ended {
  unsigned status;
};

// What one run saw.
struct Run {
  std::string_view unread;  // what standard input still serves
  std::string out, err;
  bool collecting = true;  // standard output and error are kept
  bool refused = false;    // an allocation was refused
  bool full = false;       // standard output refuses writes: the disk is full
  std::set<HANDLE> handles;  // what the command opened (CreateFileA, DuplicateHandle) and has not closed
};
extern Run run;

// Puts in place the replacements of the standard handles, the heap and the end; a target adds its files' own.
void install();
// A directory of the process's own for a target's files (one a process), removed at exit.
std::string scratch_directory(const char* target);
// The name CreateFileA is given when the command opens `name`.
std::string full_path(const std::string& name);
// True for the three standard handles.
bool standard(HANDLE handle);
// The system's CreateFileA, its handle counted among the command's until it is closed (a target's replacement
// calls it for what opens).
HANDLE create_file(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE template_file);
// ReadFile of standard input, the system's for other handles.
BOOL read(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped);
// The exit status of the command with these words (none: argc 0) and input; then every descriptor is closed, and
// with it every handle the command opened (the end of the process closes the rest: it must hold none). `text`:
// streams are text streams by default and the standard streams text streams, as on Windows (where they always are).
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

// What the options select of each input: the unit letter of "lbckmn", the count, whether it counts from the start.
struct Selection {
  char unit = 'n';
  std::int64_t count = 10;
  bool from_start = false;
};
// The bytes of a unit letter; 0 for the line units l and n.
std::int64_t unit_size(char unit);
// The part of an input a selection picks, as the command reads it (in text mode as text, but a file with a byte unit
// untranslated), before its writing translates it; no value when the command must fail with status 1.
std::optional<std::string> part_of(const std::string& content, bool from_file, const Selection& selection, bool text);

}  // namespace harness
