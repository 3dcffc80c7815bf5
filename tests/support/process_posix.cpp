// Test support on POSIX: the environment, the running program, child processes by posix_spawn; names are bytes.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include "tests/support/support.h"

extern char** environ;

namespace support {
std::vector<std::string> host_environment() {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) entries.emplace_back(*entry);
  return entries;
}
std::string sibling_program(const std::string& name) {
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / name).string();
}
std::string oem_text(const std::string& text) { return text; }
void remove_tree(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}
struct Child::State {
  pid_t pid = -1;
  std::optional<unsigned> status;
  void reap(int options) {
    int raw;
    if (::waitpid(pid, &raw, options) != pid) return;
    status = WIFSIGNALED(raw) ? 256 + static_cast<unsigned>(WTERMSIG(raw)) : static_cast<unsigned>(WEXITSTATUS(raw));
  }
};
Child::Child(const std::string& program, const std::vector<std::string>& args, const RunOptions& options)
    : state_(std::make_unique<State>()) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  int input[2] = {-1, -1}, output[2] = {-1, -1};
  if ((options.input_pipe && ::pipe2(input, O_CLOEXEC) != 0) ||
      (options.output_reader_gone && ::pipe2(output, O_CLOEXEC) != 0)) throw std::runtime_error("pipe failed");
  if (output[0] >= 0) ::close(output[0]);  // the reader is gone before the child starts
  const std::string in = files_.write("in", options.input);
  const std::string out = options.output_path.empty() ? (files_.path() / "out").string() : options.output_path;
  if (options.input_pipe) posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  if (options.input_closed) posix_spawn_file_actions_addclose(&actions, 0);
  if (!options.input_pipe && !options.input_closed) {
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  }
  if (options.output_reader_gone) posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  if (!options.output_reader_gone) posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0666);
  posix_spawn_file_actions_addopen(&actions, 2, (files_.path() / "err").c_str(), O_WRONLY | O_CREAT, 0666);
  // The child starts with the default action of SIGPIPE, whatever this process does with it.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& word : args) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  const std::vector<std::string> environment = options.environment.value_or(host_environment());
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  const int failed = posix_spawn(&state_->pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  for (const int end : {input[0], output[1], failed ? input[1] : -1}) if (end >= 0) ::close(end);
  if (failed) throw std::runtime_error("cannot start " + program);
  if (input[1] >= 0) {
    // A child that does not read all its input ends the writing (SIGPIPE is ignored here).
    writer_ = std::thread([fd = input[1], bytes = options.input] {
      for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) done += static_cast<std::size_t>(n);
      }
      ::close(fd);
    });
  }
}
unsigned long Child::pid() const { return static_cast<unsigned long>(state_->pid); }
void Child::interrupt() { ::kill(state_->pid, SIGINT); }
Child::~Child() {
  if (!state_->status && state_->pid >= 0) {
    ::kill(state_->pid, SIGKILL);
    state_->reap(0);
  }
  if (writer_.joinable()) writer_.join();
}
std::optional<unsigned> Child::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (!state_->status) state_->reap(WNOHANG);
    if (state_->status || std::chrono::steady_clock::now() >= deadline) return state_->status;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
}  // namespace support
