// Fuzzing follow mode against a model of what its user sees while the
// followed files change between polls. The input:
//   byte 0  bit 0: -F, else -f; bits 1-2: 1 -q, 2 -v; bits 3-5 modulo 6: the
//           unit, a letter of "lbckmn"; bit 6: the count is from the beginning
//   byte 1  the count; byte 2: modulo 4 the number of files (0 is 1), bit
//           2 + k set when file k is missing at the start, and bit 5 set when
//           the system refuses to tell changes of their directory
//   then each file's content, ended by a zero byte; then up to 64 steps, one
//   at each pause: a byte whose high nibble picks a file and whose low nibble
//   modulo 10 is the kind, and a text ended by a zero byte. Kinds: 0 nothing;
//   1 append the text; 2 truncate to the size its digits give; 3 rewrite in
//   place with it; 4 rename away, then create with it; 5 delete, then create;
//   6 make the name unreadable (CreateFileA fails with access denied, and
//   the file loses its write permission, which its directory tells), or
//   readable again; 7 append, and a second text (ended by a zero byte too)
//   once the next poll has read from the file, else at the pause after it;
//   8 natively make the name a FIFO; 9 rename away.
// The run ends at the pause after the last step. The model learns each name's
// file (identity, links, content) from the system after every change, and
// must see on standard output the initial parts (the command target's model),
// then what each poll finds new, each input in turn, and on standard error
// exactly the notices of the rules below, no more.
#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "fuzz/harness.h"
#include "runtime/msg/diag.h"
#include "runtime/stdio/stream.h"

namespace {

using Identity = std::array<DWORD, 3>;  // volume serial number, file index high and low
constexpr std::size_t kWindow = 64;     // the bytes before the position that tell a rewrite
constexpr char kAnyReason = '\x01';     // ends an expected line whose reason is not known

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
  std::int64_t last_size = 0;   // when the file was last read to its end
  std::string window;           // up to kWindow bytes before the position, as they were read
  bool cr = false;              // a CR waits for the next byte
  bool named = false;           // some name led to the file followed before the last poll
};

struct Step {
  int kind;
  int file;
  std::string text, later;
};

std::string g_directory, g_full_directory;
std::vector<Input> g_inputs;
bool g_text, g_lines, g_headers, g_by_name, g_refused;
int g_written = -1;  // the input whose bytes were written last
std::string g_out;
std::vector<std::string> g_err;  // the lines of standard error
std::vector<Step> g_steps;
std::size_t g_next = 0;      // the step of the next pause
bool g_polled = false;       // a poll is under way: it is modelled at the next pause
int g_away = 0;              // files renamed away so far
std::optional<Step> g_later;             // step 7, waiting to append its second text
std::optional<Identity> g_later_file;    // the file whose read lets it in

// Writes the header of input k.
void header(int k) {
  const std::string header = (g_out.empty() ? "==> " : "\n==> ") + g_inputs[k].name + " <==\n";
  g_out += g_text && g_lines ? harness::written_as_text(header) : header;
  g_written = k;
}

// Writes bytes of input k, under its header when another input was written last.
void emit(int k, const std::string& bytes) {
  if (bytes.empty()) return;
  if (g_headers && g_written != k) header(k);
  g_out += g_text && g_lines ? harness::written_as_text(bytes) : bytes;
}

// Writes what input k has new, read as text in text mode: a CR at the end waits.
void take(int k, const std::string& bytes) {
  Input& in = g_inputs[k];
  if (!g_text) return emit(k, bytes);
  std::string text = harness::read_as_text((in.cr ? "\r" : "") + bytes);
  in.cr = !text.empty() && text.back() == '\r';
  if (in.cr) text.pop_back();
  emit(k, text);
}

// Writes the CR input k holds back: its file was found truncated, replaced or let go.
void release_cr(int k) {
  if (g_inputs[k].cr) emit(k, "\r");
  g_inputs[k].cr = false;
}

// A poll of an open file: a file smaller than the most known of it, or of
// another size than when last read to its end with other bytes before the
// position than were read there, is truncated: written again from its start.
void read_on(int k) {
  Input& in = g_inputs[k];
  const auto size = static_cast<std::int64_t>(in.content.size());
  const std::size_t w = in.window.size();
  const bool kept = w == 0 || (size >= in.position && in.content.compare(in.position - w, w, in.window) == 0);
  if (size < in.most || (size != in.last_size && !kept)) {
    g_err.push_back("tail: " + in.name + ": file truncated");
    release_cr(k);
    in.position = in.most = 0;
    in.window.clear();
  }
  if (in.position < size) {
    take(k, in.content.substr(in.position));
    in.position = size;
    in.window = in.content.substr(in.content.size() - std::min(kWindow, in.content.size()));
  }
  in.most = std::max(in.most, size);
  in.last_size = size;
}

// The identity of the file at `path`, when it is a file.
std::optional<Identity> identity_of(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_fifo(path, error)) return std::nullopt;
  HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = file != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(file, &info);
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  if (!known) return std::nullopt;
  return Identity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// True while some name in the directory leads to the file (as the file's
// link count tells the program; under Wine a file deleted while held keeps
// its name until it is closed).
bool still_named(const Identity& id) {
  for (const auto& entry : std::filesystem::directory_iterator(g_directory)) {
    if (identity_of(entry.path().string()) == id) return true;
  }
  return false;
}

// -F: the name opened again (a file without links is none). The file followed
// goes on; before another file or none the old one is read to its end and let
// go; a file let go that still has a name and comes back goes on where it left
// off; any other file (a deleted one's index may be given again) is followed
// from its start.
void look_up(int k) {
  Input& in = g_inputs[k];
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
      return g_err.push_back(quoted + "become inaccessible: " + reason);
    }
    g_err.push_back(quoted + "been replaced; following new file");
  } else if (!opens) {
    return;
  } else if (same) {
    in.held = true;
    in.last_size = -1;  // what it holds is checked
    return g_err.push_back(quoted + "become accessible again; following on where it left off");
  } else {
    g_err.push_back(quoted + "appeared; following new file");
  }
  in.held = in.known = true;
  in.id = in.now.id;
  in.content = in.now.content;
  in.position = in.most = in.last_size = 0;
  in.window.clear();
}

// A poll: each input in turn, its name looked up first with -F.
void poll() {
  for (int k = 0; k < static_cast<int>(g_inputs.size()); ++k) {
    if (g_by_name) look_up(k);
    if (g_inputs[k].held) read_on(k);
  }
}

// The initial parts, and the state following starts from: the end of the
// file, or a start point beyond it (nothing is known before that).
void start() {
  const tail::TailOptions& o = tail::options;
  constexpr std::int64_t kUnitSize[] = {0, 512, 1, 1024, 1048576, 0};
  const std::int64_t offset = std::max<std::int64_t>(o.count * kUnitSize[o.unit] - 1, 0);  // +1 and +0: the first
  for (int k = 0; k < static_cast<int>(g_inputs.size()); ++k) {
    Input& in = g_inputs[k];
    if (in.now.kind != Found::kFile) {
      g_err.push_back("tail: input file \"" + in.name + "\": " + rt::strerror(ERROR_FILE_NOT_FOUND));
      continue;
    }
    if (g_headers) header(k);
    std::string part = harness::part_of(in.now.content, true).value();
    in.cr = g_text && g_lines && !part.empty() && part.back() == '\r';
    if (in.cr) part.pop_back();
    emit(k, part);
    const auto size = static_cast<std::int64_t>(in.now.content.size());
    in.held = in.known = true;
    in.id = in.now.id;
    in.content = in.now.content;
    in.position = !g_lines && o.from_end == 0 ? std::max(size, offset) : size;
    in.most = in.last_size = size;
    if (in.position == size) in.window = in.content.substr(in.content.size() - std::min(kWindow, in.content.size()));
  }
}

// Asks the system what name k leads to; the model learns it, and the content
// of the file it follows there.
void look(int k) {
  Input& in = g_inputs[k];
  std::error_code error;
  in.now = Found{};
  if (std::filesystem::is_fifo(in.name, error)) in.now.kind = Found::kFifo;
  HANDLE file = in.now.kind == Found::kFifo ? INVALID_HANDLE_VALUE
                : ::CreateFileA(in.name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (file != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(file, &info)) {
    in.now = Found{Found::kFile, {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow},
                   info.nNumberOfLinks, {}};
    char buffer[4096];
    DWORD done;
    while (::ReadFile(file, buffer, sizeof buffer, &done, nullptr) && done > 0) in.now.content.append(buffer, done);
  }
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  if (in.now.kind == Found::kFile && in.known && in.now.id == in.id) in.content = in.now.content;
}

// Writes to name k as a writer would (a FIFO is left alone: it would wait for a reader).
void write(int k, const std::string& text, std::ios::openmode mode) {
  if (g_inputs[k].now.kind != Found::kFifo) std::ofstream(g_inputs[k].name, std::ios::binary | mode) << text;
}

// Appends the second text of step 7.
void append_later() {
  const Step step = *g_later;
  g_later.reset();
  write(step.file, step.later, std::ios::app);
  look(step.file);
}

// Changes name k as the step says, then looks at it.
void apply(const Step& step) {
  const int k = step.file;
  const std::string& name = g_inputs[k].name;
  std::error_code ignored;  // a change the system refuses is no change: the look tells
  if (step.kind == 6) g_inputs[k].unreadable = !g_inputs[k].unreadable;
  if (step.kind == 6) {
    using std::filesystem::perm_options;
    const perm_options change = g_inputs[k].unreadable ? perm_options::remove : perm_options::add;
    std::filesystem::permissions(name, std::filesystem::perms::owner_write, change, ignored);
  }
  if (step.kind == 1 || step.kind == 7) write(k, step.text, std::ios::app);
  if (step.kind == 2 && g_inputs[k].now.kind != Found::kFifo) {
    std::uintmax_t size = 0;  // at most 1 MiB
    for (const char c : step.text) {
      if (c >= '0' && c <= '9') size = std::min<std::uintmax_t>(size * 10 + static_cast<unsigned>(c - '0'), 1 << 20);
    }
    std::filesystem::resize_file(name, size, ignored);
  }
  if (step.kind == 4 || step.kind == 9) std::filesystem::rename(name, name + "." + std::to_string(++g_away), ignored);
  if (step.kind == 5) std::filesystem::remove(name, ignored);
  if (step.kind == 4 || step.kind == 5) g_inputs[k].now.kind = Found::kMissing;  // no FIFO there now
  if (step.kind == 3 || step.kind == 4 || step.kind == 5) write(k, step.text, std::ios::trunc);
#ifndef _WIN32
  if (step.kind == 8) {
    std::filesystem::remove(name, ignored);
    ::mkfifo(name.c_str(), 0600);
  }
#endif
  look(k);
  for (Input& in : g_inputs) in.named = in.held && still_named(in.id);
  if (step.kind == 7) g_later = step;
  if (step.kind == 7 && g_inputs[k].now.kind == Found::kFile) g_later_file = g_inputs[k].now.id;
}

// The pause before each poll: the poll before it is modelled, then the next
// step is taken. Once the steps have run out the run ends, and what standard
// output holds is written, as the next read would write it.
void pause(DWORD milliseconds) {
  if (milliseconds == 0) return;  // a read at the end of a file gives up its time slice
  if (g_polled) poll();
  if (g_later) append_later();
  g_later_file.reset();
  if (g_next == g_steps.size()) {
    rt::fflush(rt::stdout);
    throw harness::Ended{0};
  }
  apply(g_steps[g_next++]);
  g_polled = true;
}

// CreateFileA: an unreadable name fails with access denied.
HANDLE open_name(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                 DWORD attributes, HANDLE template_file) {
  for (const Input& in : g_inputs) {
    if (in.unreadable && name == in.full_name) {
      ::SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
  }
  return ::CreateFileA(name, access, share, security, disposition, attributes, template_file);
}

// FindFirstChangeNotificationA: refused when the input says so, as on a
// network share.
HANDLE watch(LPCSTR directory, BOOL watch_subtree, DWORD filter) {
  if (!g_refused) return ::FindFirstChangeNotificationA(directory, watch_subtree, filter);
  ::SetLastError(ERROR_INVALID_FUNCTION);
  return INVALID_HANDLE_VALUE;
}

// GetFileAttributesA: the system's in the directory of the files, and no
// message catalogue anywhere.
DWORD attributes_of(LPCSTR name) {
  return std::string_view(name).starts_with(g_full_directory) ? ::GetFileAttributesA(name) : INVALID_FILE_ATTRIBUTES;
}

// A read that gave bytes of the file step 7 waits for lets its second text
// in: the rest of the poll reads it.
BOOL read_file(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped) {
  const BOOL read = harness::read(file, buffer, to_read, done, overlapped);
  BY_HANDLE_FILE_INFORMATION info;
  if (read && *done > 0 && g_later_file && !harness::standard(file) && ::GetFileInformationByHandle(file, &info) &&
      Identity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow} == *g_later_file) {
    g_later_file.reset();
    append_later();
  }
  return read;
}

// True when standard error holds exactly these lines; a line that ends in
// kAnyReason stands for any line that begins with the rest of it.
bool same_lines(const std::vector<std::string>& lines, std::string_view err) {
  const std::string_view end = g_text ? "\r\n" : "\n";
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_directory = harness::scratch_directory("follow");
  g_full_directory = harness::full_path(g_directory);
  harness::install();
  w32::hook::replacements.CreateFileA = open_name;
  w32::hook::replacements.FindFirstChangeNotificationA = watch;
  w32::hook::replacements.GetFileAttributesA = attributes_of;
  w32::hook::replacements.ReadFile = read_file;
  w32::hook::replacements.Sleep = pause;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 3, size - 3);
  const auto field = [&rest] {
    const std::string text(rest.substr(0, rest.find('\0')));
    rest.remove_prefix(std::min(text.size() + 1, rest.size()));
    return text;
  };
  // The command, and the options the model reads.
  const unsigned unit = (data[0] >> 3 & 7) % 6;
  const unsigned headers = data[0] >> 1 & 3;
  const int files = std::max(data[2] % 4, 1);
  std::vector<std::string> words = {"tail", data[0] & 1 ? "-F" : "-f", std::string("-") + tail::kUnitLetters[unit],
                                    (data[0] & 64 ? "+" : "") + std::to_string(data[1])};
  if (headers == 1 || headers == 2) words.push_back(headers == 1 ? "-q" : "-v");
  tail::options = tail::TailOptions{};
  tail::options.count = data[1];
  tail::options.from_end = data[0] & 64 ? 0 : 1;
  tail::options.unit = static_cast<std::int32_t>(unit);
  g_text = w32::kTextModeByDefault;
  g_lines = unit == 0 || unit == 5;
  g_headers = headers == 2 || (headers != 1 && files > 1);
  g_by_name = data[0] & 1;
  g_refused = data[2] & 32;
  // The files in their first versions, and the steps.
  std::filesystem::remove_all(g_directory);
  std::filesystem::create_directories(g_directory);
  g_inputs.assign(static_cast<std::size_t>(files), Input{});
  for (int k = 0; k < files; ++k) {
    Input& in = g_inputs[k];
    in.name = g_directory + "/" + "abc"[k];
    in.full_name = harness::full_path(in.name);
    words.push_back(in.name);
    const std::string content = field();
    if ((data[2] >> (2 + k) & 1) == 0) write(k, content, std::ios::trunc);
    look(k);
  }
  g_steps.clear();
  while (!rest.empty() && g_steps.size() < 64) {
    const auto byte = static_cast<unsigned char>(rest[0]);
    rest.remove_prefix(1);
    Step step{byte % 16 % 10, byte / 16 % files, field(), ""};
    if (step.kind == 7) step.later = field();
    g_steps.push_back(step);
  }
  g_written = -1;
  g_out.clear();
  g_err.clear();
  start();
  g_next = 0;
  g_polled = false;
  g_later.reset();
  g_later_file.reset();
  harness::run_command(words, "");
  std::error_code ignored;  // files left unwritable would stay: Windows deletes none
  for (const auto& entry : std::filesystem::directory_iterator(g_directory, ignored)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write, std::filesystem::perm_options::add,
                                 ignored);
  }
  if (harness::run.out == g_out && same_lines(g_err, harness::run.err)) return 0;
  std::cerr << "expected:\n" << g_out << "\n";
  for (const std::string& line : g_err) std::cerr << line << "\n";
  std::cerr << "got:\n" << harness::run.out << "\n" << harness::run.err << "\nthe input:";
  for (std::size_t i = 0; i < size; ++i) std::cerr << ' ' << static_cast<unsigned>(data[i]);
  std::cerr << "\n";
  __builtin_trap();
}
