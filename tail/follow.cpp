// Follow mode: after the chosen part of each disk file is written, copy what
// is appended to them, polling at the interval of -s (2 seconds unless
// given), until the process is ended from outside (or by a write into a pipe
// without reader). With -F a followed name is looked up at every poll: when
// it names another file, or none, the old file is written to its end and let
// go, so that a writer can always rotate or recreate it.
#include <cstdint>

#include "tail/tail.h"

#include "runtime/msg/diag.h"
#include "runtime/msg/format.h"
#include "runtime/msg/messages.h"
#include "runtime/startup/exit.h"
#include "runtime/win32/errno.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/fstat.h"
#include "runtime/win32/open.h"

namespace tail {
namespace {

bool g_headers = false;
int g_written = -1;  // the input whose bytes were written last; -1: none being followed

// A line of standard error without an error text: "tail: " and the message.
void notice(const rt::Message& message, const char* name) {
  rt::fprintf(rt::stderr, "%s: ", rt::progname);
  rt::fprintf(rt::stderr, rt::msg_lookup(message), name);
  rt::fprintf(rt::stderr, "\n");
}

// Writes what the input holds past the position reached; false when it
// could not be read to its end. Each poll reads through a stream of its own
// over a duplicate of the descriptor: closing it gives back its read-ahead,
// so the descriptor stays at what was written.
bool drain(Followed& input, int index) {
  const int fd = rt::dup(input.fd);
  if (fd < 0) return false;
  rt::Stream* stream = rt::fdopen(fd, "r");
  if (!stream) {
    rt::print_error(rt::msg_lookup(rt::messages::kReopenFailed), fd);
    rt::exit(1);
  }
  rt::setvbuf(stream, nullptr, rt::_IOFBF, kInputBufferSize);
  const unsigned char* run;
  while (const std::size_t n = rt::stream_take(stream, SIZE_MAX, -1, &run)) {
    if (g_headers && g_written != index) write_header(input.name, false);
    g_written = index;
    rt::fwrite(run, 1, n, rt::stdout);
  }
  const bool read = !rt::ferror(stream);
  rt::fclose(stream);
  return read;
}

bool same_file(const rt::FileIdentity& a, const rt::FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

// Follow by name: the file the name opens now, compared with the one
// followed. The old one is written to its end before it is closed. The size
// of the file followed from now on; -1 when there is none.
rt::off_t look_up(Followed& input, int index) {
  rt::FileIdentity found{};
  int fd = rt::open(input.name, rt::O_RDONLY, 0);
  if (fd >= 0 && rt::file_identity(fd, &found) != 0) {
    rt::close(fd);
    fd = -1;
  }
  int reason = rt::errno;
  if (input.fd >= 0) {
    if (fd >= 0 && same_file(found, input.id) && found.links != 0) {
      rt::close(fd);
      return found.size;
    }
    drain(input, index);
    rt::close(input.fd);
    input.fd = -1;
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
  } else if (fd >= 0) {
    notice(rt::messages::kAppeared, input.name);
  } else {
    return -1;
  }
  input.fd = fd;
  input.id = found;
  input.size = 0;
  input.drained = -1;
  return found.size;
}

}  // namespace

int follow_setup(rt::Stream* stream, const char* name, Followed& followed) {
  followed = Followed{name, -1, 0, -1, {}, false};
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
    return 1;
  }
  rt::fclose(stream);
  followed.fd = fd;
  followed.size = status.st_size;
  rt::file_identity(fd, &followed.id);
  return 0;
}

void follow_files(Followed* inputs, int count, bool headers, int written) {
  g_headers = headers;
  g_written = written;
  for (;;) {
    w32::Sleep(options.interval_ms);
    for (int k = 0; k < count; ++k) {
      Followed& input = inputs[k];
      rt::off_t size = input.by_name ? look_up(input, k) : -1;
      if (input.fd < 0) continue;
      // A file smaller than when it was last looked at was truncated or
      // replaced in place: what is written to it since starts at its
      // beginning. A start point beyond the end is no such thing: nothing
      // is written until the file grows past it. A file of the size it had
      // when it was last read to its end has nothing new; one that could
      // not be read (or whose size is unknown) is read again at the next poll.
      rt::FileStatus status;
      if (size < 0 && rt::fstat(input.fd, &status) == 0) size = status.st_size;
      if (size >= 0) {
        if (size < input.size) {
          notice(rt::messages::kTruncated, input.name);
          rt::lseek(input.fd, 0, rt::SEEK_SET);
          input.drained = -1;
        }
        input.size = size;
        if (size == input.drained) continue;
      }
      input.drained = drain(input, k) ? size : -1;
    }
  }
}

}  // namespace tail
