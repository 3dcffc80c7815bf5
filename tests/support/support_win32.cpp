// Test support on Windows: CreatePipe and the running program.
#include <cstring>
#include <stdexcept>
#include <windows.h>

#include "tests/support/support.h"

namespace support {

void make_pipe_handles(HANDLE& read_end, HANDLE& write_end) {
  if (!CreatePipe(&read_end, &write_end, nullptr, 0)) throw std::runtime_error("CreatePipe failed");
}

std::vector<std::string> host_environment() {
  std::vector<std::string> entries;
  char* block = GetEnvironmentStrings();
  for (const char* entry = block; *entry; entry += std::strlen(entry) + 1) {
    entries.emplace_back(entry);
  }
  FreeEnvironmentStringsA(block);
  return entries;
}

std::string sibling_program(const std::string& name) {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) throw std::runtime_error("cannot find the test program");
  const std::string path(self, n);
  return path.substr(0, path.find_last_of("\\/") + 1) + name + ".exe";
}

}  // namespace support
