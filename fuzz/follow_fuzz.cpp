// Fuzzing follow mode against a model of what its user sees while the followed files change between polls. Input:
//   byte 0: bit 0 -F, else -f; bits 1-2: 1 -q, 2 -v; bits 3-5 modulo 6: the unit, a letter of "lbckmn"; bit 6: count
//   from the beginning; bit 7: text mode, as on Windows (streams text streams by default, the standard streams too).
//   byte 1: the count. byte 2: modulo 4 the number of files (0 is 1); bit 2 + k: file k missing at the start; bit 5:
//   the system refuses to tell changes of their directory; bit 6: each step says how it is heard; bit 7: -s 0.05.
//   Then each file's content, ended by a zero byte; then up to 64 steps, one at each pause: a byte whose bits 4-6 pick
//   a file and whose low nibble modulo 11 is the kind, with bit 6 of byte 2 a byte saying how the change is heard, and
//   a text ended by a zero byte. In a content beginning FF FE or FE FF, or the texts of a step byte with bit 7
//   (UTF-16), 01 stands for a zero byte and 02 for the byte after it.
// Kinds: 0 nothing; 1 append the text; 2 truncate to the size its digits give; 3 rewrite in place (creates a missing
//   file); 4 rename away, then create with it; 5 delete, then create; 6 make the name unreadable (CreateFileW: access
//   denied; the file loses its write permission), or readable again; 7 append, and a second text (zero-ended too) once
//   the next poll has read from the file, else at the pause after it; 8 natively make the name a FIFO; 9 rename away;
//   10 standard output refuses writes from now on (disk full).
// How heard, bits 0-1: 0 every watched directory overflows (every step without bit 6 of byte 2); 1 the notice names
//   what changed (a rename: old name, then new); 2 it names another file only; 3 nothing: the pause lasts until the
//   clock. Bit 2: the notice comes at the next pause; bit 3: names in capitals; bit 4: the step writes to and deletes
//   the file renamed away last from the name, once there is one (a writer that kept its descriptor; a rotation).
// The run ends at the pause after the last step. After every change the model learns from the system what each name
// leads to and where each input's file is (identity with creation time, links, last write time, content). Standard
// output must hold the initial parts (the command target's model), then what each poll finds new, input by input:
// with line units a file's first bytes decide its encoding (an empty file or one holding a mark's beginning alone
// waits, decided by the first read of a later poll, and again once truncated, rewritten or replaced), UTF-16 is read
// after its mark as characters in the output page (fuzz/harness.h), a character a read cuts written once its rest
// comes; standard error exactly the notices these rules give:
// - A notice has the inputs it names polled (all on an overflow), by name looked up first; a rename it tells carries
//   an input of -f to the new name. The clock polls every input, and looks each name up at least once in 16 of its
//   polls, and at every one while its directory cannot be watched or a notice left it unsure (observed: CreateFileW).
// - Only a clock poll finds a name that opens nothing (missing, unreadable, no disk file, its file deleted)
//   "inaccessible"; a notice's poll leaves the input as it was, so a rotation told in two steps is one "replaced". A
//   file let go is back "accessible again", where it left off, only with the index and creation time it had; another
//   "appeared". Before another file or none the old one is read to its end; a new one is read from its start.
// - A file smaller than the most known of it, or whose last bytes read differ (looked at when it grew or its last
//   write time moved), is "truncated", and read again from its start.
// Once standard output refuses writes, the first poll that writes must end the run with the message and status 1.
// After each poll the program holds a descriptor and a handle for each file it follows, and a handle and a request
// under way for each directory it watches, no more.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "fuzz/harness.h"
#include "runtime/msg/diag.h"
#include "runtime/stdio/stream.h"
#include "runtime/win32/fd.h"
#include "tail/tail.h"

namespace {

constexpr std::size_t kWindow = tail::kCheckSize;  // the last bytes read, which tell a rewrite
using Identity = std::array<std::uint64_t, 3>;  // volume serial number, file index, creation time
// While a handle holds a file the index tells; else the creation time must match too: a new file may reuse an index.
bool same(const Identity& a, const Identity& b) { return a[0] == b[0] && a[1] == b[1]; }
bool same_since(const Identity& a, const Identity& b) { return same(a, b) && a[2] != 0 && a[2] == b[2]; }
struct Found {  // what a name leads to
  enum { kMissing, kFifo, kFile } kind = kMissing;
  Identity id{};
  DWORD links = 0;
  std::uint64_t written = 0;  // last write time
  std::string content;
};
struct Input {  // the model's view of one operand
  std::string name, full_name;  // as given, and as CreateFileW gets it
  std::string leaf, away;       // the name its directory's notices give it; the file last renamed away from the name
  Found now;
  bool unreadable = false;
  bool held = false;            // following an open file
  bool known = false;           // a file was followed: the fields below are its
  Found file;                   // that file, as the model last learned it
  std::int64_t position = 0;
  std::int64_t most = 0;        // the largest size seen, or the offset read up to
  std::int64_t last_size = 0;   // when the file was last read to its end, with last_written; -1: not since it was taken
  std::uint64_t last_written = 0;
  std::string window;           // the last bytes read, before the position
  bool cr = false;              // a CR waits for the next byte
  harness::Encoding encoding = harness::Encoding::kBytes;  // what its first bytes made it (kBytes with byte units)
  std::string cut;              // UTF-16: the bytes of a character a read cut, waiting for the rest
  bool named = false;           // some name leads to the file followed
  bool unsure = false;          // a poll that a notice started found the name opening nothing
  unsigned unlooked = 0;        // clock polls since the last that looked the name up
};
enum Told { kOverflow, kName, kOtherName, kNothing };  // how a step's change is heard: bits 0-1 of its byte
struct Step {
  int kind, file;
  unsigned told;
  std::string text, later;
};
struct Notice {  // a change a directory tells: a name in it, or more than it can hold
  bool overflow;
  std::string name;
  DWORD action;
};
struct Poll {  // one the program makes, at the clock or of the inputs a notice concerns, and the names it looked up
  bool clock;
  std::array<bool, 3> touched{}, looked{};
};
struct WriteFailed {};  // a write to standard output failed: the program ends at its next flush
std::string g_directory, g_full_directory;
bool g_refused;  // the system refuses to tell changes of the directory
std::string_view g_input;
struct Model {  // what one run's model knows
  harness::Selection selection;
  std::vector<Input> inputs;
  bool text, lines, headers, by_name;
  int written = -1;                    // the input whose bytes were written last
  std::string out;
  std::vector<std::string> err;        // the lines of standard error
  std::vector<Step> steps;
  std::size_t next = 0;                // the step of the next pause
  bool following = false;              // following has begun: it has read the clock
  std::vector<Poll> polls;             // made since the last pause: they are modelled at the next
  ULONGLONG clock = ~ULONGLONG{0};     // the next clock poll: a wakeable pause's end, or an interval after the last
  ULONGLONG interval = 2000;           // -s, in milliseconds
  std::vector<Notice> late;            // told at the next pause
  int away = 0;                        // files renamed away so far
  std::optional<std::pair<std::string, std::string>> later;  // step 7: where its second text goes, and the text
  std::optional<Found> later_file, taken;  // the file whose first read lets it in, as it was; once read, taken
  bool full = false;                   // standard output refuses writes
  bool failed = false;                 // a write failed: the next flush ends the program
  unsigned identities = 0;             // the program's reads of a file's identity
} g;
// As the input spells a text that may hold zero bytes: 01 for a zero byte, 02 before a byte that stands for itself.
std::string spelled(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool escaped = text[i] == '\x02' && i + 1 < text.size();
    i += escaped;
    bytes += text[i] == '\x01' && !escaped ? '\0' : text[i];
  }
  return bytes;
}
[[noreturn]] void fail(const char* what) {
  std::cerr << what << "\nexpected:\n" << g.out << "\n";
  for (const std::string& line : g.err) std::cerr << line << "\n";
  std::cerr << "got:\n" << harness::run.out << "\n" << harness::run.err << "\nthe input:";
  for (const char c : g_input) std::cerr << ' ' << static_cast<unsigned>(static_cast<unsigned char>(c));
  std::cerr << "\n";
  __builtin_trap();
}
// Under its header at the start or when another input was written last. A write standard output refuses fails.
void emit(int k, const std::string& bytes, bool starting = false) {
  std::string text = bytes;
  if (g.headers && (starting || (!bytes.empty() && g.written != k))) {
    text = (g.out.empty() ? "==> " : "\n==> ") + g.inputs[k].name + " <==\n" + bytes;
    g.written = k;
  }
  g.failed |= g.full && !text.empty();
  if (!g.full) g.out += g.text && g.lines ? harness::written_as_text(text) : text;
}
// The program writes what it holds: before each read of a file, and at the end of each poll.
void flush() { if (g.failed) throw WriteFailed{}; }
// Its file was found truncated, replaced or let go.
void release_cr(int k) {
  if (g.inputs[k].cr) emit(k, "\r");
  g.inputs[k].cr = false;
}
// A file followed from its start: with line units its first bytes decide its encoding.
void start_text(Input& in) {
  in.encoding = g.lines ? harness::Encoding::kUndecided : harness::Encoding::kBytes;
  in.cut.clear();
}
void truncated(int k) {
  Input& in = g.inputs[k];
  g.err.push_back("tail: " + in.name + ": file truncated");
  release_cr(k);
  in.position = in.most = 0;
  in.window.clear();
  start_text(in);
}
// Not read while size and last write time are what the last poll that read it to its end took before reading. A file
// smaller than the most known, or whose last bytes read are gone, is read again from its start; so is one whose
// encoding is still to decide, and only once its first read decides.
void read_on(int k) {
  Input& in = g.inputs[k];
  const std::string& content = in.file.content;
  const auto size = static_cast<std::int64_t>(content.size());
  if (size >= in.most && size == in.last_size && in.file.written == in.last_written) return;
  if (size < in.most) truncated(k);
  flush();
  const std::size_t w = in.window.size();
  if (w != 0 && (size < in.position || content.compare(in.position - w, w, in.window) != 0)) {
    truncated(k);
    flush();
  }
  // The file as the poll took it before reading: step 7 appends its second text while the first read runs.
  const Found& took = g.taken && same(g.taken->id, in.file.id) ? *g.taken : in.file;
  const auto taken = static_cast<std::int64_t>(took.content.size());
  std::string text = content.substr(std::min<std::size_t>(in.position, content.size()));
  if (in.position < size && in.encoding == harness::Encoding::kUndecided) {
    // The bytes of the first read decide (from the start); while they do not, nothing more is read.
    in.encoding = harness::encoding_of(content.substr(0, taken), true);
    if (harness::is_utf16(in.encoding)) text.erase(0, 2);  // the mark: no text
  }
  if (in.position < size && in.encoding != harness::Encoding::kUndecided) {
    // What is new, read as characters from UTF-16, and as text by line units in text mode: a CR at the end waits.
    if (harness::is_utf16(in.encoding)) {
      text = harness::from_utf16(in.cut + text, in.encoding == harness::Encoding::kUtf16Be, &in.cut);
    }
    if (g.text && g.lines) text = harness::read_as_text((in.cr ? "\r" : "") + text);
    in.cr = g.text && g.lines && !text.empty() && text.back() == '\r';
    if (in.cr) text.pop_back();
    emit(k, harness::is_utf16(in.encoding) ? harness::in_output_page(text) : text);
    flush();
    in.position = size;
    in.window = content.substr(content.size() - std::min(kWindow, content.size()));
  }
  in.most = std::max(in.most, in.encoding == harness::Encoding::kUndecided ? taken : size);
  in.last_size = taken;
  in.last_written = took.written;
  if (&took != &in.file) g.taken.reset();
}
std::uint64_t ticks(const FILETIME& time) { return std::uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime; }
Identity identity(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber, std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow,
          ticks(info.ftCreationTime)};
}
Found find(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_fifo(path, error)) return Found{Found::kFifo, {}, 0, 0, {}};
  Found found;
  HANDLE file = ::CreateFileW(reinterpret_cast<LPCWSTR>(harness::widen(path).c_str()), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (file != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(file, &info)) {
    found = Found{Found::kFile, identity(info), info.nNumberOfLinks, ticks(info.ftLastWriteTime), {}};
    char chunk[4096];
    DWORD done;
    while (::ReadFile(file, chunk, sizeof chunk, &done, nullptr) && done > 0) found.content.append(chunk, done);
  }
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  return found;
}
// -F, where the program looked the name up, by the rules above (a file without links opens nothing); a file let go
// can come back only while it still has a name.
void look_up(int k, bool clock) {
  Input& in = g.inputs[k];
  const bool opens = !in.unreadable && in.now.kind == Found::kFile && in.now.links != 0;
  const std::string quoted = "tail: '" + in.name + "' has ";
  in.unsure = in.held && !opens && !clock;
  if (in.unsure || (in.held && opens && same(in.now.id, in.file.id))) return;
  if (in.held) {
    read_on(k);
    release_cr(k);
    in.held = false;
    in.known = in.named;
    if (!opens) {
      const DWORD reason = in.unreadable ? ERROR_ACCESS_DENIED
                           : in.now.kind == Found::kFifo ? ERROR_INVALID_PARAMETER  // no disk file
                                                         : ERROR_FILE_NOT_FOUND;
      return g.err.push_back(quoted + "become inaccessible: " + rt::strerror(reason));
    }
    g.err.push_back(quoted + "been replaced; following new file");
  } else if (!opens) {
    return;
  } else if (in.known && same_since(in.file.id, in.now.id)) {
    in.held = true;
    in.last_size = -1;  // what it holds is checked
    return g.err.push_back(quoted + "become accessible again; following on where it left off");
  } else {
    g.err.push_back(quoted + "appeared; following new file");
  }
  in.held = in.known = true;
  in.file = in.now;
  in.position = in.most = 0;
  in.last_size = -1;  // read at the first poll
  in.window.clear();
  start_text(in);
}
// The initial parts, and where following starts: a file's end, or a start point beyond it.
void start() {
  const harness::Selection& s = g.selection;
  const std::int64_t offset = std::max<std::int64_t>(s.count * harness::unit_size(s.unit) - 1, 0);  // +0, +1: the first
  for (int k = 0; k < static_cast<int>(g.inputs.size()); ++k) {
    Input& in = g.inputs[k];
    if (in.now.kind != Found::kFile) {
      g.err.push_back("tail: input file \"" + in.name + "\": " + rt::strerror(ERROR_FILE_NOT_FOUND));
      continue;
    }
    std::string part = harness::part_of(in.now.content, true, s, g.text, true).value();
    in.cr = g.text && g.lines && !part.empty() && part.back() == '\r';
    if (in.cr) part.pop_back();
    emit(k, part, true);
    const auto size = static_cast<std::int64_t>(in.now.content.size());
    in.held = in.known = in.named = true;
    in.file = in.now;
    in.last_written = in.now.written;
    in.position = !g.lines && s.from_start ? std::max(size, offset) : size;
    start_text(in);
    if (g.lines) in.encoding = harness::encoding_of(in.now.content, true);
    if (in.encoding == harness::Encoding::kUndecided) in.position = 0;  // read from its start once its bytes decide
    if (harness::is_utf16(in.encoding)) {
      // Up to a character its end cuts, which the first poll reads again; with no lines wanted, to its last unit.
      std::string cut;
      harness::from_utf16(std::string_view(in.now.content).substr(2), in.encoding == harness::Encoding::kUtf16Be, &cut);
      const auto whole = size - static_cast<std::int64_t>(cut.size());
      in.position = s.count == 0 && !s.from_start ? size & ~std::int64_t{1} : whole;
    }
    in.most = size;
    in.last_size = in.position >= size ? size : -1;
    if (in.position <= size) {  // the bytes before a start point beyond the end are none
      const auto before = static_cast<std::size_t>(in.position);
      in.window = in.now.content.substr(before - std::min(kWindow, before), std::min(kWindow, before));
    }
  }
}
// What name k leads to, and where the file it follows or let go is: its content, last write time, whether named.
void learn(int k) {
  Input& in = g.inputs[k];
  in.now = find(in.name);
  const auto is_it = [&in](const Found& file) {
    return in.known && file.kind == Found::kFile && (in.held ? same : same_since)(in.file.id, file.id);
  };
  Found file = in.now;
  for (auto entry = std::filesystem::directory_iterator(g_directory);
       in.known && !is_it(file) && entry != std::filesystem::directory_iterator(); ++entry) {
    file = find(entry->path().string());
  }
  if ((in.named = is_it(file))) in.file = file;
}
// A FIFO is left alone: it would wait for a reader.
void write(const std::string& path, const std::string& text, std::ios::openmode mode) {
  std::error_code error;
  if (!std::filesystem::is_fifo(path, error)) std::ofstream(path, std::ios::binary | mode) << text;
}
void append_later() {
  write(g.later->first, g.later->second, std::ios::app);
  g.later.reset();
  g.later_file.reset();
  for (int k = 0; k < static_cast<int>(g.inputs.size()); ++k) learn(k);
}
// Changes name k (or the file renamed away from it), then looks: the changes as the directory tells them, if it does.
std::vector<Notice> apply(const Step& step) {
  Input& in = g.inputs[step.file];
  const std::string leaf(1, "abc"[step.file]), at = (step.told & 16) && !in.away.empty() ? in.away : leaf;
  const std::string path = g_directory + "/" + at;
  std::vector<Notice> changes = {{false, at, FILE_ACTION_MODIFIED}};
  std::error_code ignored;  // a change the system refuses is no change: the look tells
  if (step.kind == 6) {
    in.unreadable = !in.unreadable;
    const auto change = in.unreadable ? std::filesystem::perm_options::remove : std::filesystem::perm_options::add;
    std::filesystem::permissions(in.name, std::filesystem::perms::owner_write, change, ignored);
  }
  if (step.kind == 1 || step.kind == 7) write(path, step.text, std::ios::app);
  if (step.kind == 2 && !std::filesystem::is_fifo(path, ignored)) {
    std::uintmax_t size = 0;  // at most 1 MiB
    for (const char c : step.text) {
      if (c >= '0' && c <= '9') size = std::min<std::uintmax_t>(size * 10 + static_cast<unsigned>(c - '0'), 1 << 20);
    }
    std::filesystem::resize_file(path, size, ignored);
  }
  if (step.kind == 4 || step.kind == 9) {
    const std::string away = leaf + "." + std::to_string(++g.away);
    std::error_code error;
    std::filesystem::rename(in.name, g_directory + "/" + away, error);
    if (!error) {
      changes = {{false, leaf, FILE_ACTION_RENAMED_OLD_NAME}, {false, in.away = away, FILE_ACTION_RENAMED_NEW_NAME}};
    }
  }
  if (step.kind == 5 && std::filesystem::remove(path, ignored)) changes[0].action = FILE_ACTION_REMOVED;
  if (step.kind == 3) write(path, step.text, std::ios::trunc);
  if (step.kind == 4 || step.kind == 5) {
    write(in.name, step.text, std::ios::trunc);
    changes.push_back({false, leaf, FILE_ACTION_ADDED});
  }
#ifndef _WIN32
  if (step.kind == 8) {
    std::filesystem::remove(in.name, ignored);
    ::mkfifo(in.name.c_str(), 0600);
    changes = {{false, leaf, FILE_ACTION_REMOVED}};
  }
#endif
  learn(step.file);
  if (step.kind == 7) {
    g.later = {path, step.later};
    if (const Found file = find(path); file.kind == Found::kFile) g.later_file = file;
  }
  g.full |= step.kind == 10;
  harness::run.full = g.full;
  if ((step.told & 3) == kOverflow) return {{true, "", 0}};
  if ((step.told & 3) == kOtherName) changes = {{false, leaf + "~", FILE_ACTION_MODIFIED}};
  for (Notice& change : changes) {
    if (step.told & 8) std::transform(change.name.begin(), change.name.end(), change.name.begin(), ::toupper);
  }
  return (step.told & 3) == kNothing ? std::vector<Notice>{} : changes;
}
struct Request {  // a directory change request the program made, told of no change yet
  LPVOID buffer;  // room for 4096 bytes, more than a few entries need
  DWORD filter;
  LPOVERLAPPED overlapped;
  LPOVERLAPPED_COMPLETION_ROUTINE routine;
};
std::vector<Request> g_requests;
ULONGLONG g_now = 0;  // the clock the program reads: moved on by the pauses alone
// Tells every request that more changed than it can hold. True when there was any.
bool notify_all() {
  const std::vector<Request> due = std::exchange(g_requests, {});
  for (const Request& request : due) request.routine(NO_ERROR, 0, request.overlapped);
  return !due.empty();
}
// An overflow to every request; names to the files' directory's request (the one asked for sizes: the one above is
// asked for names only), an entry each. The inputs to poll now: those named (in any case), all on an overflow.
std::array<bool, 3> tell(const std::vector<Notice>& due) {
  std::array<bool, 3> touched{};
  if (std::any_of(due.begin(), due.end(), [](const Notice& notice) { return notice.overflow; })) {
    notify_all();
    return {true, true, true};
  }
  const auto files = std::find_if(g_requests.begin(), g_requests.end(),
                                  [](const Request& r) { return (r.filter & FILE_NOTIFY_CHANGE_SIZE) != 0; });
  if (files == g_requests.end()) fail("the files' directory has no request under way");
  if ((files->filter & FILE_NOTIFY_CHANGE_FILE_NAME) == 0) fail("the files' directory is not asked to tell renames");
  const Request request = *files;
  g_requests.erase(files);
  std::string entries;
  for (std::size_t i = 0; i < due.size(); ++i) {
    const std::u16string name(due[i].name.begin(), due[i].name.end());  // ASCII: a unit each
    const auto size = static_cast<DWORD>(offsetof(FILE_NOTIFY_INFORMATION, FileName) + 2 * name.size());
    const FILE_NOTIFY_INFORMATION entry{i + 1 < due.size() ? (size + 3) / 4 * 4 : 0, due[i].action,
                                        static_cast<DWORD>(2 * name.size()), {}};
    entries.resize((entries.size() + 3) / 4 * 4);  // each entry begins on a DWORD
    entries.append(reinterpret_cast<const char*>(&entry), offsetof(FILE_NOTIFY_INFORMATION, FileName));
    entries.append(reinterpret_cast<const char*>(name.data()), 2 * name.size());
    const bool renamed = due[i].action == FILE_ACTION_RENAMED_OLD_NAME && i + 1 < due.size() &&
                         due[i + 1].action == FILE_ACTION_RENAMED_NEW_NAME;
    for (std::size_t k = 0; k < g.inputs.size(); ++k) {
      Input& in = g.inputs[k];
      const auto fold = [](char a, char b) { return std::tolower(a) == std::tolower(b); };
      if (!std::equal(in.leaf.begin(), in.leaf.end(), due[i].name.begin(), due[i].name.end(), fold)) continue;
      touched[k] = true;
      if (renamed && !g.by_name) in.leaf = due[i + 1].name;
    }
  }
  std::memcpy(request.buffer, entries.data(), entries.size());
  request.routine(NO_ERROR, static_cast<DWORD>(entries.size()), request.overlapped);
  return touched;
}
// The polls since the last pause: in each the inputs it concerns in turn, the name looked up first where the program
// looked it up, as the rules want. True when a write failed: the program ends.
bool model_polls() {
  try {
    for (const Poll& poll : std::exchange(g.polls, {})) {
      for (int k = 0; k < static_cast<int>(g.inputs.size()); ++k) {
        Input& in = g.inputs[k];
        const bool looked = poll.looked[k];
        if (g.by_name && !poll.clock && poll.touched[k] && !looked) fail("a name a notice gives is not looked up");
        if (poll.clock && !looked && in.unsure) fail("a name left unsure waits past the next clock poll");
        if (g.by_name && poll.clock && !looked && g_refused) fail("a name no notice tells of waits past a clock poll");
        in.unlooked = !poll.clock ? in.unlooked : looked ? 0 : in.unlooked + 1;
        if (g.by_name && in.unlooked == 16) fail("a name went 16 clock polls without a look-up");
        if (!poll.clock && !poll.touched[k] && !looked) continue;
        if (looked) look_up(k, poll.clock);
        if (in.held) read_on(k);
      }
      flush();
    }
  } catch (const WriteFailed&) {
    g.err.push_back(std::string("tail: write error on standard output: ") + rt::strerror(ERROR_DISK_FULL));
    return true;
  }
  return false;
}
// After a poll: a descriptor and handle per file followed, a handle and request per directory watched (-F: two).
void check_held() {
  std::size_t descriptors = 0;
  for (int fd = 3; fd < rt::fd_count; ++fd) descriptors += rt::fd_table[fd] != nullptr;
  const auto open = std::count_if(g.inputs.begin(), g.inputs.end(), [](const Input& in) { return in.held; });
  const std::size_t directories = g_refused ? 0 : g.by_name ? 2 : 1;
  if (descriptors != static_cast<std::size_t>(open) || harness::run.handles.size() != descriptors + directories ||
      g_requests.size() != directories) {
    std::cerr << descriptors << " descriptors, " << harness::run.handles.size() << " handles, " << g_requests.size()
              << " requests for " << open << " files followed and " << directories << " directories watched\n";
    fail("the program holds too much");
  }
}
// An alertable pause models the polls before it, takes the next step and tells the notices due (the last step's late
// ones and this one's); with none told (or requests refused) it lasts until the clock, whose poll follows. After the
// last step the run ends, standard output flushed as the next read would. A pause notices cannot wake only moves the
// clock on (a clock poll once it is reached); one of no time, between two parts of a clock poll, hears what has come.
DWORD pause(DWORD milliseconds, BOOL alertable) {
  if (milliseconds == 0) return 0;
  if (!alertable) {
    g_now += milliseconds;
    if (g_now >= g.clock) {
      g.polls.push_back(Poll{true});
      g.clock = g_now + g.interval;
    }
    return 0;
  }
  g.clock = g_now + milliseconds;
  if (model_polls()) fail("a poll must end the program: a write failed");
  check_held();
  if (g.later) append_later();
  if (g.next == g.steps.size()) {
    rt::fflush(rt::stdout);
    throw harness::Ended{0};
  }
  const Step& step = g.steps[g.next++];
  const std::vector<Notice> told = apply(step);
  std::vector<Notice> due = std::exchange(g.late, {});
  std::vector<Notice>& when = (step.told & 4) ? g.late : due;
  when.insert(when.end(), told.begin(), told.end());
  if (!due.empty() && !g_requests.empty()) {
    g.polls.push_back(Poll{false, tell(due)});
    return WAIT_IO_COMPLETION;
  }
  g.polls.push_back(Poll{true});
  g_now = g.clock;
  return 0;
}
// CreateFileW: once following has begun, a name opened is looked up by the poll under way.
HANDLE open_name(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                 DWORD attributes, HANDLE template_file) {
  for (std::size_t k = 0; k < g.inputs.size(); ++k) {
    if (harness::narrow(name) != g.inputs[k].full_name) continue;
    if (g.following && !g.polls.empty()) g.polls.back().looked[k] = true;
    if (g.inputs[k].unreadable) return harness::failing(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  }
  return harness::create_file(name, access, share, security, disposition, attributes, template_file);
}
// A read that gave bytes of the file step 7 waits for lets its second text in: the rest of the poll reads it.
BOOL read_file(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped) {
  const BOOL read = harness::read(file, buffer, to_read, done, overlapped);
  BY_HANDLE_FILE_INFORMATION info;
  if (read && *done > 0 && g.later_file && !harness::standard(file) && ::GetFileInformationByHandle(file, &info) &&
      same(identity(info), g.later_file->id)) {
    g.taken = g.later_file;
    append_later();
  }
  return read;
}
// ReadDirectoryChangesW: kept for the pauses to answer, or refused as on a network share.
BOOL watch(HANDLE, LPVOID buffer, DWORD, BOOL, DWORD filter, LPDWORD, LPOVERLAPPED overlapped,
           LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (g_refused) return harness::failing<BOOL>(ERROR_INVALID_FUNCTION, FALSE);
  g_requests.push_back(Request{buffer, filter, overlapped, routine});
  return TRUE;
}
// GetFileAttributesW: the system's in the files' directory; no message catalogue anywhere.
DWORD attributes_of(LPCWSTR name) {
  return harness::narrow(name).starts_with(g_full_directory) ? ::GetFileAttributesW(name) : INVALID_FILE_ATTRIBUTES;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_directory = harness::scratch_directory("follow");
  g_full_directory = harness::full_path(g_directory);
  harness::install();
  w32::hook::replacements.ReadDirectoryChangesW = watch;
  w32::hook::replacements.GetFileAttributesW = attributes_of;
  w32::hook::replacements.CreateFileW = open_name;
  w32::hook::replacements.ReadFile = read_file;
  w32::hook::replacements.SleepEx = pause;
  // Wine now and then tells no volume serial number: every third identity the program reads has none.
  static const auto identify = w32::hook::replacements.GetFileInformationByHandle;
  w32::hook::replacements.GetFileInformationByHandle = [](HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) -> BOOL {
    if (!identify(file, info)) return FALSE;
    if (++g.identities % 3 == 0) info->dwVolumeSerialNumber = 0;
    return TRUE;
  };
  w32::hook::replacements.GetTickCount64 = [] {
    g.following = true;
    return g_now;
  };
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  g_input = std::string_view(reinterpret_cast<const char*>(data), size);
  std::string_view rest = g_input.substr(3);
  const auto field = [&rest] {
    const std::string text(rest.substr(0, rest.find('\0')));
    rest.remove_prefix(std::min(text.size() + 1, rest.size()));
    return text;
  };
  const unsigned unit = (data[0] >> 3 & 7) % 6;
  const unsigned headers = data[0] >> 1 & 3;
  const int files = std::max(data[2] % 4, 1);
  g = Model{};
  g.selection = harness::Selection{"lbckmn"[unit], data[1], (data[0] & 64) != 0};
  std::vector<std::string> words = {"tail", data[0] & 1 ? "-F" : "-f", std::string("-") + g.selection.unit,
                                    (g.selection.from_start ? "+" : "") + std::to_string(data[1])};
  if (headers == 1 || headers == 2) words.push_back(headers == 1 ? "-q" : "-v");
  if (data[2] & 128) {
    words.insert(words.end(), {"-s", "0.05"});
    g.interval = 50;
  }
  g.text = w32::kTextModeByDefault || (data[0] & 128) != 0;
  g.lines = unit == 0 || unit == 5;
  g.headers = headers == 2 || (headers != 1 && files > 1);
  g.by_name = data[0] & 1;
  g_refused = data[2] & 32;
  std::filesystem::remove_all(g_directory);
  std::filesystem::create_directories(g_directory);
  g.inputs.resize(static_cast<std::size_t>(files));
  for (int k = 0; k < files; ++k) {
    Input& in = g.inputs[k];
    in.leaf = std::string(1, "abc"[k]);
    in.name = g_directory + "/" + in.leaf;
    in.full_name = harness::full_path(in.name);
    words.push_back(in.name);
    std::string content = field();
    if (content.starts_with("\xFF\xFE") || content.starts_with("\xFE\xFF")) content = spelled(content);
    if ((data[2] >> (2 + k) & 1) == 0) write(in.name, content, std::ios::trunc);
    learn(k);
  }
  while (!rest.empty() && g.steps.size() < 64) {
    const auto byte = static_cast<unsigned char>(rest[0]);
    rest.remove_prefix(1);
    Step step{byte % 16 % 11, byte / 16 % 8 % files, 0, "", ""};
    if ((data[2] & 64) != 0 && !rest.empty()) {
      step.told = static_cast<unsigned char>(rest[0]);
      rest.remove_prefix(1);
    }
    step.text = field();
    if (step.kind == 7) step.later = field();
    if (byte & 128) {
      step.text = spelled(step.text);
      step.later = spelled(step.later);
    }
    g.steps.push_back(step);
  }
  start();
  // Following polls every input at the clock before its first pause: it reads again a character cut at the end of an
  // initial part, and the first bytes of a file still to decide.
  g.polls.push_back(Poll{true});
  // -f follows no name that is missing: without a file the command ends at once, having failed.
  const bool follows =
      g.by_name || std::any_of(g.inputs.begin(), g.inputs.end(), [](const Input& in) { return in.held; });
  const unsigned status = harness::run_command(words, "", g.text);
  const bool write_error = model_polls();  // the poll it ended in
  while (notify_all()) {}  // the requests of handles closed at the end free what they held
  std::error_code ignored;  // files left unwritable would stay: Windows deletes none
  for (const auto& entry : std::filesystem::directory_iterator(g_directory, ignored)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write, std::filesystem::perm_options::add,
                                 ignored);
  }
  if (status != (write_error || !follows ? 1u : 0u)) fail("the wrong status");
  std::string err;  // the expected lines of standard error
  for (const std::string& line : g.err) err += line + (g.text ? "\r\n" : "\n");
  if (harness::run.out != g.out || harness::run.err != err) fail("the wrong output");
  return 0;
}