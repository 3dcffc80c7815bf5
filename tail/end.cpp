// The output modes that write the end of the input: the last lines of a
// positionable input by a backward scan, the last lines of any input by a
// line ring, and the last bytes of any input by a byte ring.
#include <cstdint>

#include "tail/tail.h"

#include "runtime/msg/diag.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/messages.h"
#include "runtime/startup/exit.h"
#include "runtime/string.h"
#include "runtime/win32/errno.h"
#include "runtime/win32/fd.h"

namespace tail {
namespace {

int no_memory() {
  rt::print_error(rt::msg_lookup(rt::messages::kNoBufferMemory));
  return 1;
}

// A ring of a size that no allocation can have (below 0, or beyond the
// address space) fails as an exhausted heap does, with its error number.
int no_memory_for_size() {
  rt::errno = ERROR_NOT_ENOUGH_MEMORY;
  return no_memory();
}

// What ends a line: the byte 0A, or in UTF-16 the unit 000A at an even
// offset (its byte 0A first in little-endian order, second in big-endian).
struct LineEnd {
  int width;  // 1 or 2
  int at;     // the place of the byte 0A in the unit
};

bool ends_line(const char* block, int i, LineEnd end) {
  return block[i + end.at] == '\n' && (end.width == 1 || block[i + 1 - end.at] == 0);
}

// The number of line ends in a block (for bytes, a loop the compiler vectorizes).
int count_line_feeds(const char* block, int n, LineEnd end) {
  int count = 0;
  if (end.width == 1) {
    for (int i = 0; i < n; ++i) count += block[i] == '\n';
  } else {
    for (int i = 0; i + 1 < n; i += 2) count += ends_line(block, i, end);
  }
  return count;
}

// --- The line ring ------------------------------------------------------------
//
// The ring keeps the last `slots` = count + 1 lines of the input, the newest
// perhaps still without its line feed, densely in a ring of bytes: byte x of
// the input (counted from 0) lives at bytes[x % capacity], and line k begins
// at byte starts[k % slots]. So the lines to write are always one range of
// the input: from the start of the oldest line kept to the end.
//
// A block of slots × kLineSlotSize bytes is allocated up front, so that a
// count too large for memory fails before anything is read; the ring starts
// small inside it and doubles as the kept lines need room, so the memory
// touched follows the data. Beyond the block it moves into one of its own:
// lines of any length are kept whole.
struct LineRing {
  std::size_t slots;
  std::uint64_t* starts;  // slots entries: where each kept line begins
  std::uint64_t lines;    // lines begun so far, the current one included
  std::uint64_t head;     // bytes stored so far: where the next one goes
  unsigned char* bytes;   // the ring: the up-front block, or a larger one
  std::size_t block_size;
  std::size_t capacity;  // a power of two, at most block_size
};

std::uint64_t oldest_start(const LineRing& ring) {
  return ring.lines > ring.slots ? ring.starts[ring.lines % ring.slots] : 0;
}

// Copies the input's bytes [from, to) between two rings, a contiguous piece
// at a time. The two may be the same block when the capacity doubles: then
// a byte either stays or moves from the lower half into the unused upper one.
void relocate(const unsigned char* old_bytes, std::size_t old_capacity, unsigned char* new_bytes,
              std::size_t new_capacity, std::uint64_t from, std::uint64_t to) {
  while (from < to) {
    const std::size_t old_at = from % old_capacity;
    const std::size_t new_at = from % new_capacity;
    std::uint64_t n = to - from;
    if (n > old_capacity - old_at) n = old_capacity - old_at;
    if (n > new_capacity - new_at) n = new_capacity - new_at;
    rt::memmove(new_bytes + new_at, old_bytes + old_at, static_cast<std::size_t>(n));
    from += n;
  }
}

// Makes room for `more` bytes after the kept lines; false without memory.
bool make_room(LineRing& ring, std::size_t more) {
  const std::uint64_t first = oldest_start(ring);
  const std::uint64_t needed = ring.head - first + more;
  if (needed <= ring.capacity) return true;
  std::size_t capacity = ring.capacity;
  while (capacity < needed) {
    if (capacity > SIZE_MAX / 2) return false;
    capacity *= 2;
  }
  unsigned char* bytes = ring.bytes;
  if (capacity > ring.block_size) {
    bytes = static_cast<unsigned char*>(rt::malloc(capacity));
    if (!bytes) return false;
  }
  relocate(ring.bytes, ring.capacity, bytes, capacity, first, ring.head);
  if (bytes != ring.bytes) {
    rt::free(ring.bytes);
    ring.bytes = bytes;
    ring.block_size = capacity;
  }
  ring.capacity = capacity;
  return true;
}

void store(LineRing& ring, const unsigned char* run, std::size_t length) {
  while (length > 0) {
    const std::size_t at = ring.head % ring.capacity;
    const std::size_t n = length < ring.capacity - at ? length : ring.capacity - at;
    rt::memcpy(ring.bytes + at, run, n);
    ring.head += n;
    run += n;
    length -= n;
  }
}

// Writes the input's bytes [from, to) from the ring to stdout.
void write_range(const LineRing& ring, std::uint64_t from, std::uint64_t to) {
  while (from < to) {
    const std::size_t at = from % ring.capacity;
    std::uint64_t n = to - from;
    if (n > ring.capacity - at) n = ring.capacity - at;
    rt::fwrite(ring.bytes + at, 1, static_cast<std::size_t>(n), rt::stdout);
    from += n;
  }
}

// The largest power of two not above `limit` (at least 1), and at most 64 KiB.
std::size_t first_capacity(std::size_t limit) {
  std::size_t capacity = 1;
  while (capacity * 2 <= limit && capacity < 65536) capacity *= 2;
  return capacity;
}

}  // namespace

int last_lines_seek(rt::Stream* stream, rt::off_t size, const char* name, bool* held_return, const InputText& text) {
  const rt::Encoding encoding = text.encoding;
  const bool wide = rt::is_wide(encoding);
  const LineEnd line_end{.width = wide ? 2 : 1, .at = encoding == rt::Encoding::kUtf16Be ? 1 : 0};
  // The block is kept from one input to the next: many files cost one.
  static char* const block = static_cast<char*>(rt::malloc(kScanBlockSize));
  if (!block) return no_memory();
  const int fd = rt::fileno(stream);
  // The scan looks at the bytes before `limit`, at first the size taken
  // before it: line feeds appended since would take the place of wanted
  // lines that the copy, ending at that size, then leaves out. From the last
  // block back: the first is the page that holds the last byte; each
  // further one is twice as large up to kScanBlockSize, so a few lines cost
  // a small read.
  // Line feeds to find from the end: the file's own last one is among them.
  // No number of them makes up a count below 0: then all of it is written.
  // (No file holds the largest count's line feeds: that count needs one fewer.)
  std::int64_t needed = options.count < 9223372036854775807 ? options.count + 1 : options.count;
  // In UTF-16 only whole units count: blocks begin at even offsets.
  rt::off_t limit = needed > 0 ? size & ~rt::off_t{line_end.width - 1} : 0;
  rt::off_t block_size = kScanFirstBlockSize;
  rt::off_t position = limit > 0 ? (limit - 1) / block_size * block_size : 0;
  while (limit > 0) {
    if (rt::lseek(fd, position, rt::SEEK_SET) < 0) {
      rt::rewind(stream);
      return last_lines_ring(stream, name);
    }
    int n = static_cast<int>(rt::read_fully(fd, block, static_cast<std::size_t>(limit - position)));
    if (n > 0) n &= ~(line_end.width - 1);
    if (n < 0) {
      // Taken for a block without line feeds, it would put the start too early.
      return read_error(name);
    }
    if (n == 0) break;
    // Counting first keeps the byte-by-byte search to the block that holds
    // the start.
    const int found = count_line_feeds(block, n, line_end);
    if (found >= needed) {
      int i = n;
      do {
        i -= line_end.width;
      } while (!(ends_line(block, i, line_end) && --needed == 0));
      position += i + line_end.width;
      break;
    }
    needed -= found;
    if (position == 0) break;  // fewer line feeds than wanted: all of it
    limit = position;
    if (block_size < kScanBlockSize) block_size *= 2;
    position = position > block_size ? position - block_size : 0;
  }
  // A mark is no text.
  if (position < rt::off_t{text.mark}) position = text.mark;
  // A failed seek would start the copy wherever the scan left the input.
  if (rt::fseek(stream, position, rt::SEEK_SET) != 0) return read_error(name);
  if (wide) {
    // Decoded text has no offsets to stop at: it is copied to its end (what
    // was appended since the size was taken comes after the lines wanted).
    copy_to_stdout(stream, held_return);
    return end_of_copy_checks(stream, name);
  }

  // The copy ends at the end of the first line that reaches the size taken
  // before the scan: what was appended since is left for following. Up to
  // that size it goes a run at a time; the position costs no system call.
  const unsigned char* run;
  rt::stream_hold_lines(rt::stdout, true);
  for (;;) {
    const rt::off_t at = rt::ftell(stream);
    const bool before_size = at >= 0 && at < size;
    const std::size_t n = rt::stream_take(stream, before_size ? static_cast<std::size_t>(size - at) : SIZE_MAX,
                                          before_size ? -1 : '\n', &run);
    if (n == 0) break;
    write_run(run, n, held_return);
    if (run[n - 1] == '\n' && rt::ftell(stream) >= size) break;
  }
  rt::stream_hold_lines(rt::stdout, false);
  return end_of_copy_checks(stream, name);
}

int last_lines_ring(rt::Stream* stream, const char* name) {
  // count + 1 lines: one more than wanted, so that a newest line without a
  // line feed is written together with the count lines before it.
  if (options.count < 0 || static_cast<std::uint64_t>(options.count) >= SIZE_MAX / kLineSlotSize) {
    return no_memory_for_size();
  }
  LineRing ring{};
  ring.slots = static_cast<std::size_t>(options.count) + 1;
  ring.block_size = ring.slots * kLineSlotSize;
  ring.starts = static_cast<std::uint64_t*>(rt::malloc(ring.slots * sizeof(std::uint64_t)));
  ring.bytes = static_cast<unsigned char*>(rt::malloc(ring.block_size));
  if (!ring.starts || !ring.bytes) {
    rt::free(ring.starts);
    rt::free(ring.bytes);
    return no_memory();
  }
  ring.capacity = first_capacity(ring.block_size);
  ring.lines = 1;  // the first line begins at byte 0
  ring.starts[0] = 0;

  const unsigned char* run;
  bool room = true;
  while (const std::size_t n = rt::stream_take(stream, SIZE_MAX, '\n', &run)) {
    if (!(room = make_room(ring, n))) break;
    store(ring, run, n);
    if (run[n - 1] == '\n') ring.starts[ring.lines++ % ring.slots] = ring.head;
  }
  if (room && rt::ferror(stream)) read_error_exit(name);
  if (room) write_range(ring, oldest_start(ring), ring.head);
  rt::free(ring.bytes);
  rt::free(ring.starts);
  if (!room) return no_memory();
  return end_of_copy_checks(stream, name);
}

int last_bytes_ring(rt::Stream* stream, std::int64_t offset, const char* name) {
  if (offset < 0) return no_memory_for_size();
  auto* ring = static_cast<unsigned char*>(rt::malloc(static_cast<std::size_t>(offset)));
  if (!ring) return no_memory();
  const auto size = static_cast<std::size_t>(offset);
  std::size_t position = 0;  // where the next byte goes
  std::int64_t total = 0;
  const unsigned char* run;
  while (std::size_t length = rt::stream_take(stream, SIZE_MAX, -1, &run)) {
    total += static_cast<std::int64_t>(length);
    if (size == 0) continue;
    if (length > size) {
      // Only the last `size` bytes of the run can stay.
      position = (position + (length - size)) % size;
      run += length - size;
      length = size;
    }
    const std::size_t first = length < size - position ? length : size - position;
    rt::memcpy(ring + position, run, first);
    rt::memcpy(ring, run + first, length - first);
    position = (position + length) % size;
  }
  if (total < offset) {
    rt::fwrite(ring, 1, static_cast<std::size_t>(total), rt::stdout);
  } else {
    rt::fwrite(ring + position, 1, size - position, rt::stdout);  // the oldest byte kept first
    rt::fwrite(ring, 1, position, rt::stdout);
  }
  rt::free(ring);
  return end_of_copy_checks(stream, name);
}

}  // namespace tail
