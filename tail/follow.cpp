// Follow mode: after the chosen part of each disk file is written, copy what
// is appended to them until the process is ended from outside (or by a write
// into a pipe without reader, or by the end of the process of --pid).
//
// When to look. The folder of every followed name is asked to tell its
// changes (sizes, writes, names, attributes: watch.cpp); following waits
// for such a notice with the interval of -s (2 seconds unless given) as its
// timeout. A notice wakes it at once, and the inputs whose names the notice
// gives are polled then and there; a notice that overflowed, or whose
// folder failed, concerns every input of its folder. Polls follow notices
// as closely as they come while each brings little, so a writer of log
// lines is shown at once; while polls bring much (at that rate, a buffer's
// worth in kMostNoticeGapMs), they are spaced, the gap doubling from
// kNoticeGapMs up to kMostNoticeGapMs, so a bulk writer is read in large
// runs. Notices bring polls forward and never conclude anything: a poll
// that a notice started and that finds a name missing leaves its input as
// it was, so that the two steps of a rotation (rename, then create) are
// seen as one.
//
// The clock. At every interval the clock polls: it decides that a name is
// gone, and it is the safety net for what no notice tells (a folder that
// tells nothing, such as a network share; writes through another folder).
// Inputs whose folder cannot be watched are polled, and by name looked up,
// at every clock poll. Each watched input has its turn once in kTurns clock
// polls: then its name is looked up (-F), and, when more than
// kPolledEveryClock inputs are followed, it is polled only at its turn, so
// that the cost of an idle follow does not grow with files that need no
// looking at. A clock poll goes kSliceSize inputs at a time, serving the
// notices that came between two slices, so no notice waits for a sweep of
// thousands of names.
//
// Following by name (-F). When a name leads to another file, or at the
// clock to none, the old file is written to its end and let go, so that a
// writer can always rotate or recreate it. A file that comes back under its
// name is the one followed only when its index and its creation time are
// those it had: a new file may get the number of one deleted.
//
// The states of an input, and what moves it between them:
//
//                  name opens a file: "appeared", from its start
//    +---------+ ------------------------------------------> +------+ <-- poll: what is new; truncated or
//    | AWAITED |                                             | OPEN |     rewritten: "truncated", and
//    +---------+ <------------------------------------------ +------+     from the start again
//                 clock: name opens nothing, and the file     |  ^  |
//                 has no name left: "inaccessible"            |  |  +--> name opens another file:
//                                                             |  |       "replaced": the old file drained,
//                 clock: name opens nothing, and the file     |  |       the new one from its start
//                 still has a name: "inaccessible"            |  |
//                                        +------+ <-----------+  |
//                                        | AWAY |                |
//                                        +------+ ---------------+
//                 name opens it again: "accessible again", where it left off;
//                 name opens another file: "appeared", from its start
//
// AWAITED and AWAY are left only by a look-up: by name with --retry, or by
// descriptor (-f --retry) while the name has not opened yet. OPEN and AWAY
// keep the identity of the file. A pipe or a console is NOT FOLLOWED: its
// part is written, and it is never polled.
//
// Nothing is ever written twice or lost: a file smaller than what was known
// of it, or whose last bytes read have changed (looked at when it grew, and
// when its last write time moved without growth), was truncated or
// rewritten and is written again from its start; a file that comes back
// under its name goes on from where it was; in text mode a carriage return
// that ends what a poll can read waits for the byte after it, so that a line
// end split between two polls is written once, and it is written however
// following ends: by --pid, with no file remaining, and by Ctrl+C,
// Ctrl+Break or the console closing, after which the process ends with the
// status the system's default handling gives. A failed write to standard
// output ends the program with the message and status 1.
//
// Contents: 1. state and output   2. reading a file   3. look-ups
//           4. the polls   5. interrupts and pauses   6. following
#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "tail/tail.h"

#include "runtime/msg/diag.h"
#include "runtime/msg/format.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/messages.h"
#include "runtime/stdio/text_runs.h"
#include "runtime/startup/exit.h"
#include "runtime/string.h"
#include "runtime/win32/errno.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/fstat.h"
#include "runtime/win32/open.h"

namespace tail {
namespace {

// --- 1. State and output -----------------------------------------------------

// Up to this many inputs, the clock polls every one of them.
constexpr int kPolledEveryClock = 64;
// A clock poll looks at this many inputs between two looks for notices.
constexpr int kSliceSize = 16;
// Polls that notices start while polls bring much are spaced: at least
// kNoticeGapMs apart, twice as far as the last gap each time, up to
// kMostNoticeGapMs.
constexpr ULONGLONG kNoticeGapMs = 10;
constexpr ULONGLONG kMostNoticeGapMs = 80;

// The output of all inputs: headers between the parts of different inputs.
struct Output {
  bool headers;
  bool first_header;  // no header was written yet
  int written;        // the input whose bytes were written last; -1: none being followed
};
Output g_output{};

// What a poll reads, one byte in front: room for a held carriage return.
// Allocated when following begins, and kept.
unsigned char* g_buffer = nullptr;
// UTF-16 that a poll read, decoded, with the same byte in front; allocated
// at the first such poll.
unsigned char* g_decoded = nullptr;

// The inputs followed, for the end by an interrupt.
Followed* g_inputs = nullptr;
int g_count = 0;

// Ctrl+C, Ctrl+Break and the console closing come to interrupted() in a
// thread of the system's, while the loop may be in the middle of a poll.
// The loop holds g_polling at all times but while it pauses, so the
// handler writes what is held only while the loop waits; the loop itself
// looks at g_interrupted after each pause and between two reads of a poll
// (where every byte read is written or held), and ends as the handler
// would. A loop that ends for another reason keeps the lock to its end.
CRITICAL_SECTION g_polling;
bool g_handling = false;  // g_polling is set up, and the handler is registered
std::atomic<bool> g_interrupted = false;
// The handler waits this long at most for the lock, trying every
// kInterruptTryMs: a write that blocks (to a full pipe, to a console whose
// output is held) keeps it for ever. The process then ends as it would
// without the handler, well within the seconds the system gives a handler
// when the console closes.
constexpr DWORD kInterruptWaitMs = 1000;
constexpr DWORD kInterruptTryMs = 10;

// A line of standard error without an error text: "tail: " and the message.
void notice(const rt::Message& message, const char* name) {
  rt::fprintf(rt::stderr, "%s: ", rt::progname);
  rt::fprintf(rt::stderr, rt::msg_lookup(message), rt::Name{name});
  rt::fprintf(rt::stderr, "\n");
}

// Standard output refused bytes: following ends, as copying does.
void check_output() {
  if (!rt::ferror(rt::stdout)) return;
  rt::print_error(rt::msg_lookup(rt::messages::kWriteError));
  rt::exit(1);
}

// Before an input's bytes: its header, when another input was written last.
void begin_output(int index, Followed& input) {
  if (g_output.headers && g_output.written != index) {
    write_header(input.name, std::exchange(g_output.first_header, false));
  }
  g_output.written = index;
  show(&input.text.form);
}

// Writes a held carriage return as it stands: no line feed will follow it.
void release_return(int index, Followed& input) {
  if (!input.held_return) return;
  begin_output(index, input);
  rt::putc('\r', rt::stdout);
  input.held_return = false;
}

// Following ends by an interrupt, the lock held: the carriage returns held
// and what standard output holds are written, and the process ends as the
// system's default handling ends it.
[[noreturn]] void end_interrupted() {
  for (int k = 0; k < g_count; ++k) release_return(k, g_inputs[k]);
  rt::fflush(rt::stdout);
  rt::exit_process(STATUS_CONTROL_C_EXIT);
}

// --- 2. Reading a file -------------------------------------------------------

// Keeps the last kCheckSize bytes read, the `n` just read last.
void keep_check(Followed& input, const unsigned char* bytes, int n) {
  if (n >= kCheckSize) {
    rt::memcpy(input.check, bytes + n - kCheckSize, kCheckSize);
    input.checked = kCheckSize;
    return;
  }
  const int kept = input.checked < kCheckSize - n ? input.checked : kCheckSize - n;
  rt::memmove(input.check, input.check + input.checked - kept, static_cast<std::size_t>(kept));
  rt::memcpy(input.check + kept, bytes, static_cast<std::size_t>(n));
  input.checked = kept + n;
}

// Writes bytes just read as text-mode reading gives them: every 0x1A
// dropped and a carriage return followed by a line feed read as the line
// feed, translated in place; data[-1] is free for a carriage return held
// from before. A carriage return that ends the bytes is held.
void write_text(int index, Followed& input, unsigned char* data, int n) {
  unsigned char* start = data;
  if (std::exchange(input.held_return, false)) *--start = '\r';
  const unsigned char* const end = data + n;
  const rt::TextStep read = rt::read_text(start, start, end, -1);
  input.held_return = read.from < end;
  if (read.to == start) return;
  begin_output(index, input);
  rt::fwrite(start, 1, static_cast<std::size_t>(read.to - start), rt::stdout);
}

// The file was truncated or rewritten: what it holds now is written from
// its start.
void start_again(int index, Followed& input) {
  notice(rt::messages::kTruncated, input.name);
  release_return(index, input);
  let_text_go(input.text);
  input.text = fresh_text();
  input.position = 0;
  input.size = 0;
  input.checked = 0;
  input.drained = false;
}

// Writes what the input holds past the position reached; false when it
// could not be read to its end. The bytes kept from the last read come
// first: when they are no longer what they were, the file was rewritten.
bool drain(int index, Followed& input) {
  int unchecked = input.checked;
  if (rt::lseek(input.fd, input.position - unchecked, rt::SEEK_SET) < 0) return false;
  for (;;) {
    if (g_interrupted) end_interrupted();  // every byte read is written or held here
    rt::fflush(rt::stdout);  // a partial line is written before any read
    check_output();
    unsigned char* data = g_buffer + 1;
    int n = rt::read(input.fd, data, static_cast<unsigned>(kInputBufferSize));
    if (n < 0) return false;
    if (unchecked > 0) {
      if (n < unchecked || rt::memcmp(data, input.check, static_cast<std::size_t>(unchecked)) != 0) {
        start_again(index, input);
        if (rt::lseek(input.fd, 0, rt::SEEK_SET) < 0) return false;
        unchecked = 0;
        continue;
      }
      data += unchecked;
      n -= unchecked;
      unchecked = 0;
      if (n == 0) continue;  // the kept bytes alone: what follows them may have come since
    }
    if (n == 0) return true;
    InputText& text = input.text;
    std::size_t mark = 0;
    if (text.encoding == rt::Encoding::kUndecided) {
      // Its first bytes: a mark begun waits for the bytes after it.
      const rt::Encoding found = rt::detect_encoding(data, static_cast<std::size_t>(n), true);
      if (found == rt::Encoding::kUndecided) {
        // Not read yet, but known: a file shorter later was truncated.
        if (input.position + n > input.size) input.size = input.position + n;
        return true;
      }
      set_encoding(text, found);
      mark = text.mark;
    }
    keep_check(input, data, n);
    input.position += n;
    if (input.position > input.size) input.size = input.position;
    data += mark;
    n -= static_cast<int>(mark);
    if (rt::is_wide(text.encoding)) {
      if (!g_decoded) g_decoded = static_cast<unsigned char*>(rt::malloc(rt::decoded_size(kInputBufferSize) + 1));
      if (!g_decoded) {
        rt::print_error(rt::msg_lookup(rt::messages::kNoBufferMemory));
        rt::exit(1);
      }
      n = static_cast<int>(rt::decode_wide(text.wide, data, static_cast<std::size_t>(n), g_decoded + 1));
      data = g_decoded + 1;
    }
    if (n == 0) continue;
    if (follows_text()) {
      write_text(index, input, data, n);
    } else {
      begin_output(index, input);
      rt::fwrite(data, 1, static_cast<std::size_t>(n), rt::stdout);
    }
  }
}

// A poll of an open input, which a look-up may just have found as it is
// now. A file smaller than the most known of it was truncated or replaced in
// place: it is written again from its start. A start point beyond the end is
// no such thing: nothing is written until the file grows past it. A file
// read to its end at the last poll has nothing new while its size and last
// write time are the same; when only the time moved, reading checks the
// bytes before the position. One that could not be read (or whose status is
// unknown) is read again at the next poll. The bytes written.
std::int64_t poll(int index, Followed& input, std::optional<rt::FileIdentity> found) {
  rt::FileIdentity now;
  if (!found && rt::file_identity(input.fd, &now) == 0) found = now;
  if (found) {
    if (found->size < input.size) start_again(index, input);
    if (found->size > input.size) input.size = found->size;
    if (input.drained && found->size == input.id.size && found->written == input.id.written) return 0;
    input.id = *found;
  }
  const rt::off_t before = input.position;
  input.drained = drain(index, input) && found.has_value();
  return input.position - before;
}

// --- 3. Look-ups -------------------------------------------------------------

// The name no longer opens the file followed: what is left of it is
// written, then it is closed. A file that still has a name may come back.
void let_go(int index, Followed& input) {
  poll(index, input, std::nullopt);
  release_return(index, input);
  rt::FileIdentity now;
  const bool named = rt::file_identity(input.fd, &now) == 0 && now.links != 0;
  input.state = named ? FollowState::kAway : FollowState::kAwaited;
  rt::close(input.fd);
  input.fd = -1;
}

// A file the name opens for the first time, or after another: followed from
// its start.
void take_new(Followed& input, int fd, const rt::FileIdentity& found) {
  let_text_go(input.text);
  input = Followed{.name = input.name,
                   .state = FollowState::kOpen,
                   .by_name = input.by_name,
                   .named = input.named,
                   .fd = fd,
                   .position = 0,
                   .size = 0,
                   .id = found,
                   .drained = false,
                   .held_return = false,
                   .unsure = false,
                   .checked = 0,
                   .check = {},
                   .text = fresh_text()};
}

// A look-up: the file the name opens now, compared with the one followed.
// Only a clock poll (`clock`) decides that the name opens nothing: after a
// notice, a name missing leaves the input as it was, and so does a name
// that cannot be opened for want of descriptors. The file followed from
// now on as the look-up found it, when it took it.
std::optional<rt::FileIdentity> look_up(int index, Followed& input, bool clock) {
  rt::FileIdentity found{};
  int fd = rt::open(input.name, rt::O_RDONLY, 0);
  if (fd >= 0 && rt::file_identity(fd, &found) != 0) {
    rt::close(fd);
    fd = -1;
  }
  int reason = rt::errno;
  const bool undecided = fd < 0 && reason == ERROR_TOO_MANY_OPEN_FILES;
  input.unsure = false;
  if (input.state == FollowState::kOpen) {
    if (fd >= 0 && same_file(found, input.id) && found.links != 0) {
      rt::close(fd);
      return found;
    }
    if (fd < 0 || same_file(found, input.id)) {
      // Gone, or deleted while the system still lets its name be opened.
      if (fd >= 0) {
        rt::close(fd);
        reason = ERROR_FILE_NOT_FOUND;
      }
      if (!clock || undecided) {
        input.unsure = true;
        return std::nullopt;
      }
      let_go(index, input);
      rt::errno = reason;
      rt::print_error(rt::msg_lookup(rt::messages::kInaccessible), rt::Name{input.name});
      return std::nullopt;
    }
    let_go(index, input);
    notice(rt::messages::kReplaced, input.name);
  } else if (fd < 0) {
    return std::nullopt;
  } else if (input.state == FollowState::kAway && same_file_since(input.id, found) && found.links != 0) {
    // Back where it was: the checks of the poll tell whether it changed.
    notice(rt::messages::kAccessibleAgain, input.name);
    input.state = FollowState::kOpen;
    input.fd = fd;
    input.drained = false;
    return found;
  } else {
    notice(rt::messages::kAppeared, input.name);
  }
  take_new(input, fd, found);
  return found;
}

// --- 4. The polls ------------------------------------------------------------

// Whether a poll looks the name up: by name while it is followed, and with
// --retry while it is not, when it may have changed; by descriptor until it
// opens.
bool looks_up(const Followed& input, bool changed) {
  if (!input.by_name) return input.state != FollowState::kOpen;
  return (input.state == FollowState::kOpen || options.retry) && changed;
}

// Polls one input, its name looked up first where `changed` says it may
// have changed: the bytes written.
std::int64_t poll_input(int k, Followed& input, bool changed, bool clock) {
  const std::optional<rt::FileIdentity> found = looks_up(input, changed) ? look_up(k, input, clock) : std::nullopt;
  return input.state == FollowState::kOpen ? poll(k, input, found) : 0;
}

// Ends following: held carriage returns are written, then the process ends.
[[noreturn]] void end_following(Followed* inputs, int count, int status) {
  for (int k = 0; k < count; ++k) {
    release_return(k, inputs[k]);
    let_text_go(inputs[k].text);
  }
  rt::fflush(rt::stdout);
  check_output();
  rt::exit(status);
}

// --- 5. Interrupts and pauses ------------------------------------------------

// The console's control handler while following: every event ends the
// process as the default handling does, what is held written first.
BOOL WINAPI interrupted(DWORD /*event*/) {
  g_interrupted = true;
  for (DWORD waited = 0; waited < kInterruptWaitMs; waited += kInterruptTryMs) {
    if (w32::TryEnterCriticalSection(&g_polling)) end_interrupted();
    w32::Sleep(kInterruptTryMs);
  }
  rt::exit_process(STATUS_CONTROL_C_EXIT);
}

// The loop's hold of g_polling for its run, and its letting go for a pause.
// Only an exception from a test's replacement (of ExitProcess, SleepEx)
// ends either scope before the process ends.
struct Polling {
  Polling() { w32::EnterCriticalSection(&g_polling); }
  ~Polling() { w32::LeaveCriticalSection(&g_polling); }
};
struct Paused {
  Paused() { w32::LeaveCriticalSection(&g_polling); }
  ~Paused() { w32::EnterCriticalSection(&g_polling); }
};

// The wait for the next poll, the lock let go: on the process of --pid when
// there is one. WAIT_OBJECT_0 when the process has ended,
// WAIT_IO_COMPLETION when a notice has come, WAIT_TIMEOUT otherwise.
DWORD wait_for(HANDLE process, DWORD milliseconds, bool alertable) {
  const Paused paused;
  if (process) {
    const DWORD waited = w32::WaitForSingleObjectEx(process, milliseconds, alertable);
    if (waited != WAIT_FAILED) return waited;
  }
  return w32::SleepEx(milliseconds, alertable) == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : WAIT_TIMEOUT;
}

// The pause between polls; an interrupt that came meanwhile ends following.
DWORD pause(HANDLE process, DWORD milliseconds, bool alertable) {
  const DWORD waited = wait_for(process, milliseconds, alertable);
  if (g_interrupted) end_interrupted();
  return waited;
}

}  // namespace

// --- 6. Following ------------------------------------------------------------

bool follows_text() {
  const bool lines = options.unit == 0 || options.unit == 5;
  return lines && (rt::stream_default_mode & rt::STREAM_TEXT) != 0;
}

Followed awaited(const char* name) {
  return Followed{.name = name,
                  .state = FollowState::kAwaited,
                  .by_name = options.by_name != 0,
                  .named = true,
                  .fd = -1,
                  .position = 0,
                  .size = 0,
                  .id = {},
                  .drained = false,
                  .held_return = false,
                  .unsure = false,
                  .checked = 0,
                  .check = {},
                  .text = fresh_text()};
}

int follow_setup(rt::Stream* stream, const char* name, bool named, bool held_return, const InputText& text,
                 Followed& followed) {
  followed = awaited(name);
  followed.text = text;
  followed.by_name = named && options.by_name;
  followed.named = named;
  followed.state = FollowState::kNotFollowed;
  followed.held_return = held_return;
  if (!options.follow) return 0;
  // Only disk files are followed: pipes and consoles have no identity (so a
  // pipe on standard input is never followed).
  if (rt::file_identity(rt::fileno(stream), &followed.id) != 0) return 0;

  // The input's own descriptor stays open at the position written up to:
  // closing the stream gives back its read-ahead. Where that position is,
  // and the bytes before it: without them the polls could only write the
  // part again.
  const int fd = rt::stream_detach(stream);
  followed.position = fd >= 0 ? rt::lseek(fd, 0, rt::SEEK_CUR) : -1;
  if (followed.position < 0) {
    rt::print_error(rt::msg_lookup(rt::messages::kReadError), rt::Name{name});
    if (fd >= 0) rt::close(fd);
    if (held_return) rt::putc('\r', rt::stdout);
    return 1;
  }
  followed.state = FollowState::kOpen;
  followed.fd = fd;
  const int wanted = followed.position < kCheckSize ? static_cast<int>(followed.position) : kCheckSize;
  if (wanted > 0 && rt::lseek(fd, followed.position - wanted, rt::SEEK_SET) >= 0 &&
      rt::read_fully(fd, followed.check, static_cast<std::size_t>(wanted)) == wanted) {
    followed.checked = wanted;
  }
  followed.size = followed.id.size;
  // Read to its end, unless it grew while its part was written.
  followed.drained = followed.position >= followed.id.size;
  return 0;
}

void follow_files(Followed* inputs, int count, bool first_header, bool headers, int written, int status) {
  g_output = Output{.headers = headers, .first_header = first_header, .written = written};
  g_inputs = inputs;
  g_count = count;
  // Without a handler (the system refused it) an interrupt ends the process
  // as it did before following began.
  if (!std::exchange(g_handling, true)) {
    w32::InitializeCriticalSection(&g_polling);
    w32::SetConsoleCtrlHandler(interrupted, TRUE);
  }
  const Polling polling;
  if (!g_buffer) g_buffer = static_cast<unsigned char*>(rt::malloc(kInputBufferSize + 1));
  if (!g_buffer) {
    rt::print_error(rt::msg_lookup(rt::messages::kNoBufferMemory));
    rt::exit(1);
  }
  // With --pid the pause is a wait for that process: its end ends following
  // after one more poll of every input. An id that names no process ends it
  // after the first.
  HANDLE process = options.pid != 0 ? w32::OpenProcess(SYNCHRONIZE, FALSE, options.pid) : nullptr;
  bool ending = options.pid != 0 && !process;
  // The watcher of the run, let go at exit.
  static Watcher watcher;
  watch_folders(watcher, inputs, count);
  rt::atexit([] { stop_watching(watcher); });

  // The clock poll under way: the input it looks at next (count: none is
  // under way), and its number. The first poll, like the last, looks at
  // every input and every name: what changed before the folders were
  // watched is seen at once. Neither comes at the interval: like a poll that
  // notices start, neither decides that a name is gone.
  int sweep = 0;
  long long tick = -1;
  bool everything = true;
  long long ticks = 0;
  ULONGLONG next_clock = w32::GetTickCount64() + options.interval_ms;
  // The spacing of polls that notices start.
  ULONGLONG quiet_until = 0;
  ULONGLONG gap = 0;
  ULONGLONG last_noticed = 0;
  for (;;) {
    if (sweep < count) {
      // A slice of the clock poll: the inputs whose turn it is (with few
      // inputs, all of them), and always those no folder tells of and those
      // a notice left unsure.
      for (int looked = 0; sweep < count && looked < kSliceSize; ++sweep) {
        Followed& input = inputs[sweep];
        const bool turn = everything || has_turn(sweep, tick) || !is_watched(watcher, sweep) || input.unsure;
        if (!turn && count > kPolledEveryClock) continue;
        take_touch(watcher, sweep);
        poll_input(sweep, input, turn, !everything);
        ++looked;
      }
      rt::fflush(rt::stdout);
      check_output();
      if (sweep == count) {
        // The clock poll is done: it decides what remains.
        bool remaining = options.retry != 0;  // with --retry every name remains
        for (int k = 0; k < count && !remaining; ++k) remaining = inputs[k].state == FollowState::kOpen;
        if (!remaining) {
          rt::fprintf(rt::stderr, "%s: %s\n", rt::progname, rt::msg_lookup(rt::messages::kNoFilesRemaining));
          end_following(inputs, count, 1);
        }
        if (ending) end_following(inputs, count, status);
        everything = false;
        next_clock = w32::GetTickCount64() + options.interval_ms;
      }
    }
    const ULONGLONG now = w32::GetTickCount64();
    if (sweep == count && now >= next_clock) {
      sweep = 0;
      tick = ticks++;
      renew_watches(watcher, tick);
      continue;
    }
    // Until a notice or the clock; after a poll that notices started and
    // that brought much, deaf to them for a while; between two slices of a
    // clock poll, only the notices that have come.
    DWORD wait = 0;
    bool alertable = true;
    if (sweep == count) {
      alertable = now >= quiet_until;
      wait = static_cast<DWORD>((alertable || next_clock < quiet_until ? next_clock : quiet_until) - now);
    }
    const DWORD waited = pause(process, wait, alertable);
    if (waited == WAIT_OBJECT_0 && !ending) {
      // The process of --pid has ended: one more poll of every input.
      ending = everything = true;
      sweep = 0;
    }

    const bool heard = take_notice(watcher);
    // Folders whose notice has come are asked for the next, even when it
    // concerned nothing followed.
    if (heard || waited == WAIT_IO_COMPLETION) renew_watches(watcher, -1);
    if (!heard) continue;
    // A poll of what the notices concern, at once.
    std::int64_t brought = 0;
    for (int k = 0; k < count; ++k) {
      if (take_touch(watcher, k)) brought += poll_input(k, inputs[k], true, false);
    }
    rt::fflush(rt::stdout);
    check_output();
    const ULONGLONG polled = w32::GetTickCount64();
    const ULONGLONG since = polled > last_noticed ? polled - last_noticed : 1;
    const bool much = static_cast<ULONGLONG>(brought) * kMostNoticeGapMs >= kInputBufferSize * since;
    gap = !much ? 0 : 2 * gap < kNoticeGapMs ? kNoticeGapMs : 2 * gap < kMostNoticeGapMs ? 2 * gap : kMostNoticeGapMs;
    quiet_until = polled + gap;
    last_noticed = polled;
  }
}

}  // namespace tail
