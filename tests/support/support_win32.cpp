// Test support on Windows: CreatePipe and CreateProcessA.
#include <stdexcept>
#include <windows.h>

#include "tests/support/support.h"

namespace support {

void make_pipe_handles(HANDLE& read_end, HANDLE& write_end) {
  if (!CreatePipe(&read_end, &write_end, nullptr, 0)) throw std::runtime_error("CreatePipe failed");
}

std::string sibling_program(const std::string& name) {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) throw std::runtime_error("cannot find the test program");
  const std::string path(self, n);
  return path.substr(0, path.find_last_of("\\/") + 1) + name + ".exe";
}

unsigned run_with_reader_gone(const std::string& program, const std::vector<std::string>& args) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end;
  HANDLE write_end;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  std::string command = "\"" + program + "\"";
  for (const std::string& arg : args) command += " \"" + arg + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  CloseHandle(read_end);
  CloseHandle(write_end);
  if (!started) throw std::runtime_error("cannot start " + program);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

}  // namespace support
