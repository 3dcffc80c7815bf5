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

namespace {

SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

// Starts a program with these standard handles and waits for it; its exit code.
unsigned start_and_wait(const std::string& program, const std::vector<std::string>& args, HANDLE input,
                        HANDLE output, HANDLE error, HANDLE close_after_start = nullptr) {
  std::string command = "\"" + program + "\"";
  for (const std::string& arg : args) command += " \"" + arg + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = error;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  if (close_after_start) CloseHandle(close_after_start);
  if (!started) throw std::runtime_error("cannot start " + program);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

HANDLE open_inheritable(const std::string& path, DWORD access, DWORD disposition) {
  HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, disposition,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  return file;
}

}  // namespace

unsigned run_with_reader_gone(const std::string& program, const std::vector<std::string>& args) {
  HANDLE read_end;
  HANDLE write_end;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  CloseHandle(read_end);  // the reader is gone before the child writes
  return start_and_wait(program, args, GetStdHandle(STD_INPUT_HANDLE), write_end, GetStdHandle(STD_ERROR_HANDLE),
                        write_end);
}

ChildResult run_child(const std::string& program, const std::vector<std::string>& args, const std::string& input) {
  const ScratchDir dir;
  const std::string in_path = dir.write("in", input);
  const std::string out_path = (dir.path() / "out").string();
  const std::string err_path = (dir.path() / "err").string();
  HANDLE in = open_inheritable(in_path, GENERIC_READ, OPEN_EXISTING);
  HANDLE out = open_inheritable(out_path, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = open_inheritable(err_path, GENERIC_WRITE, CREATE_ALWAYS);
  const unsigned status = start_and_wait(program, args, in, out, err);
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  return ChildResult{status, ScratchDir::read(out_path), ScratchDir::read(err_path)};
}

}  // namespace support
