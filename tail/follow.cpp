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

// A file that shrank below the position reached was truncated or replaced
// in place: what is written after that starts again at its beginning.
void restart_if_shrunk(int fd) {
  rt::FileStatus status;
  const rt::off_t position = rt::lseek(fd, 0, rt::SEEK_CUR);
  if (position > 0 && rt::fstat(fd, &status) == 0 && status.st_size < position) rt::lseek(fd, 0, rt::SEEK_SET);
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
  if (rt::fstat(stream->fd, &status) != 0) return 0;
  if (stream == rt::stdin && (status.st_mode & rt::S_IFMT) == rt::S_IFIFO) return 0;

  // A duplicate keeps the file open at the position written up to: closing
  // the input gives back its read-ahead.
  const int fd = rt::dup(stream->fd);
  if (fd < 0) {
    rt::print_error("PANIC: dup failed");
    return 1;
  }
  rt::fclose(stream);
  rt::Stream* followed = rt::fdopen(fd, "r");
  if (!followed) {
    rt::print_error(rt::msg_lookup(1836, "re-opening file descriptor \"%d\"", "E fd"), fd);
    return 1;
  }
  // Unbuffered: every byte is read when it is wanted, nothing ahead.
  rt::setvbuf(followed, nullptr, rt::_IONBF, 0);
  for (;;) {
    sleep(kFollowInterval);
    followed->flags &= ~(rt::STREAM_EOF | rt::STREAM_ERR);
    restart_if_shrunk(fd);
    copy_to_stdout(followed);
  }
}

}  // namespace tail
