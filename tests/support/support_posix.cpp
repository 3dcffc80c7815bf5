// Test support on POSIX: pipes adopted by the emulation, the running program.
#include <stdexcept>
#include <unistd.h>

#include "tests/support/support.h"
#include "winapi/posix/emulation.h"

extern char** environ;

namespace support {

void make_pipe_handles(HANDLE& read_end, HANDLE& write_end) {
  int ends[2];
  if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
  read_end = w32::posix::adopt_fd(ends[0]);
  write_end = w32::posix::adopt_fd(ends[1]);
}

std::vector<std::string> host_environment() {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) {
    entries.emplace_back(*entry);
  }
  return entries;
}

std::string sibling_program(const std::string& name) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("cannot find the test program");
  const std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + name;
}

}  // namespace support
