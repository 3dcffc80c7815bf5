// What the tests need of the host beyond the runtime: pipes, scratch
// directories, environments and the programs built next to the test. The
// host-specific parts live in process_posix.cpp or process_win32.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "winapi/winapi.h"

namespace support {

// The line end of the standard streams: text streams on Windows write CR LF.
inline const std::string kLineEnd = w32::kTextModeByDefault ? "\r\n" : "\n";
// Lines as a text stream of this host writes them: each line feed as kLineEnd.
std::string as_text(const std::string& lines);

// An anonymous pipe whose two ends are runtime descriptors, and the two
// system handles of a new one (reading end, writing end).
struct Pipe {
  int read_fd;
  int write_fd;
};
Pipe make_pipe();
void make_pipe_handles(HANDLE& read_end, HANDLE& write_end);

// This process's environment, "name=value"; and without the variables that
// choose messages and their language (NLSPATH, ROOTDIR, LANG, LC_*) and
// DUALCASE, so that children started with it print the built-in English texts.
std::vector<std::string> host_environment();
std::vector<std::string> plain_environment();

// The path of a program built next to the running test program ("name",
// with ".exe" where the host wants it).
std::string sibling_program(const std::string& name);

// The tests write names and texts in UTF-8. A path from such a name (on
// Windows the name in UTF-16), and a path's name in UTF-8.
std::filesystem::path utf8_path(const std::string& name);
std::string utf8_name(const std::filesystem::path& path);
// A text as a program gets it in the code page of the file functions: on
// Windows the UTF-8 text converted to the OEM code page (a character the
// page lacks is '?'); elsewhere names are bytes, and the text stays as it is.
std::string oem_text(const std::string& text);

// A fresh directory that is removed, with everything in it, at the end of the scope.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Creates (or replaces) a file with these bytes; its path in UTF-8.
  std::string write(const std::string& name, const std::string& bytes) const;
  // The bytes of a file ("" when there is none).
  static std::string read(const std::string& path);

 private:
  std::filesystem::path path_;
};

// Makes a directory the current one for the length of a scope.
class CurrentDir {
 public:
  explicit CurrentDir(const std::filesystem::path& path) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~CurrentDir() { std::filesystem::current_path(saved_); }
  CurrentDir(const CurrentDir&) = delete;
  CurrentDir& operator=(const CurrentDir&) = delete;

 private:
  std::filesystem::path saved_;
};

}  // namespace support
