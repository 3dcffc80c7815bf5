// Child processes on Windows: CreateProcessA with inherited handles, raw
// command lines, environment blocks and the NVOARGS argument block.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <windows.h>

#include "tests/support/process.h"
#include "tests/support/support.h"

namespace support {

struct Child::State {
  ScratchDir files;  // the child's standard input, output and error files
  PROCESS_INFORMATION process{};
  HANDLE output = nullptr;  // the test's reading end of the output pipe
  std::thread writer;
  std::optional<unsigned> status;
};

namespace {

SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

HANDLE open_inheritable(const std::string& path, DWORD access, DWORD disposition) {
  HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            &inheritable, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  return file;
}

// A pipe whose `inherited` end (0 reading, 1 writing) the child gets.
void make_pipe(HANDLE ends[2], int inherited) {
  if (!CreatePipe(&ends[0], &ends[1], &inheritable, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(ends[1 - inherited], HANDLE_FLAG_INHERIT, 0);
}

// One argument as the runtime's command-line splitter reads it back:
// single quotes keep everything, and a single quote goes in double quotes.
std::string quoted(const std::string& arg) {
  std::string text = "'";
  for (const char c : arg) text += c == '\'' ? std::string("'\"'\"'") : std::string(1, c);
  return text + "'";
}

std::string environment_block(const std::vector<std::string>& entries) {
  std::string block;
  for (const std::string& entry : entries) block += entry + '\0';
  return block + '\0';
}

std::vector<std::string> current_environment() {
  std::vector<std::string> entries;
  char* block = GetEnvironmentStrings();
  for (const char* entry = block; *entry; entry += std::strlen(entry) + 1) entries.emplace_back(entry);
  FreeEnvironmentStringsA(block);
  return entries;
}

void put32(unsigned char* at, DWORD value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

Child::Child(const std::string& program, const std::vector<std::string>& args, const RunOptions& options)
    : state_(std::make_unique<State>()) {
  State& state = *state_;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  HANDLE input[2] = {nullptr, nullptr};
  if (options.input_pipe) {
    make_pipe(input, 0);
    startup.hStdInput = input[0];
  } else {
    startup.hStdInput = open_inheritable(state.files.write("in", options.input), GENERIC_READ, OPEN_EXISTING);
  }
  HANDLE output[2] = {nullptr, nullptr};
  if (options.output_pipe || options.output_reader_gone) {
    make_pipe(output, 1);
    startup.hStdOutput = output[1];
    if (options.output_reader_gone) {
      CloseHandle(output[0]);
      output[0] = nullptr;
    }
  } else if (!options.output_path.empty()) {
    startup.hStdOutput = open_inheritable(options.output_path, GENERIC_WRITE, OPEN_EXISTING);
  } else {
    startup.hStdOutput = open_inheritable((state.files.path() / "out").string(), GENERIC_WRITE, CREATE_ALWAYS);
  }
  startup.hStdError = open_inheritable((state.files.path() / "err").string(), GENERIC_WRITE, CREATE_ALWAYS);

  std::string command = options.command_line;
  if (command.empty()) {
    command = quoted(program);
    for (const std::string& arg : args) command += " " + quoted(arg);
  }
  std::vector<std::string> entries = options.environment ? *options.environment : std::vector<std::string>{};
  const bool own_environment = options.environment || options.argument_block;
  HANDLE mapping = nullptr;
  DWORD mapping_size = 4096;
  if (options.argument_block) {
    if (!options.environment) entries = current_environment();
    mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &inheritable, PAGE_READWRITE, 0, mapping_size, nullptr);
    if (!mapping) throw std::runtime_error("CreateFileMapping failed");
    char handle_text[32];
    std::snprintf(handle_text, sizeof handle_text, "NVOARGS=%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(mapping)));
    entries.emplace_back(handle_text);
  }
  std::string block = own_environment ? environment_block(entries) : std::string();

  const BOOL started = CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                                      options.argument_block ? CREATE_SUSPENDED : 0,
                                      own_environment ? block.data() : nullptr,
                                      options.cwd.empty() ? nullptr : options.cwd.c_str(), &startup, &state.process);
  CloseHandle(startup.hStdInput);
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);
  state.output = output[0];
  if (!started) throw std::runtime_error("cannot start " + program);

  if (mapping) {
    // The block names the process it is meant for, which exists only now.
    auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    const ArgumentBlock& arguments = *options.argument_block;
    put32(view + 8, arguments.for_this_process ? state.process.dwProcessId : state.process.dwProcessId + 4);
    put32(view + 16, static_cast<DWORD>(arguments.args.size()));
    std::size_t at = 20;
    for (const std::string& arg : arguments.args) {
      std::memcpy(view + at, arg.c_str(), arg.size() + 1);
      at += arg.size() + 1;
    }
    if (arguments.overrun) std::memset(view + at - 1, 'x', mapping_size - (at - 1));  // the last string never ends
    UnmapViewOfFile(view);
    ResumeThread(state.process.hThread);
  }
  if (input[1]) {
    state.writer = std::thread([handle = input[1], bytes = options.input] {
      std::size_t done = 0;
      DWORD n;
      while (done < bytes.size() &&
             WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr)) {
        done += n;
      }
      CloseHandle(handle);
    });
  }
}

Child::~Child() {
  kill();
  if (state_->writer.joinable()) state_->writer.join();
  close_output();
  CloseHandle(state_->process.hThread);
  CloseHandle(state_->process.hProcess);
}

std::string Child::out() const { return ScratchDir::read((state_->files.path() / "out").string()); }

std::string Child::err() const { return ScratchDir::read((state_->files.path() / "err").string()); }

std::string Child::read_line(std::chrono::milliseconds timeout) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (state_->output && (line.empty() || line.back() != '\n') && std::chrono::steady_clock::now() < deadline) {
    DWORD available = 0;
    if (!PeekNamedPipe(state_->output, nullptr, 0, nullptr, &available, nullptr)) break;
    if (available == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    char byte;
    DWORD n;
    if (!ReadFile(state_->output, &byte, 1, &n, nullptr) || n != 1) break;
    line += byte;
  }
  return line;
}

void Child::close_output() {
  if (state_->output) CloseHandle(state_->output);
  state_->output = nullptr;
}

std::optional<unsigned> Child::wait(std::chrono::milliseconds timeout) {
  State& state = *state_;
  if (!state.status) {
    if (WaitForSingleObject(state.process.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
      return std::nullopt;
    }
    DWORD status = 0;
    GetExitCodeProcess(state.process.hProcess, &status);
    state.status = status;
  }
  return state.status;
}

void Child::kill() {
  if (state_->status || !state_->process.hProcess) return;
  TerminateProcess(state_->process.hProcess, 1);
  wait(std::chrono::seconds(10));
}

}  // namespace support
