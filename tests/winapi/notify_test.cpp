// Directory change notices through the seam, asked for as tail/watch.cpp asks (with a completion routine, run while
// the thread waits alertably). The rows hold what Windows tells: Wine's and the inotify emulation's check each other.
#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>
#include "tests/support/support.h"
#include "winapi/winapi.h"

namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr DWORD kNames = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr DWORD kWrites = FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
constexpr DWORD kStatus = FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SECURITY;
constexpr DWORD kRoom = 4096;                // the buffer tail/watch.cpp gives a request
constexpr auto kBound = 10s;                 // what is told comes within this, even under load
constexpr auto kQuiet = 300ms;               // a change not asked for has this long to be told wrongly
constexpr DWORD kEnumerateTheFolder = 1022;  // ERROR_NOTIFY_ENUM_DIR
constexpr bool kWine = w32::kDriveLetters;   // the Windows build runs its tests under Wine here
void wait_alertably(Clock::time_point until, const std::function<bool()>& waiting) {
  while (waiting() && Clock::now() < until) w32::SleepEx(50, TRUE);
}

// One request at a time; `told` has a line for each entry ("added a.log", once for a run of the same: Windows may tell
// a size and a write time apart), "overflow", or "error N" for a request ended or refused with error N.
class Watcher {
 public:
  Watcher(const fs::path& folder, DWORD filter, DWORD size) : filter_(filter), buffer_(size / sizeof(DWORD)) {
    handle_ = w32::CreateFileW(reinterpret_cast<LPCWSTR>(folder.u16string().c_str()), FILE_LIST_DIRECTORY,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << folder;
    overlapped_.hEvent = this;  // the caller's own with a completion routine
  }
  ~Watcher() {
    close();
    wait_alertably(Clock::now() + kBound, [this] { return pending_; });
  }
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;
  void request() {
    pending_ = w32::ReadDirectoryChangesW(handle_, buffer_.data(), static_cast<DWORD>(buffer_.size() * sizeof(DWORD)),
                                          FALSE, filter_, nullptr, &overlapped_, completed) != FALSE;
    if (!pending_) told.push_back("error " + std::to_string(w32::GetLastError()));
  }
  void close() {
    if (handle_ != INVALID_HANDLE_VALUE) w32::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  bool pending() const { return pending_; }
  bool ended() const { return !told.empty() && (told.back() == "overflow" || told.back().starts_with("error")); }
  std::vector<std::string> told;
 private:
  // An overflow comes without entries and without an error, or as ERROR_NOTIFY_ENUM_DIR (Wine's way).
  static void CALLBACK completed(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
    auto& self = *static_cast<Watcher*>(overlapped->hEvent);
    self.pending_ = false;
    if (error != NO_ERROR || bytes == 0) {
      const bool overflow = error == NO_ERROR || error == kEnumerateTheFolder;
      self.told.push_back(overflow ? "overflow" : "error " + std::to_string(error));
      return;
    }
    static const std::string kActions[] = {"action 0", "added", "removed", "modified", "old", "new"};
    const auto* at = reinterpret_cast<const unsigned char*>(self.buffer_.data());
    for (FILE_NOTIFY_INFORMATION entry;; at += entry.NextEntryOffset) {
      std::memcpy(&entry, at, offsetof(FILE_NOTIFY_INFORMATION, FileName));
      std::string line = entry.Action < 6 ? kActions[entry.Action] : "action " + std::to_string(entry.Action);
      line += ' ';
      for (DWORD i = 0; i < entry.FileNameLength / sizeof(WCHAR); ++i) {  // ASCII names: a unit is a character
        WCHAR unit;
        std::memcpy(&unit, at + offsetof(FILE_NOTIFY_INFORMATION, FileName) + i * sizeof unit, sizeof unit);
        line += static_cast<char>(unit);
      }
      if (self.told.empty() || self.told.back() != line) self.told.push_back(line);
      if (entry.NextEntryOffset == 0) break;
    }
  }
  DWORD filter_;
  std::vector<DWORD> buffer_;  // DWORD-aligned, as the function requires
  HANDLE handle_;
  OVERLAPPED overlapped_{};
  bool pending_ = false;
};

// A folder holding a.log and b.log, watched, in a scratch directory that holds c.log.
struct Scene {
  fs::path folder, outside;
  Watcher& watcher;
};
void make_new(const Scene& s) { std::ofstream(s.folder / "new.log"); }
void make_sub(const Scene& s) { fs::create_directory(s.folder / "sub"); }
void append_a(const Scene& s) { std::ofstream(s.folder / "a.log", std::ios::app) << "more\n"; }
void append_b(const Scene& s) { std::ofstream(s.folder / "b.log", std::ios::app) << "more\n"; }
void read_only_a(const Scene& s) { fs::permissions(s.folder / "a.log", fs::perms::all, fs::perm_options::remove); }
void read_only_b(const Scene& s) { fs::permissions(s.folder / "b.log", fs::perms::all, fs::perm_options::remove); }
void remove_a(const Scene& s) { fs::remove(s.folder / "a.log"); }
void move_a_out(const Scene& s) { fs::rename(s.folder / "a.log", s.outside / "a.log"); }
void remove_folder(const Scene& s) { for (const char* name : {"a.log", "b.log", ""}) fs::remove(s.folder / name); }
// A change the request does not ask for, a quiet while, and one it asks for, which must be the first told.
template <void (*unasked)(const Scene&), void (*asked)(const Scene&)>
void unasked_then(const Scene& s) {
  unasked(s);
  wait_alertably(Clock::now() + kQuiet, [] { return true; });
  asked(s);
}
// Another handle, on `folder` and asking for `filter`, is told `expected` of `change`; then it is closed.
void another_handle(const Scene& s, const fs::path& folder, DWORD filter, void (*change)(const Scene&),
                    const std::string& expected) {
  Watcher other(folder, filter, kRoom);
  other.request();
  change(s);
  wait_alertably(Clock::now() + kBound, [&] { return other.pending(); });
  EXPECT_EQ(other.told, std::vector<std::string>{expected}) << "another handle";
}

// What a folder tells of `act`; `then` runs after the first completion, with no request; `wine`: Wine's, if different.
struct Row {
  const char* what;
  DWORD filter, size;
  void (*act)(const Scene&);
  const char* told;
  void (*then)(const Scene&) = nullptr;
  const char* wine = nullptr;
};
const Row kRows[] = {
    {"a file made", kNames, kRoom, make_new, "added new.log"},
    {"a file appended to", kWrites, kRoom, append_a, "modified a.log"},
    {"a file made read-only", kStatus, kRoom, read_only_a, "modified a.log"},
    {"a file deleted", kNames, kRoom, remove_a, "removed a.log"},
    {"a subfolder made", kNames, kRoom, make_sub, "added sub"},
    {"a file renamed in the folder", kNames, kRoom,
     [](const Scene& s) { fs::rename(s.folder / "a.log", s.folder / "z.log"); }, "old a.log, new z.log"},
    // A move between folders is a removal from one and an addition to the other.
    {"a file moved out to a watched folder", kNames, kRoom,
     [](const Scene& s) { another_handle(s, s.outside, kNames, move_a_out, "added a.log"); }, "removed a.log"},
    {"a file moved in", kNames, kRoom, [](const Scene& s) { fs::rename(s.outside / "c.log", s.folder / "c.log"); },
     "added c.log"},
    {"a subfolder is no file name", FILE_NOTIFY_CHANGE_FILE_NAME, kRoom, unasked_then<make_sub, make_new>,
     "added new.log"},
    {"an append is no name", kNames, kRoom, unasked_then<append_a, make_new>, "added new.log"},
    {"read-only is no write", kWrites, kRoom, unasked_then<read_only_a, append_b>, "modified b.log"},
    {"an append is no attribute", kStatus, kRoom, unasked_then<append_a, read_only_b>, "modified b.log"},
    {"more than a small buffer holds", kNames, 64,
     [](const Scene& s) { for (int i = 0; i < 40; ++i) std::ofstream(s.folder / ("file" + std::to_string(i) + ".log")); },
     "overflow"},
    // Windows keeps the changes from a handle's first request on, also while it waits for another handle.
    {"changes between two requests", kNames, kRoom, make_new, "added new.log, removed a.log",
     [](const Scene& s) { another_handle(s, s.folder, kNames, remove_a, "removed a.log"); }},
    // Closing a handle cancels its request; Wine ends it with ERROR_HANDLES_CLOSED instead.
    {"the handle closed under a request", kNames, kRoom, [](const Scene& s) { s.watcher.close(); }, "error 995",
     nullptr, "error 676"},
    // Each handle is told what it asks for, and closing one leaves the other's requests be.
    {"another handle asking for writes, then closed", kNames, kRoom,
     [](const Scene& s) {
       another_handle(s, s.folder, kWrites, append_a, "modified a.log");
       make_new(s);
     },
     "added new.log"},
    // A folder marked for deletion ends requests with ERROR_ACCESS_DENIED; Wine keeps it until its last handle closes.
    {"the folder deleted", kNames, kRoom, remove_folder, "error 5", nullptr, "removed a.log, removed b.log"},
    {"the folder deleted under a request for writes, another handle on it closed", kWrites, kRoom,
     [](const Scene& s) {
       another_handle(s, s.folder, kNames, remove_a, "removed a.log");
       remove_folder(s);
     },
     "error 5", nullptr, ""},
};

// The lines told, request after request, until the expected number came, an overflow or error ended them (standing
// for all before it), or kBound passed (kQuiet when nothing is expected).
std::string told(const Row& row, const Scene& scene, const std::string& expected) {
  const bool ends = expected.ends_with("overflow") || expected.starts_with("error");
  const auto lines = expected.empty() ? 0 : static_cast<std::size_t>(1 + std::ranges::count(expected, ','));
  Watcher& watcher = scene.watcher;
  const auto deadline = Clock::now() + (lines == 0 ? kQuiet : kBound);
  watcher.request();
  row.act(scene);
  for (bool first = true;; first = false) {
    wait_alertably(deadline, [&] { return watcher.pending(); });
    if (watcher.pending() || watcher.ended() || (!ends && lines > 0 && watcher.told.size() >= lines)) break;
    if (first && row.then) row.then(scene);
    watcher.request();
  }
  if (watcher.ended()) watcher.told.erase(watcher.told.begin(), watcher.told.end() - 1);
  std::string text;
  for (const std::string& line : watcher.told) text += (text.empty() ? "" : ", ") + line;
  return text;
}

TEST(Notices, WhatAFolderTells) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    support::ScratchDir dir;
    const fs::path folder = dir.path() / "watched";
    fs::create_directory(folder);
    for (const char* name : {"watched/a.log", "watched/b.log", "c.log"}) dir.write(name, "1\n");
    Watcher watcher(folder, row.filter, row.size);
    const std::string expected = kWine && row.wine ? row.wine : row.told;
    EXPECT_EQ(told(row, Scene{folder, dir.path(), watcher}, expected), expected);
    std::error_code ignored;  // Windows deletes no read-only file
    for (const char* name : {"a.log", "b.log"}) fs::permissions(folder / name, fs::perms::owner_all, ignored);
  }
}
}  // namespace
