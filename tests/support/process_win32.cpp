// Test support on Windows: children by CreateProcessW with inherited handles, raw command lines, environment blocks
// and NVOARGS. The tests' texts are UTF-8; a child gets its command line and environment in UTF-16, as typed.
#include <cstring>
#include <cwchar>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <windows.h>
#include "tests/support/support.h"

namespace support {
namespace {
std::wstring wide(const std::string& text) {
  std::wstring units(text.size(), L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                    units.data(), static_cast<int>(units.size()));
  if (n == 0 && !text.empty()) throw std::runtime_error("not UTF-8: " + text);
  units.resize(static_cast<std::size_t>(n));
  return units;
}
// UTF-16 text in a code page: UTF-8, or the OEM one (a character it lacks is '?').
std::string narrow(const std::wstring& units, UINT page = CP_UTF8) {
  std::string text(units.size() * 3, '\0');
  text.resize(static_cast<std::size_t>(WideCharToMultiByte(page, page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS,
                                                           units.data(), static_cast<int>(units.size()), text.data(),
                                                           static_cast<int>(text.size()), nullptr, nullptr)));
  return text;
}
// Removes what `path` (in the \\?\ form) names: a file, or a folder after all it holds.
void remove_long(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
    return;
  }
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") remove_long(path + L"\\" + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}
SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
HANDLE open_inheritable(const std::string& path, DWORD access, DWORD disposition) {
  HANDLE file = CreateFileW(wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            &inheritable, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
  return file;
}
// A pipe whose `inherited` end (0 reading, 1 writing) the child gets.
void make_pipe(HANDLE ends[2], int inherited) {
  if (!CreatePipe(&ends[0], &ends[1], &inheritable, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(ends[1 - inherited], HANDLE_FLAG_INHERIT, 0);
}
// As typed for the runtime's splitter: in single quotes when it needs them, a single quote in double quotes.
std::string quoted(const std::string& arg) {
  const bool plain = !arg.empty() && arg.find_first_of(" \t\"'*?[") == std::string::npos;
  if (plain) return arg;
  std::string text = "'";
  for (const char c : arg) text += c == '\'' ? std::string("'\"'\"'") : std::string(1, c);
  return text + "'";
}
}  // namespace
std::vector<std::string> host_environment() {
  std::vector<std::string> entries;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry; entry += std::wcslen(entry) + 1) entries.push_back(narrow(entry));
  FreeEnvironmentStringsW(block);
  return entries;
}
std::string oem_text(const std::string& text) { return narrow(wide(text), CP_OEMCP); }
void remove_tree(const std::filesystem::path& path) { remove_long(L"\\\\?\\" + std::filesystem::absolute(path).wstring()); }
std::string sibling_program(const std::string& name) {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) throw std::runtime_error("cannot find the test program");
  const std::string path = narrow(std::wstring(self, n));
  return path.substr(0, path.find_last_of("\\/") + 1) + name + ".exe";
}
struct Child::State {
  PROCESS_INFORMATION process{};
  std::optional<unsigned> status;
};
Child::Child(const std::string& program, const std::vector<std::string>& args, const RunOptions& options)
    : state_(std::make_unique<State>()) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  HANDLE input[2] = {nullptr, nullptr}, output[2] = {nullptr, nullptr};
  if (options.input_pipe) make_pipe(input, 0);
  if (options.output_reader_gone) make_pipe(output, 1);
  if (output[0]) CloseHandle(output[0]);  // the reader is gone before the child starts
  const std::string in = files_.write("in", options.input);
  const std::string out = options.output_path.empty() ? (files_.path() / "out").string() : options.output_path;
  if (!options.input_closed) {
    startup.hStdInput = input[0] ? input[0] : open_inheritable(in, GENERIC_READ, OPEN_EXISTING);
  }
  startup.hStdOutput = output[1] ? output[1] : open_inheritable(out, GENERIC_WRITE, OPEN_ALWAYS);
  startup.hStdError = open_inheritable((files_.path() / "err").string(), GENERIC_WRITE, CREATE_ALWAYS);
  std::string command = options.command_line;
  if (command.empty()) {
    command = quoted(program);
    for (const std::string& arg : args) command += " " + quoted(arg);
  }
  std::vector<std::string> entries = options.environment.value_or(host_environment());
  HANDLE mapping = nullptr;
  if (options.argument_block) {
    mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &inheritable, PAGE_READWRITE, 0, 4096, nullptr);
    if (!mapping) throw std::runtime_error("CreateFileMapping failed");
    std::ostringstream entry;
    entry << "NVOARGS=" << std::hex << reinterpret_cast<std::uintptr_t>(mapping);
    entries.push_back(entry.str());
  }
  std::wstring block;
  for (const std::string& entry : entries) block += wide(entry) + L'\0';
  block += L'\0';
  std::wstring command_units = wide(command);
  const std::wstring cwd = wide(options.cwd);
  // Under load Wine's CreateProcessW now and then refuses a start that succeeds when tried again: a few tries, each
  // retry told on standard error; a refusal that lasts fails the test.
  constexpr int kTries = 4;
  BOOL started = FALSE;
  DWORD error = NO_ERROR;
  for (int attempt = 1; !started && attempt <= kTries; ++attempt) {
    if (attempt > 1) {
      std::cerr << "support: CreateProcessW refused to start " << program << " (error " << error << "); try "
                << attempt << " of " << kTries << std::endl;
      Sleep(100 * (attempt - 1));
    }
    started = CreateProcessW(wide(program).c_str(), command_units.data(), nullptr, nullptr, TRUE,
                             CREATE_UNICODE_ENVIRONMENT | (options.argument_block ? CREATE_SUSPENDED : 0) |
                                 (options.interruptible ? CREATE_NO_WINDOW : 0),
                             block.data(), cwd.empty() ? nullptr : cwd.c_str(), &startup, &state_->process);
    error = GetLastError();
  }
  if (startup.hStdInput) CloseHandle(startup.hStdInput);
  CloseHandle(startup.hStdOutput);
  CloseHandle(startup.hStdError);
  if (!started) {
    if (input[1]) CloseHandle(input[1]);
    throw std::runtime_error("cannot start " + program + " (error " + std::to_string(error) + ")");
  }
  // NVOARGS: the process id at offset 8, the count at 16, then the strings; the child, suspended, only now has its id.
  if (mapping) {
    auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    const DWORD words[] = {state_->process.dwProcessId, static_cast<DWORD>(options.argument_block->size())};
    std::memcpy(view + 8, &words[0], 4);
    std::memcpy(view + 16, &words[1], 4);
    std::size_t at = 20;
    for (const std::string& arg : *options.argument_block) {
      std::memcpy(view + at, arg.c_str(), arg.size() + 1);
      at += arg.size() + 1;
    }
    UnmapViewOfFile(view);
    ResumeThread(state_->process.hThread);
  }
  if (input[1]) {
    writer_ = std::thread([handle = input[1], bytes = options.input] {
      DWORD n;
      for (std::size_t done = 0; done < bytes.size(); done += n) {
        if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr)) break;
      }
      CloseHandle(handle);
    });
  }
}
unsigned long Child::pid() const { return state_->process.dwProcessId; }
void Child::interrupt() {
  // The child's console (without a window) becomes ours too, standard handles kept; the event comes to every process
  // of the console, so this process (and every child it starts from now on) ignores Ctrl+C for good.
  const DWORD kinds[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  HANDLE handles[3];
  for (int k = 0; k < 3; ++k) handles[k] = GetStdHandle(kinds[k]);
  FreeConsole();
  const BOOL attached = AttachConsole(state_->process.dwProcessId);
  for (int k = 0; k < 3; ++k) SetStdHandle(kinds[k], handles[k]);
  SetConsoleCtrlHandler(nullptr, TRUE);
  if (!attached || !GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) throw std::runtime_error("cannot send Ctrl+C");
}
Child::~Child() {
  if (!state_->status && state_->process.hProcess) {
    TerminateProcess(state_->process.hProcess, 1);
    wait(std::chrono::seconds(10));
  }
  if (writer_.joinable()) writer_.join();
  CloseHandle(state_->process.hThread);
  CloseHandle(state_->process.hProcess);
}
std::optional<unsigned> Child::wait(std::chrono::milliseconds timeout) {
  if (!state_->status &&
      WaitForSingleObject(state_->process.hProcess, static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0) {
    DWORD status = 0;
    GetExitCodeProcess(state_->process.hProcess, &status);
    state_->status = status;
  }
  return state_->status;
}
}  // namespace support
