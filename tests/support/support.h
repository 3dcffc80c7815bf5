// What the tests need of the host; a child ended by signal s on POSIX has status 256 + s, as the runtime gives on
// Windows. RuntimeTest closes what a test leaves open before its scratch directory goes (Windows keeps it if open).
#pragma once
#include <gtest/gtest.h>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include "winapi/winapi.h"

namespace support {
// Lines as a text stream of this host writes them: on Windows each line feed as CR LF.
std::string as_text(const std::string& lines);
// This process's environment; and without NLSPATH, ROOTDIR, LANG, LC_* and DUALCASE, for the built-in English texts.
std::vector<std::string> host_environment();
std::vector<std::string> plain_environment();
// A program built next to the running test program ("name", with ".exe" where the host wants it).
std::string sibling_program(const std::string& name);
// Names and texts are UTF-8 in the tests: a path from such a name (UTF-16 on Windows), and back.
std::filesystem::path utf8_path(const std::string& name);
std::string utf8_name(const std::filesystem::path& path);
// A text as the file functions' code page has it: on Windows the OEM page ('?' for what it lacks); elsewhere as is.
std::string oem_text(const std::string& text);
// However deep (on Windows past MAX_PATH through the \\?\ form).
void remove_tree(const std::filesystem::path& path);

// A fresh directory, removed with everything in it at the end of the scope.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Creates or replaces a file; its path in UTF-8.
  std::string write(const std::string& name, const std::string& bytes) const;
  // The bytes of a file ("" when there is none).
  static std::string read(const std::string& path);
 private:
  std::filesystem::path path_;
};
struct RunOptions {
  std::string cwd;                  // the child's current directory; "" for ours
  std::string input;                // standard input's bytes
  bool input_pipe = false;          // standard input is a pipe (else a file)
  bool input_closed = false;        // there is no standard input at all
  bool output_reader_gone = false;  // standard output is a pipe whose reading end is closed
  std::string output_path;          // standard output goes to this existing file (as /dev/full)
  std::optional<std::vector<std::string>> environment;  // the whole environment, "name=value"
  std::string command_line;         // Windows: the raw command line (the args are then unused)
  std::optional<std::vector<std::string>> argument_block;  // Windows: the words passed through NVOARGS
  bool interruptible = false;       // Windows: the child has a console of its own, for interrupt()
};
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& args, const RunOptions& options);
  ~Child();  // kills the child if it still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  std::string out() const { return ScratchDir::read((files_.path() / "out").string()); }
  std::string err() const { return ScratchDir::read((files_.path() / "err").string()); }
  // The exit status, or nothing when the child still runs after the timeout.
  std::optional<unsigned> wait(std::chrono::milliseconds timeout);
  unsigned long pid() const;
  // Natively SIGINT; on Windows the Ctrl+C event of an interruptible child's console, then shared by this process.
  void interrupt();
  struct State;
 private:
  ScratchDir files_;              // standard input, output and error, when they are files
  std::unique_ptr<State> state_;  // the host's handle on the process
  std::thread writer_;            // feeds a standard input pipe while the child runs
};
class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string in_dir(const std::string& name) const { return (dir.path() / name).string(); }
  ScratchDir dir;
};

// Makes the runtime's environment exactly these "name=value" entries for the length of a scope.
class Environment {
 public:
  explicit Environment(std::vector<std::string> entries);
  ~Environment();
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;
 private:
  std::vector<std::string> entries_;
  std::vector<char*> pointers_;
  char** saved_;
};
}  // namespace support
