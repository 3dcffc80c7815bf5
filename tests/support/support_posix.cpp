// Test support on POSIX: pipes adopted by the emulation, posix_spawn.
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/support.h"
#include "winapi/posix/emulation.h"

extern char** environ;

namespace support {
namespace {

// Starts a program with the given file actions. The child starts with the
// default action of SIGPIPE, whatever this process does with it.
pid_t start(const std::string& program, const std::vector<std::string>& args, posix_spawn_file_actions_t& actions) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  const int failed = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (failed) throw std::runtime_error("cannot start " + program);
  return pid;
}

// Waits for a child; its status as Windows would report it.
unsigned wait_for(pid_t pid) {
  int status;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  if (WIFSIGNALED(status)) return 256 + static_cast<unsigned>(WTERMSIG(status));
  return static_cast<unsigned>(WEXITSTATUS(status));
}

}  // namespace

void make_pipe_handles(HANDLE& read_end, HANDLE& write_end) {
  int ends[2];
  if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
  read_end = w32::posix::adopt_fd(ends[0]);
  write_end = w32::posix::adopt_fd(ends[1]);
}

std::string sibling_program(const std::string& name) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("cannot find the test program");
  const std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + name;
}

unsigned run_with_reader_gone(const std::string& program, const std::vector<std::string>& args) {
  int ends[2];
  if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
  ::close(ends[0]);  // the reader is gone before the child writes
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  posix_spawn_file_actions_addclose(&actions, ends[1]);
  const pid_t pid = start(program, args, actions);
  ::close(ends[1]);
  return wait_for(pid);
}

ChildResult run_child(const std::string& program, const std::vector<std::string>& args, const std::string& input) {
  const ScratchDir dir;
  const std::string in = dir.write("in", input);
  const std::string out = (dir.path() / "out").string();
  const std::string err = (dir.path() / "err").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  const unsigned status = wait_for(start(program, args, actions));
  return ChildResult{status, ScratchDir::read(out), ScratchDir::read(err)};
}

}  // namespace support
