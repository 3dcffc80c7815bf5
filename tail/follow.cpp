// Follow mode: after the chosen part of each disk file is written, copy what
// is appended to them, polling at the interval of -s (2 seconds unless
// given), until the process is ended from outside (or by a write into a pipe
// without reader). With -F a followed name is looked up at the polls where
// its directory may have changed: when it names another file, or none, the
// old file is written to its end and let go, so that a writer can always
// rotate or recreate it.
//
// Nothing is ever written twice or lost: a file smaller than what was known
// of it, or whose last bytes read have changed, was truncated or rewritten
// and is written again from its start; a file that comes back under its name
// goes on from where it was; and a carriage return that ends what a poll can
// read waits for the byte after it, so that a line end split between two
// polls is written once.
#include <cstdint>
#include <utility>

#include "tail/tail.h"

#include "runtime/msg/diag.h"
#include "runtime/msg/format.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/messages.h"
#include "runtime/startup/exit.h"
#include "runtime/string.h"
#include "runtime/win32/errno.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/fstat.h"
#include "runtime/win32/open.h"

namespace tail {
namespace {

constexpr unsigned char kCtrlZ = 0x1A;  // the end-of-file mark of text files: dropped when read

bool g_headers = false;
bool g_first_header = false;  // no header was written yet
int g_written = -1;  // the input whose bytes were written last; -1: none being followed
// What a poll reads, one byte in front: room for a held carriage return.
// Allocated when following begins, and kept.
unsigned char* g_buffer = nullptr;

// With -F a name is looked up only when something may have changed what it
// names. Each directory of names followed by name gets a change
// notification for names made, deleted or renamed in it and for attributes
// and permissions changed (not for writes, which every append makes), tested
// at each poll without waiting. The names of a directory without one (the
// system refused it, or the directory went) are looked up at every poll.
// And every kFullLookUpPolls polls, the first one included, every name is
// looked up and what was refused is tried again: that catches what no
// notification tells (the target of a symbolic link replaced, a directory
// further up renamed) within 32 seconds at the default interval, while
// costing a sixteenth of looking every name up at every poll.
constexpr unsigned kFullLookUpPolls = 16;
constexpr DWORD kNameChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                               FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SECURITY;

// A directory of names followed by name.
struct Directory {
  char* path;     // its full path, ending in a separator
  HANDLE change;  // its change notification; null while it has none
  bool look;      // its names are looked up at this poll
};

// At most one directory an input; all freed at exit.
Directory* g_directories = nullptr;
int g_directory_count = 0;
int* g_directory_of = nullptr;  // by input: the index of its directory; -1: looked up as without them

// A line of standard error without an error text: "tail: " and the message.
void notice(const rt::Message& message, const char* name) {
  rt::fprintf(rt::stderr, "%s: ", rt::progname);
  rt::fprintf(rt::stderr, rt::msg_lookup(message), name);
  rt::fprintf(rt::stderr, "\n");
}

// Before an input's bytes: its header, when another input was written last.
void begin_output(int index, const Followed& input) {
  if (g_headers && g_written != index) write_header(input.name, std::exchange(g_first_header, false));
  g_written = index;
}

// Writes a held carriage return as it stands: no line feed will follow it.
void release_return(int index, Followed& input) {
  if (!input.held_return) return;
  begin_output(index, input);
  rt::putc('\r', rt::stdout);
  input.held_return = false;
}

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
// feed. The translation goes in place; data[-1] is free for a carriage
// return held from before. A carriage return that ends the bytes is held.
void write_text(int index, Followed& input, unsigned char* data, int n) {
  unsigned char* const start = data - 1;
  unsigned char* to = start;
  const unsigned char* from = data;
  const unsigned char* const end = data + n;
  while (from < end) {
    const unsigned char c = *from;
    if (c == kCtrlZ) {
      ++from;
      continue;
    }
    if (input.held_return) {
      input.held_return = false;
      if (c != '\n') *to++ = '\r';
    }
    if (c == '\r') {
      input.held_return = true;
      ++from;
      continue;
    }
    // The run of plain bytes up to the next carriage return or 0x1A.
    const auto left = static_cast<std::size_t>(end - from);
    const void* stop = rt::memchr(from, '\r', left);
    const auto* run_end = stop ? static_cast<const unsigned char*>(stop) : end;
    if (const void* mark = rt::memchr(from, kCtrlZ, static_cast<std::size_t>(run_end - from))) {
      run_end = static_cast<const unsigned char*>(mark);
    }
    const auto length = static_cast<std::size_t>(run_end - from);
    rt::memmove(to, from, length);
    to += length;
    from = run_end;
  }
  if (to == start) return;
  begin_output(index, input);
  rt::fwrite(start, 1, static_cast<std::size_t>(to - start), rt::stdout);
}

// The file was truncated or rewritten: what it holds now is written from
// its start.
void start_again(int index, Followed& input) {
  notice(rt::messages::kTruncated, input.name);
  release_return(index, input);
  input.position = 0;
  input.size = 0;
  input.checked = 0;
  input.drained = -1;
}

// Writes what the input holds past the position reached; false when it
// could not be read to its end. The bytes kept from the last read come
// first: when they are no longer what they were, the file was rewritten.
bool drain(int index, Followed& input) {
  int unchecked = input.checked;
  if (rt::lseek(input.fd, input.position - unchecked, rt::SEEK_SET) < 0) return false;
  for (;;) {
    rt::fflush(rt::stdout);  // a partial line is written before any read
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
    keep_check(input, data, n);
    input.position += n;
    if (input.position > input.size) input.size = input.position;
    if (follows_text()) {
      write_text(index, input, data, n);
    } else {
      begin_output(index, input);
      rt::fwrite(data, 1, static_cast<std::size_t>(n), rt::stdout);
    }
  }
}

bool same_file(const rt::FileIdentity& a, const rt::FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

// A poll of an open input of `size` bytes (-1: not known yet). A file
// smaller than the most known of it was truncated or replaced in place: it
// is written again from its start. A start point beyond the end is no such
// thing: nothing is written until the file grows past it. A file of the
// size it had when it was last read to its end has nothing new; one that
// could not be read (or whose size is unknown) is read again at the next poll.
void poll(int index, Followed& input, rt::off_t size) {
  rt::FileStatus status;
  if (size < 0 && rt::fstat(input.fd, &status) == 0) size = status.st_size;
  if (size >= 0) {
    if (size < input.size) start_again(index, input);
    if (size > input.size) input.size = size;
    if (size == input.drained) return;
  }
  input.drained = drain(index, input) ? size : -1;
}

// The name no longer opens the file followed: what is left of it is
// written, then it is closed. A file that still has a name may come back.
void let_go(int index, Followed& input) {
  poll(index, input, -1);
  release_return(index, input);
  rt::FileIdentity now;
  input.known = rt::file_identity(input.fd, &now) == 0 && now.links != 0;
  rt::close(input.fd);
  input.fd = -1;
}

// Follow by name: the file the name opens now, compared with the one
// followed. The size of the file followed from now on; -1 when there is none.
rt::off_t look_up(int index, Followed& input) {
  rt::FileIdentity found{};
  int fd = rt::open(input.name, rt::O_RDONLY, 0);
  if (fd >= 0 && rt::file_identity(fd, &found) != 0) {
    rt::close(fd);
    fd = -1;
  }
  int reason = rt::errno;
  const bool same = fd >= 0 && input.known && same_file(found, input.id) && found.links != 0;
  if (input.fd >= 0) {
    if (same) {
      rt::close(fd);
      return found.size;
    }
    let_go(index, input);
    if (fd < 0 || same_file(found, input.id)) {
      // Gone, or deleted while the system still lets its name be opened.
      if (fd >= 0) {
        rt::close(fd);
        reason = ERROR_FILE_NOT_FOUND;
      }
      rt::errno = reason;
      rt::print_error(rt::msg_lookup(rt::messages::kInaccessible), input.name);
      return -1;
    }
    notice(rt::messages::kReplaced, input.name);
  } else if (fd < 0) {
    return -1;
  } else if (same) {
    // Back where it was: the checks of the poll tell whether it changed.
    notice(rt::messages::kAccessibleAgain, input.name);
    input.fd = fd;
    input.drained = -1;
    return found.size;
  } else {
    notice(rt::messages::kAppeared, input.name);
  }
  input = Followed{input.name, fd, 0, 0, -1, found, true, true, false, 0, {}};
  return found.size;
}

// The index of the directory of a name, added when it is new; -1 when the
// name has none (it ends in a separator) or it cannot be had.
int directory_of(const char* name) {
  LPSTR file_part = nullptr;
  const DWORD size = w32::GetFullPathNameA(name, 0, nullptr, &file_part);
  char* path = size != 0 ? static_cast<char*>(rt::malloc(size)) : nullptr;
  if (!path) return -1;
  const DWORD written = w32::GetFullPathNameA(name, size, path, &file_part);
  if (written == 0 || written >= size || !file_part) {
    rt::free(path);
    return -1;
  }
  *file_part = '\0';
  for (int d = 0; d < g_directory_count; ++d) {
    if (rt::strcmp(g_directories[d].path, path) == 0) {
      rt::free(path);
      return d;
    }
  }
  g_directories[g_directory_count] = Directory{path, nullptr, true};
  return g_directory_count++;
}

// Closes the notifications and frees the directories.
void stop_watching() {
  for (int d = 0; d < g_directory_count; ++d) {
    if (g_directories[d].change) w32::FindCloseChangeNotification(g_directories[d].change);
    rt::free(g_directories[d].path);
  }
  rt::free(g_directories);
  rt::free(g_directory_of);
  g_directories = nullptr;
  g_directory_of = nullptr;
  g_directory_count = 0;
}

// Gives each input followed by name its directory; the notifications are
// armed by the first poll. Without memory for the tables every name is
// looked up at every poll.
void watch_directories(const Followed* inputs, int count) {
  g_directories = static_cast<Directory*>(rt::malloc(sizeof(Directory) * static_cast<std::size_t>(count)));
  g_directory_of = static_cast<int*>(rt::malloc(sizeof(int) * static_cast<std::size_t>(count)));
  if (!g_directories || !g_directory_of) return stop_watching();
  rt::atexit(stop_watching);
  for (int k = 0; k < count; ++k) g_directory_of[k] = inputs[k].by_name ? directory_of(inputs[k].name) : -1;
}

// True while the path names a directory.
bool is_directory(const char* path) {
  const DWORD attributes = w32::GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Before a poll's look-ups, marks the directories whose names are looked up:
// at a full look-up all (those without a notification get one first, when
// the system gives it), otherwise those whose notification has fired and
// those without one. A notification that fired is armed again before the
// names are looked up, so that a change made meanwhile fires it again; it is
// closed when its directory has gone, which also lets a new directory take
// the name.
void note_changes(bool full) {
  for (int d = 0; d < g_directory_count; ++d) {
    Directory& directory = g_directories[d];
    if (full && !directory.change) {
      directory.change = w32::FindFirstChangeNotificationA(directory.path, FALSE, kNameChanges);
      if (directory.change == INVALID_HANDLE_VALUE) directory.change = nullptr;
    }
    const bool fired = directory.change && w32::WaitForSingleObject(directory.change, 0) != WAIT_TIMEOUT;
    if (fired && (!w32::FindNextChangeNotification(directory.change) || !is_directory(directory.path))) {
      w32::FindCloseChangeNotification(directory.change);
      directory.change = nullptr;
    }
    directory.look = full || fired || !directory.change;
  }
}

}  // namespace

bool follows_text() { return (rt::stream_default_mode & rt::STREAM_TEXT) != 0; }

Followed awaited(const char* name) {
  return Followed{name, -1, 0, 0, -1, {}, false, options.by_name != 0, false, 0, {}};
}

int follow_setup(rt::Stream* stream, const char* name, bool held_return, Followed& followed) {
  followed = Followed{name, -1, 0, 0, -1, {}, false, false, held_return, 0, {}};
  if (!options.follow) return 0;
  // Only disk files are followed: pipes and consoles have no status, and a
  // pipe on standard input is never followed.
  rt::FileStatus status;
  if (rt::fstat(rt::fileno(stream), &status) != 0) return 0;
  if (stream == rt::stdin && (status.st_mode & rt::S_IFMT) == rt::S_IFIFO) return 0;

  // A duplicate keeps the file open at the position written up to: closing
  // the input gives back its read-ahead.
  const int fd = rt::dup(rt::fileno(stream));
  if (fd < 0) {
    rt::print_error("PANIC: dup failed");
    if (held_return) rt::putc('\r', rt::stdout);
    return 1;
  }
  rt::fclose(stream);
  followed.fd = fd;
  followed.known = rt::file_identity(fd, &followed.id) == 0;
  // The bytes before the position, for the first poll to compare.
  followed.position = rt::lseek(fd, 0, rt::SEEK_CUR);
  if (followed.position < 0) followed.position = 0;
  const int wanted = followed.position < kCheckSize ? static_cast<int>(followed.position) : kCheckSize;
  if (wanted > 0 && rt::lseek(fd, followed.position - wanted, rt::SEEK_SET) >= 0 &&
      rt::read_fully(fd, followed.check, static_cast<std::size_t>(wanted)) == wanted) {
    followed.checked = wanted;
  }
  followed.size = status.st_size;
  // Read to its end, unless it grew while its part was written.
  if (followed.position >= status.st_size) followed.drained = status.st_size;
  return 0;
}

void follow_files(Followed* inputs, int count, bool first_header, bool headers, int written, int status) {
  g_headers = headers;
  g_first_header = first_header;
  g_written = written;
  if (!g_buffer) g_buffer = static_cast<unsigned char*>(rt::malloc(kInputBufferSize + 1));
  if (!g_buffer) {
    rt::print_error(rt::msg_lookup(rt::messages::kNoBufferMemory));
    rt::exit(1);
  }
  // With --pid the pause is a wait for that process: its end ends following
  // after one more poll. An id that names no process ends it after the first.
  HANDLE process = options.pid != 0 ? w32::OpenProcess(SYNCHRONIZE, FALSE, options.pid) : nullptr;
  bool last_poll = options.pid != 0 && !process;
  if (options.by_name) watch_directories(inputs, count);
  for (unsigned polls = 0;; ++polls) {
    const DWORD waited = process ? w32::WaitForSingleObject(process, options.interval_ms) : WAIT_FAILED;
    if (waited == WAIT_OBJECT_0) last_poll = true;
    if (waited != WAIT_OBJECT_0 && waited != WAIT_TIMEOUT) w32::Sleep(options.interval_ms);
    note_changes(polls % kFullLookUpPolls == 0);
    bool remaining = options.retry != 0;  // with --retry every name remains
    for (int k = 0; k < count; ++k) {
      Followed& input = inputs[k];
      // By name, a name is looked up while it is followed, and with --retry
      // while it is not, when its directory may have changed; a name
      // followed by descriptor at every poll until it opens.
      const int d = g_directory_of ? g_directory_of[k] : -1;
      const bool changed = d < 0 || g_directories[d].look;
      const bool look = input.by_name ? (input.fd >= 0 || options.retry) && changed : input.fd < 0;
      const rt::off_t size = look ? look_up(k, input) : -1;
      if (input.fd >= 0) poll(k, input, size);
      remaining = remaining || input.fd >= 0;
    }
    if (!remaining) {
      rt::fprintf(rt::stderr, "%s: %s\n", rt::progname, rt::msg_lookup(rt::messages::kNoFilesRemaining));
      status = 1;
    }
    if (last_poll || !remaining) {
      rt::fflush(rt::stdout);
      rt::exit(status);
    }
  }
}

}  // namespace tail
