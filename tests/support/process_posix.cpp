// Child processes on POSIX: posix_spawn, files and pipes.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/process.h"
#include "tests/support/support.h"

extern char** environ;

namespace support {

struct Child::State {
  ScratchDir files;  // the child's standard input, output and error files
  pid_t pid = -1;
  int output = -1;  // the test's reading end of the output pipe
  std::thread writer;
  std::optional<unsigned> status;
};

namespace {

// The exit status as Windows reports it.
unsigned windows_status(int status) {
  if (WIFSIGNALED(status)) return 256 + static_cast<unsigned>(WTERMSIG(status));
  return static_cast<unsigned>(WEXITSTATUS(status));
}

void make_pipe(int ends[2]) {
  if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

}  // namespace

Child::Child(const std::string& program, const std::vector<std::string>& args, const RunOptions& options)
    : state_(std::make_unique<State>()) {
  State& state = *state_;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());

  int input[2] = {-1, -1};
  if (options.input_pipe) {
    make_pipe(input);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  } else {
    const std::string in = state.files.write("in", options.input);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  }
  int output[2] = {-1, -1};
  if (options.output_pipe || options.output_reader_gone) {
    make_pipe(output);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    if (options.output_reader_gone) {
      ::close(output[0]);
      output[0] = -1;
    }
  } else if (!options.output_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, options.output_path.c_str(), O_WRONLY, 0);
  } else {
    const std::string out = (state.files.path() / "out").string();
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  }
  const std::string err = (state.files.path() / "err").string();
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);

  // The child starts with the default action of SIGPIPE, whatever this
  // process does with it.
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
  std::vector<char*> envp;
  if (options.environment) {
    for (const std::string& entry : *options.environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
  }
  const int failed = posix_spawn(&state.pid, program.c_str(), &actions, &attributes, argv.data(),
                                 options.environment ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (output[1] >= 0) ::close(output[1]);
  state.output = output[0];
  if (input[0] >= 0) {
    ::close(input[0]);
    // The input goes through the pipe while the child runs; a child that
    // does not read it all ends the writing (SIGPIPE is ignored here).
    state.writer = std::thread([fd = input[1], bytes = options.input] {
      std::size_t done = 0;
      while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0 && errno != EINTR) break;
        if (n > 0) done += static_cast<std::size_t>(n);
      }
      ::close(fd);
    });
  }
  if (failed) throw std::runtime_error("cannot start " + program);
}

Child::~Child() {
  kill();
  if (state_->writer.joinable()) state_->writer.join();
  close_output();
}

std::string Child::out() const { return ScratchDir::read((state_->files.path() / "out").string()); }

std::string Child::err() const { return ScratchDir::read((state_->files.path() / "err").string()); }

std::string Child::read_line(std::chrono::milliseconds timeout) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (state_->output >= 0 && (line.empty() || line.back() != '\n')) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd entry{state_->output, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
    char byte;
    if (::read(state_->output, &byte, 1) != 1) break;
    line += byte;
  }
  return line;
}

void Child::close_output() {
  if (state_->output >= 0) ::close(state_->output);
  state_->output = -1;
}

std::optional<unsigned> Child::wait(std::chrono::milliseconds timeout) {
  State& state = *state_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!state.status) {
    int status;
    const pid_t done = ::waitpid(state.pid, &status, WNOHANG);
    if (done == state.pid) {
      state.status = windows_status(status);
    } else if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return state.status;
}

void Child::kill() {
  if (state_->status || state_->pid < 0) return;
  ::kill(state_->pid, SIGKILL);
  int status;
  if (::waitpid(state_->pid, &status, 0) == state_->pid) state_->status = windows_status(status);
}

}  // namespace support
