// Fuzzing follow mode against a model of what its user sees while the followed files change between polls. The
// input:
//   byte 0  bit 0: -F, else -f; bits 1-2: 1 -q, 2 -v; bits 3-5 modulo 6: the unit, a letter of "lbckmn"; bit 6: the
//           count is from the beginning; bit 7: text mode, as on Windows, where it always is (streams are text
//           streams by default, the standard streams too)
//   byte 1  the count; byte 2: modulo 4 the number of files (0 is 1), bit 2 + k set when file k is missing at the
//           start, bit 5 set when the system refuses to tell changes of their directory, bit 6 set when each step
//           says how the program hears of it, bit 7 set for -s 0.05: the clock every 50 ms, so that it comes while
//           polls that notices start keep the program deaf to them
//   then each file's content, ended by a zero byte; then up to 64 steps, one at each pause: a byte whose bits 4-6 pick
//   a file and whose low nibble modulo 11 is the kind, with bit 6 of byte 2 a byte that says how the change is heard,
//   and a text ended by a zero byte. Where a text may hold zero bytes (a content that begins with FF FE or FE FF, the
//   texts of a step whose byte has bit 7 set: UTF-16), a byte 01 in it stands for a zero byte and 02 for the byte after
//   it. Kinds: 0 nothing; 1 append the text; 2 truncate to the size its digits give; 3 rewrite in place with it; 4
//   rename away, then create with it; 5 delete, then create; 6 make the name unreadable (CreateFileA fails with access
//   denied, and the file loses its write permission), or readable again; 7 append, and a second text (ended by a zero
//   byte too) once the next poll has read from the file, else at the pause after it; 8 natively make the name a FIFO; 9
//   rename away; 10 standard output refuses writes from now on (its disk is full). How the change is heard: bits 0-1 of
//   that byte: 0 every watched directory tells of more changes than it can hold (what every step does without bit 6 of
//   byte 2); 1 the directory's notice names the file; 2 it names another file only; 3 nothing tells of it: the pause
//   lasts until the clock. Bit 2: the notice comes at the next pause instead; bit 3: it gives the name in capitals.
// The run ends at the pause after the last step. The model learns each name's file (identity, links, content) from
// the system after every change, and must see on standard output the initial parts (the command target's model),
// then what each poll finds new, each input in turn: with line units a file's first bytes decide its encoding (a file
// that is empty or holds the beginning of a mark alone waits, decided by the first read of a later poll, and decided
// again once it is truncated, rewritten or replaced), UTF-16 is read after its mark as characters in the output page
// (fuzz/harness.h), a character a read cuts written once its rest comes; and on standard error exactly the notices of
// the rules below, no more. A poll that a notice starts reads the inputs the notice names (all for an overflow), each
// name looked up first with -F; the clock's poll reads every input, and looks the names up at its first poll and every
// 16th after, and always where the directory cannot be watched. Once standard output refuses writes, the first poll
// that writes must end the run with the message and status 1. After each poll the program holds a descriptor and a
// handle for each file it follows, and a handle and a request under way for each directory it watches, no more.
//
// Contents: 1. the model's state and its polls   2. the steps   3. notices and pauses   4. the other system calls
//           5. the run
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

namespace {

using Identity = std::array<DWORD, 3>;  // volume serial number, file index high and low
constexpr std::size_t kWindow = 64;     // the bytes before the position that tell a rewrite
constexpr char kAnyReason = '\x01';     // ends an expected line whose reason is not known
constexpr unsigned kFullLookUpPolls = 16;

// --- 1. The model's state and its polls ------------------------------------------------------------------------------

// What a name leads to.
struct Found {
  enum { kMissing, kFifo, kFile } kind = kMissing;
  Identity id{};
  DWORD links = 0;
  std::string content;
};

// The model's view of one operand.
struct Input {
  std::string name, full_name;  // as given, and as CreateFileA gets it
  Found now;
  bool unreadable = false;
  bool held = false;            // following an open file
  bool known = false;           // a file was followed: the fields below are its
  Identity id{};
  std::string content;
  std::int64_t position = 0;
  std::int64_t most = 0;        // the largest size seen, or the offset read up to
  std::int64_t last_size = 0;   // when the file was last read to its end; -1: not since it was taken
  std::string window;           // up to kWindow bytes before the position, as they were read
  bool cr = false;              // a CR waits for the next byte
  harness::Encoding encoding = harness::Encoding::kBytes;  // what its first bytes made it (kBytes with byte units)
  std::string cut;              // UTF-16: the bytes of a character a read cut, waiting for the rest
  bool named = false;           // some name led to the file followed before the last poll
};

// How a step's change is heard (bits 0-1 of its byte).
enum Told { kOverflow, kName, kOtherName, kNothing };

struct Step {
  int kind;
  int file;
  unsigned told;
  std::string text, later;
};

// A change a directory tells: a name in it, or more than it can hold.
struct Notice {
  bool overflow;
  std::string name;
  DWORD action;
};

// A poll the program makes: at the clock, or for the inputs a notice concerns.
struct Poll {
  bool clock, full;
  std::vector<bool> touched;
};

// A write to standard output failed: the program ends at its next flush.
struct WriteFailed {};

std::string g_directory, g_full_directory;
bool g_refused;  // the system refuses to tell changes of the directory
std::string_view g_input;

// What one run's model knows.
struct Model {
  harness::Selection selection;
  std::vector<Input> inputs;
  bool text, lines, headers, by_name;
  int written = -1;                    // the input whose bytes were written last
  std::string out;
  std::vector<std::string> err;        // the lines of standard error
  std::vector<Step> steps;
  std::size_t next = 0;                // the step of the next pause
  std::vector<Poll> polls;             // made since the last pause: they are modelled at the next
  ULONGLONG clock = ~ULONGLONG{0};     // when the program polls at the clock: the end of the last pause that
                                       // notices could wake, or an interval after the clock's last poll
  ULONGLONG interval = 2000;           // -s, in milliseconds
  unsigned clock_polls = 0;
  std::vector<Notice> late;            // told at the next pause
  int away = 0;                        // files renamed away so far
  std::optional<Step> later;           // step 7, waiting to append its second text
  std::optional<Identity> later_file;  // the file whose read lets it in
  std::optional<std::pair<Identity, std::int64_t>> taken;  // that file and the size the poll took of it before
  bool full = false;                   // standard output refuses writes
  bool failed = false;                 // a write failed: the next flush ends the program
} g;

// A text that may hold zero bytes, as the input spells it: 01 for a zero byte, 02 before a byte that stands for itself.
std::string spelled(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool escaped = text[i] == '\x02' && i + 1 < text.size();
    i += escaped;
    bytes += text[i] == '\x01' && !escaped ? '\0' : text[i];
  }
  return bytes;
}

// Standard output and error as expected and as written, and the input; then the end of the process.
[[noreturn]] void fail(const char* what) {
  std::cerr << what << "\nexpected:\n" << g.out << "\n";
  for (const std::string& line : g.err) std::cerr << line << "\n";
  std::cerr << "got:\n" << harness::run.out << "\n" << harness::run.err << "\nthe input:";
  for (const char c : g_input) std::cerr << ' ' << static_cast<unsigned>(static_cast<unsigned char>(c));
  std::cerr << "\n";
  __builtin_trap();
}

// Writes bytes of input k, under its header at the start or when another input was written last. A write standard
// output refuses fails.
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
void flush() {
  if (g.failed) throw WriteFailed{};
}

// Writes the CR input k holds back: its file was found truncated, replaced or let go.
void release_cr(int k) {
  if (g.inputs[k].cr) emit(k, "\r");
  g.inputs[k].cr = false;
}

// A file followed from its start: with line units its first bytes decide its encoding.
void start_text(Input& in) {
  in.encoding = g.lines ? harness::Encoding::kUndecided : harness::Encoding::kBytes;
  in.cut.clear();
}

// Input k's file was found truncated or rewritten: it is read again from its start.
void truncated(int k) {
  Input& in = g.inputs[k];
  g.err.push_back("tail: " + in.name + ": file truncated");
  release_cr(k);
  in.position = in.most = 0;
  in.window.clear();
  start_text(in);
}

// A poll of an open file. One of the size the last poll that read it to its end took of it (before reading: step 7
// makes it grow while it is read) is not read. One smaller than the most known of it is truncated, and so is one whose
// bytes before the position are no longer those read there (the first read tells): either is read again from its
// start. A file whose encoding is still to decide is read from its start, and only once its first read decides.
void read_on(int k) {
  Input& in = g.inputs[k];
  const auto size = static_cast<std::int64_t>(in.content.size());
  if (size >= in.most && size == in.last_size) return;
  if (size < in.most) truncated(k);
  flush();
  const std::size_t w = in.window.size();
  if (w != 0 && (size < in.position || in.content.compare(in.position - w, w, in.window) != 0)) {
    truncated(k);
    flush();
  }
  // The size the poll took before it read: step 7 appends its second text while the first read runs.
  const std::int64_t taken = g.taken && g.taken->first == in.id ? g.taken->second : size;
  std::string text = in.content.substr(std::min<std::size_t>(in.position, in.content.size()));
  if (in.position < size && in.encoding == harness::Encoding::kUndecided) {
    // The bytes of the first read decide (from the start); while they do not, nothing more is read.
    in.encoding = harness::encoding_of(in.content.substr(0, taken), true);
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
    in.window = in.content.substr(in.content.size() - std::min(kWindow, in.content.size()));
  }
  in.most = std::max(in.most, in.encoding == harness::Encoding::kUndecided ? taken : size);
  in.last_size = g.taken && g.taken->first == in.id ? std::exchange(g.taken, std::nullopt)->second : size;
}

Identity identity(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// What `path` leads to, with the file's content when `read`.
Found find(const std::string& path, bool read) {
  std::error_code error;
  if (std::filesystem::is_fifo(path, error)) return Found{Found::kFifo, {}, 0, {}};
  Found found;
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (file != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(file, &info)) {
    found = Found{Found::kFile, identity(info), info.nNumberOfLinks, {}};
    char chunk[4096];
    DWORD done;
    while (read && ::ReadFile(file, chunk, sizeof chunk, &done, nullptr) && done > 0) found.content.append(chunk, done);
  }
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  return found;
}

// True while some name in the directory leads to the file (as the file's link count tells the program; under Wine a
// file deleted while held keeps its name until it is closed).
bool still_named(const Identity& id) {
  for (const auto& entry : std::filesystem::directory_iterator(g_directory)) {
    const Found found = find(entry.path().string(), false);
    if (found.kind == Found::kFile && found.id == id) return true;
  }
  return false;
}

// -F: the name opened again (a file without links is none). The file followed goes on; before another file or none
// the old one is read to its end and let go; a file let go that still has a name and comes back goes on where it
// left off; any other file (a deleted one's index may be given again) is followed from its start.
void look_up(int k) {
  Input& in = g.inputs[k];
  const bool opens = !in.unreadable && in.now.kind == Found::kFile && in.now.links != 0;
  const bool same = opens && in.known && in.now.id == in.id;
  const std::string quoted = "tail: '" + in.name + "' has ";
  if (in.held && same) return;
  if (in.held) {
    read_on(k);
    release_cr(k);
    in.held = false;
    in.known = in.named;
    if (!opens) {
      const std::string reason = in.now.kind == Found::kFifo ? std::string(1, kAnyReason)  // no disk file
                                 : rt::strerror(in.unreadable ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
      return g.err.push_back(quoted + "become inaccessible: " + reason);
    }
    g.err.push_back(quoted + "been replaced; following new file");
  } else if (!opens) {
    return;
  } else if (same) {
    in.held = true;
    in.last_size = -1;  // what it holds is checked
    return g.err.push_back(quoted + "become accessible again; following on where it left off");
  } else {
    g.err.push_back(quoted + "appeared; following new file");
  }
  in.held = in.known = true;
  in.id = in.now.id;
  in.content = in.now.content;
  in.position = in.most = 0;
  in.last_size = -1;  // read at the first poll
  in.window.clear();
  start_text(in);
}

// The initial parts, and where following starts: the end of a file, or a start point beyond it.
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
    in.held = in.known = true;
    in.id = in.now.id;
    in.content = in.now.content;
    in.position = !g.lines && s.from_start ? std::max(size, offset) : size;
    start_text(in);
    if (g.lines) in.encoding = harness::encoding_of(in.content, true);
    if (in.encoding == harness::Encoding::kUndecided) in.position = 0;  // read from its start once its bytes decide
    if (harness::is_utf16(in.encoding)) {
      // Up to a character its end cuts, which the first poll reads again; with no lines wanted, to its last unit.
      std::string cut;
      harness::from_utf16(std::string_view(in.content).substr(2), in.encoding == harness::Encoding::kUtf16Be, &cut);
      const auto whole = size - static_cast<std::int64_t>(cut.size());
      in.position = s.count == 0 && !s.from_start ? size & ~std::int64_t{1} : whole;
    }
    in.most = size;
    in.last_size = in.position >= size ? size : -1;
    if (in.position <= size) {  // the bytes before a start point beyond the end are none
      const auto before = static_cast<std::size_t>(in.position);
      in.window = in.content.substr(before - std::min(kWindow, before), std::min(kWindow, before));
    }
  }
}

// --- 2. The steps ----------------------------------------------------------------------------------------------------

// Asks the system what name k leads to; the model learns it, and the content of the file it follows there.
void look(int k) {
  Input& in = g.inputs[k];
  in.now = find(in.name, true);
  if (in.now.kind == Found::kFile && in.known && in.now.id == in.id) in.content = in.now.content;
}

// Writes to name k as a writer would (a FIFO is left alone: it would wait for a reader).
void write(int k, const std::string& text, std::ios::openmode mode) {
  if (g.inputs[k].now.kind != Found::kFifo) std::ofstream(g.inputs[k].name, std::ios::binary | mode) << text;
}

// Appends the second text of step 7.
void append_later() {
  const Step step = *g.later;
  g.later.reset();
  write(step.file, step.later, std::ios::app);
  look(step.file);
}

// Changes name k as the step says, then looks at it.
void apply(const Step& step) {
  const int k = step.file;
  const std::string& name = g.inputs[k].name;
  std::error_code ignored;  // a change the system refuses is no change: the look tells
  if (step.kind == 6) {
    g.inputs[k].unreadable = !g.inputs[k].unreadable;
    using std::filesystem::perm_options;
    const perm_options change = g.inputs[k].unreadable ? perm_options::remove : perm_options::add;
    std::filesystem::permissions(name, std::filesystem::perms::owner_write, change, ignored);
  }
  if (step.kind == 1 || step.kind == 7) write(k, step.text, std::ios::app);
  if (step.kind == 2 && g.inputs[k].now.kind != Found::kFifo) {
    std::uintmax_t size = 0;  // at most 1 MiB
    for (const char c : step.text) {
      if (c >= '0' && c <= '9') size = std::min<std::uintmax_t>(size * 10 + static_cast<unsigned>(c - '0'), 1 << 20);
    }
    std::filesystem::resize_file(name, size, ignored);
  }
  if (step.kind == 4 || step.kind == 9) std::filesystem::rename(name, name + "." + std::to_string(++g.away), ignored);
  if (step.kind == 5) std::filesystem::remove(name, ignored);
  if (step.kind == 4 || step.kind == 5) g.inputs[k].now.kind = Found::kMissing;  // no FIFO there now
  if (step.kind == 3 || step.kind == 4 || step.kind == 5) write(k, step.text, std::ios::trunc);
#ifndef _WIN32
  if (step.kind == 8) {
    std::filesystem::remove(name, ignored);
    ::mkfifo(name.c_str(), 0600);
  }
#endif
  look(k);
  for (Input& in : g.inputs) in.named = in.held && still_named(in.id);
  if (step.kind == 7) g.later = step;
  g.full |= step.kind == 10;
  harness::run.full = g.full;
  if (step.kind == 7 && g.inputs[k].now.kind == Found::kFile) g.later_file = g.inputs[k].now.id;
}

// --- 3. Notices and pauses -------------------------------------------------------------------------------------------

// The directory change requests the program has made, told of no change yet.
struct Request {
  LPVOID buffer;  // room for 4096 bytes, more than two entries need
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

// The system tells the notices due: an overflow to every request; names to the request of the files' directory (the
// one asked for sizes: the directory above is asked for names only), an entry each, as the system writes them. The
// inputs that the program must poll now: those the names give, all of them on an overflow.
std::vector<bool> tell(const std::vector<Notice>& due) {
  std::vector<bool> touched(g.inputs.size());
  if (std::any_of(due.begin(), due.end(), [](const Notice& notice) { return notice.overflow; })) {
    touched.flip();
    notify_all();
    return touched;
  }
  const auto files = std::find_if(g_requests.begin(), g_requests.end(),
                                  [](const Request& r) { return (r.filter & FILE_NOTIFY_CHANGE_SIZE) != 0; });
  if (files == g_requests.end()) fail("the files' directory has no request under way");
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
    for (std::size_t k = 0; k < g.inputs.size(); ++k) {  // the leaf, in any case
      const char leaf = g.inputs[k].name.back();
      touched[k] = touched[k] || (due[i].name.size() == 1 && std::tolower(due[i].name[0]) == leaf);
    }
  }
  std::memcpy(request.buffer, entries.data(), entries.size());
  request.routine(NO_ERROR, static_cast<DWORD>(entries.size()), request.overlapped);
  return touched;
}

// The polls made since the last pause, when the program paused or ended: in each the inputs it concerns in turn, the
// name looked up first with -F where the poll looks names up. True when one must end the program: a write failed.
bool model_polls() {
  try {
    for (const Poll& poll : std::exchange(g.polls, {})) {
      for (int k = 0; k < static_cast<int>(g.inputs.size()); ++k) {
        if (!poll.clock && !poll.touched[k]) continue;
        if (g.by_name && (poll.full || poll.touched[k] || g_refused)) look_up(k);
        if (g.inputs[k].held) read_on(k);
      }
      flush();
    }
  } catch (const WriteFailed&) {
    g.err.push_back(std::string("tail: write error on standard output: ") + rt::strerror(ERROR_DISK_FULL));
    return true;
  }
  return false;
}

// What the program holds after a poll: a descriptor and its handle for each file it follows, a handle and a request
// under way for each directory it watches (the files', and with -F the one above), no more.
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

// The clock's poll: every input, and at the first and every 16th after it every name.
Poll clock_poll() { return Poll{true, g.clock_polls++ % kFullLookUpPolls == 0, std::vector<bool>(g.inputs.size())}; }

// The pause before each poll that notices can wake: the polls before it are modelled, then the next step is taken,
// and the notices due are told (those of the last step that come late, and this one's); when none is told (or the
// system refused the requests), the pause lasts until the clock, and the clock's poll follows. Once the steps have
// run out the run ends, and what standard output holds is written, as the next read would write it. A pause that
// notices cannot wake only moves the clock on; when it reaches the clock, the clock's poll follows.
DWORD pause(DWORD milliseconds, BOOL alertable) {
  if (!alertable) {
    g_now += milliseconds;
    if (g_now >= g.clock) {
      g.polls.push_back(clock_poll());
      g.clock = g_now + g.interval;
    }
    return 0;
  }
  g.clock = g_now + milliseconds;
  if (model_polls()) fail("a poll must end the program: a write failed");
  check_held();
  if (g.later) append_later();
  g.later_file.reset();
  if (g.next == g.steps.size()) {
    rt::fflush(rt::stdout);
    throw harness::Ended{0};
  }
  const Step& step = g.steps[g.next++];
  apply(step);
  std::vector<Notice> due = std::exchange(g.late, {});
  if ((step.told & 3) != kNothing) {
    std::string name(1, "abcABC"[step.file + ((step.told & 8) ? 3 : 0)]);
    if ((step.told & 3) == kOtherName) name += ".1";
    const DWORD action = "\3\3\3\3\4\2\3\3\2\4\3"[step.kind];  // renamed from, removed or modified
    ((step.told & 4) ? g.late : due).push_back(Notice{(step.told & 3) == kOverflow, name, action});
  }
  if (!due.empty() && !g_requests.empty()) {
    g.polls.push_back(Poll{false, false, tell(due)});
    return WAIT_IO_COMPLETION;
  }
  g.polls.push_back(clock_poll());
  g_now = g.clock;
  return 0;
}

// --- 4. The other system calls ---------------------------------------------------------------------------------------

// CreateFileA: an unreadable name fails with access denied.
HANDLE open_name(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                 DWORD attributes, HANDLE template_file) {
  for (const Input& in : g.inputs) {
    if (in.unreadable && name == in.full_name) {
      ::SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
  }
  return harness::create_file(name, access, share, security, disposition, attributes, template_file);
}

// A read that gave bytes of the file step 7 waits for lets its second text in: the rest of the poll reads it.
BOOL read_file(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped) {
  const BOOL read = harness::read(file, buffer, to_read, done, overlapped);
  BY_HANDLE_FILE_INFORMATION info;
  if (read && *done > 0 && g.later_file && !harness::standard(file) && ::GetFileInformationByHandle(file, &info) &&
      identity(info) == *g.later_file) {
    g.taken = {*g.later_file, static_cast<std::int64_t>(g.inputs[g.later->file].now.content.size())};
    g.later_file.reset();
    append_later();
  }
  return read;
}

// Standard error holds exactly these lines (one that ends in kAnyReason: any line beginning with the rest).
bool same_lines(const std::vector<std::string>& lines, std::string_view err) {
  const std::string_view end = g.text ? "\r\n" : "\n";
  for (const std::string& line : lines) {
    const std::string_view got = err.substr(0, err.find(end));
    const bool any = line.back() == kAnyReason;
    if (got.size() == err.size() || (any ? !got.starts_with(line.substr(0, line.size() - 1)) : got != line)) {
      return false;
    }
    err.remove_prefix(got.size() + end.size());
  }
  return err.empty();
}

// ReadDirectoryChangesW: kept for the pauses to answer, or refused when the input says so, as on a network share.
BOOL watch(HANDLE, LPVOID buffer, DWORD, BOOL, DWORD filter, LPDWORD, LPOVERLAPPED overlapped,
           LPOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (g_refused) {
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  g_requests.push_back(Request{buffer, filter, overlapped, routine});
  return TRUE;
}

// GetFileAttributesA: the system's in the directory of the files, and no message catalogue anywhere.
DWORD attributes_of(LPCSTR name) {
  return std::string_view(name).starts_with(g_full_directory) ? ::GetFileAttributesA(name) : INVALID_FILE_ATTRIBUTES;
}

}  // namespace

// --- 5. The run ------------------------------------------------------------------------------------------------------

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_directory = harness::scratch_directory("follow");
  g_full_directory = harness::full_path(g_directory);
  harness::install();
  w32::hook::replacements.ReadDirectoryChangesW = watch;
  w32::hook::replacements.GetFileAttributesA = attributes_of;
  w32::hook::replacements.CreateFileA = open_name;
  w32::hook::replacements.ReadFile = read_file;
  w32::hook::replacements.SleepEx = pause;
  w32::hook::replacements.GetTickCount64 = [] { return g_now; };
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
  // The command, and the options the model reads.
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
  // The files in their first versions, and the steps.
  std::filesystem::remove_all(g_directory);
  std::filesystem::create_directories(g_directory);
  g.inputs.resize(static_cast<std::size_t>(files));
  for (int k = 0; k < files; ++k) {
    Input& in = g.inputs[k];
    in.name = g_directory + "/" + "abc"[k];
    in.full_name = harness::full_path(in.name);
    words.push_back(in.name);
    std::string content = field();
    if (content.starts_with("\xFF\xFE") || content.starts_with("\xFE\xFF")) content = spelled(content);
    if ((data[2] >> (2 + k) & 1) == 0) write(k, content, std::ios::trunc);
    look(k);
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
  // Following polls every input at once, before its first pause: it reads a character cut at the end of an initial
  // part again, and the first bytes of a file still to decide.
  g.polls.push_back(Poll{false, false, std::vector<bool>(g.inputs.size(), true)});
  // -f follows no name that is missing: without a file the command ends at once, having failed.
  const bool follows = g.by_name || std::any_of(g.inputs.begin(), g.inputs.end(), [](const Input& in) {
    return in.held;
  });
  const unsigned status = harness::run_command(words, "", g.text);
  const bool write_error = model_polls();  // the poll it ended in
  while (notify_all()) {  // the requests of handles closed at the end free what they held
  }
  std::error_code ignored;  // files left unwritable would stay: Windows deletes none
  for (const auto& entry : std::filesystem::directory_iterator(g_directory, ignored)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write, std::filesystem::perm_options::add,
                                 ignored);
  }
  if (status != (write_error || !follows ? 1u : 0u)) fail("the wrong status");
  if (harness::run.out != g.out || !same_lines(g.err, harness::run.err)) fail("the wrong output");
  return 0;
}
