// Follow mode: after the chosen part of a disk file is written, copy what
// is appended to it, polling every 2 seconds, until the process is ended
// from outside (or by a write into a pipe without reader).
#include "tail/tail.h"

#include "runtime/msg/diag.h"
#include "runtime/msg/messages.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/fstat.h"

namespace tail {
namespace {

constexpr unsigned kFollowInterval = 2;  // seconds between polls

// Starts the followed stream again at the beginning of its file. The seek to
// the end comes first because it always moves the descriptor and empties the
// buffer, whose copy of the old contents must not be sought back into.
void restart(rt::Stream* followed) {
  rt::fseek(followed, 0, rt::SEEK_END);
  rt::fseek(followed, 0, rt::SEEK_SET);
}

}  // namespace

int sleep(unsigned seconds) {
  w32::Sleep(seconds * 1000);
  return 0;
}

int follow_stream(rt::Stream* stream) {
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
  rt::Stream* followed = rt::fdopen(fd, "r");
  if (!followed) {
    rt::print_error(rt::msg_lookup(rt::messages::kReopenFailed), fd);
    return 1;
  }
  // Each poll reads what is there in large runs: nothing is ever read twice
  // once following has started, so reading ahead loses nothing.
  rt::setvbuf(followed, nullptr, rt::_IOFBF, kInputBufferSize);
  // A file smaller than when it was last looked at was truncated or
  // replaced in place: what is written to it since starts at its beginning.
  // A start point beyond the end is no such thing: nothing is written until
  // the file grows past it.
  rt::off_t last_size = status.st_size;
  for (;;) {
    sleep(kFollowInterval);
    rt::clearerr(followed);
    if (rt::fstat(fd, &status) == 0) {
      if (status.st_size < last_size) restart(followed);
      last_size = status.st_size;
    }
    copy_to_stdout(followed);
  }
}

}  // namespace tail
