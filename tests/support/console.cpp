// A pseudo-terminal opened by forkpty, read until no process holds it any more, every wait bounded (see console.h).
#include "tests/support/console.h"
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <csignal>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace support {
namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kTimeout = std::chrono::seconds(30);

// Without what chooses languages, character sets, catalogues and the terminal, so that only a run's own choose them.
std::vector<std::string> neutral_environment() {
  static const std::set<std::string> dropped{"LANG", "LANGUAGE", "NLSPATH", "ROOTDIR", "DUALCASE", "TERM"};
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (!dropped.count(name) && name.rfind("LC_", 0) != 0) entries.push_back(text);
  }
  entries.push_back("TERM=xterm");
  return entries;
}
std::vector<char*> pointers(const std::vector<std::string>& words) {
  std::vector<char*> result;
  for (const std::string& word : words) result.push_back(const_cast<char*>(word.c_str()));
  result.push_back(nullptr);
  return result;
}

// Waits until the process ends; at the deadline kills its process group (what it started too) and throws.
void reap(pid_t pid, Clock::time_point deadline, const std::string& what) {
  for (;;) {
    int status;
    if (::waitpid(pid, &status, WNOHANG) == pid) return;
    if (Clock::now() >= deadline) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      throw std::runtime_error(what + ": no end in time; its processes were killed");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Starts Wine's server and services once, detached: started by a run on the terminal they would keep it open. The
// first run may make the build's prefix: it has two minutes.
void warm(const std::string& wine) {
  static std::once_flag once;
  std::call_once(once, [&] {
    const std::string command = "timeout 120 '" + wine + "' cmd /c exit </dev/null >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("starting Wine failed: " + command);
  });
}

// What a terminal shows of these bytes, as text: without CSI and OSC sequences, other escapes and carriage returns;
// a cursor moved forward (CSI n C, which Wine's console writes for blanks at the end of a write) stands for blanks.
std::string shown_text(const std::string& bytes) {
  std::string text;
  const std::size_t size = bytes.size();
  for (std::size_t i = 0; i < size;) {
    const char c = bytes[i];
    if (c == '\x1b') {
      const char kind = i + 1 < size ? bytes[i + 1] : '\0';
      i += 2;
      if (kind == '[') {  // CSI: parameters and intermediates, then a final byte from @ to ~
        const std::size_t parameters = i;
        while (i < size && !(bytes[i] >= '@' && bytes[i] <= '~')) ++i;
        if (i < size && bytes[i] == 'C') {
          const std::string count = bytes.substr(parameters, i - parameters);
          text.append(count.empty() ? 1 : std::stoul(count), ' ');
        }
        ++i;
      } else if (kind == ']') {  // OSC: up to BEL or ST (ESC backslash)
        while (i < size && bytes[i] != '\a' && bytes[i] != '\x1b') ++i;
        i += i < size && bytes[i] == '\x1b' ? 2 : 1;
      } else {  // another escape: intermediates from blank to slash, then its final byte
        i -= 1;
        while (i < size && bytes[i] >= ' ' && bytes[i] <= '/') ++i;
        ++i;
      }
    } else {
      if (c != '\r' && c != '\a') text += c;
      ++i;
    }
  }
  return text;
}

// Runs a program on a new pseudo-terminal of 250 columns by 100 rows (no line of a test wraps); all bytes it received.
std::string run_on_terminal(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                            const std::string& cwd) {
  std::vector<char*> args = pointers(argv);
  std::vector<char*> envp = pointers(env);
  winsize size{100, 250, 0, 0};  // rows, columns
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) {
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  // The child leads a session of its own: killing its process group ends whatever it started.
  const auto deadline = Clock::now() + kTimeout;
  std::string bytes;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      ::close(master);
      throw std::runtime_error(argv[0] + ": the terminal still open after 30 s; its processes were killed. Shown: " +
                               shown_text(bytes));
    }
    pollfd ready{master, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(std::min<long long>(left, 1000))) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n > 0) bytes.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR) break;  // EIO: no process holds the terminal any more
  }
  ::close(master);
  reap(pid, deadline, argv[0]);
  return bytes;
}
}  // namespace
std::string wine_path(const std::string& host_path) {
  std::string path = "Z:" + host_path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}
std::string run_in_console(const ConsoleRun& run) {
  std::vector<std::string> env = neutral_environment();
  if (run.wine.empty()) {
    env.push_back("LC_CTYPE=C.UTF-8");
    env.insert(env.end(), run.environment.begin(), run.environment.end());
    std::vector<std::string> argv{run.program};
    argv.insert(argv.end(), run.args.begin(), run.args.end());
    return shown_text(run_on_terminal(argv, env, run.cwd));
  }
  // As typed at cmd's prompt: "chcp 850 >nul&set LANG=de_DE&Z:\...\tail.exe -n 2 a.log". Wine joins the words with
  // blanks, quoting only those holding blanks or quotes, so words split at blanks come back as this line; its
  // environment chooses no language (wine-run chooses the character locale only).
  std::vector<std::string> words{wine_path(run.program)};
  words.insert(words.end(), run.environment.begin(), run.environment.end());
  words.insert(words.end(), run.args.begin(), run.args.end());
  for (const std::string& word : words) {
    if (word.empty() || word.find_first_of(" \t\"") != std::string::npos)
      throw std::invalid_argument("a word cmd would not get as typed: [" + word + "]");
  }
  std::string line;
  if (run.code_page) line += "chcp " + std::to_string(run.code_page) + " >nul&";
  for (const std::string& entry : run.environment) line += "set " + entry + "&";
  line += words[0];
  for (const std::string& arg : run.args) line += " " + arg;
  std::vector<std::string> argv{run.wine, "cmd", "/c"};
  for (std::size_t start = 0; start <= line.size();) {
    const std::size_t blank = std::min(line.find(' ', start), line.size());
    argv.push_back(line.substr(start, blank - start));
    start = blank + 1;
  }
  warm(run.wine);
  return shown_text(run_on_terminal(argv, env, run.cwd));
}
}  // namespace support
