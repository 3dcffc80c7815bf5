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

// A negative count from the end of a pipe keeps nothing; it fails as an
// exhausted heap does, with its error number.
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

// The number of line ends in a block. Bytes are compared 16 at once (the
// compiler's generic vectors), each match adding 1 to a byte counter of its
// lane for up to 255 rounds before the counters are summed.
int count_line_feeds(const char* block, int n, LineEnd end) {
  using Bytes = unsigned char __attribute__((vector_size(16)));
  using Halves = std::uint64_t __attribute__((vector_size(16)));
  int count = 0;
  int i = 0;
  if (end.width == 2) {
    for (; i + 1 < n; i += 2) count += ends_line(block, i, end);
    return count;
  }
  while (n - i >= 16) {
    Bytes sums{};
    for (int rounds = 0; rounds < 255 && n - i >= 16; ++rounds, i += 16) {
      Bytes bytes;
      __builtin_memcpy(&bytes, block + i, 16);
      sums -= reinterpret_cast<Bytes>(bytes == '\n');  // a match is 0xFF: subtracting it adds 1
    }
    const auto halves = reinterpret_cast<Halves>(sums);
    for (std::uint64_t half : {halves[0], halves[1]}) {
      half = (half & 0x00FF00FF00FF00FFu) + (half >> 8 & 0x00FF00FF00FF00FFu);
      count += static_cast<int>(half * 0x0001000100010001u >> 48);
    }
  }
  for (; i < n; ++i) count += block[i] == '\n';
  return count;
}

// --- The kept end --------------------------------------------------------------
//
// Both rings keep the end of the input in a queue of chunks: the newest fills
// up, and the oldest is let go (to be used again as a newest) once the chunks
// after it hold all that is wanted. So memory follows what is kept, not the
// count asked: any count from a pipe writes what the pipe holds, and lines of
// any length are kept whole. A chunk counts its line feeds or its bytes,
// whichever the ring counts.
constexpr std::size_t kChunkBytes = 65536 - 64;

struct Chunk {
  Chunk* next;
  std::size_t used;
  std::uint64_t units;
  unsigned char bytes[kChunkBytes];
};

struct KeptEnd {
  bool lines;             // counts line feeds; otherwise bytes
  std::uint64_t enough;   // the units that the chunks after the oldest must hold for it to go
  std::uint64_t units = 0;  // in all chunks
  Chunk* oldest = nullptr;
  Chunk* newest = nullptr;
  Chunk* spare = nullptr;   // chunks let go
};

void let_all_go(KeptEnd& kept) {
  if (kept.newest) {
    kept.newest->next = kept.spare;
    kept.spare = kept.oldest;
  }
  kept.oldest = kept.newest = nullptr;
  kept.units = 0;
}

void free_chunks(KeptEnd& kept) {
  let_all_go(kept);
  while (Chunk* chunk = kept.spare) {
    kept.spare = chunk->next;
    rt::free(chunk);
  }
}

// A new newest chunk, the oldest ones let go first; false without memory.
bool add_chunk(KeptEnd& kept) {
  while (kept.oldest != kept.newest && kept.units - kept.oldest->units >= kept.enough) {
    Chunk* const gone = kept.oldest;
    kept.oldest = gone->next;
    kept.units -= gone->units;
    gone->next = kept.spare;
    kept.spare = gone;
  }
  Chunk* chunk = kept.spare;
  if (chunk) {
    kept.spare = chunk->next;
  } else if (!(chunk = static_cast<Chunk*>(rt::malloc(sizeof(Chunk))))) {
    return false;
  }
  chunk->next = nullptr;
  chunk->used = 0;
  chunk->units = 0;
  (kept.newest ? kept.newest->next : kept.oldest) = chunk;
  kept.newest = chunk;
  return true;
}

bool keep(KeptEnd& kept, const unsigned char* run, std::size_t length) {
  while (length > 0) {
    if ((!kept.newest || kept.newest->used == kChunkBytes) && !add_chunk(kept)) return false;
    Chunk& chunk = *kept.newest;
    const std::size_t n = length < kChunkBytes - chunk.used ? length : kChunkBytes - chunk.used;
    rt::memcpy(chunk.bytes + chunk.used, run, n);
    const std::uint64_t units =
        kept.lines ? count_line_feeds(reinterpret_cast<const char*>(run), static_cast<int>(n), {1, 0}) : n;
    chunk.used += n;
    chunk.units += units;
    kept.units += units;
    run += n;
    length -= n;
  }
  return true;
}

// Writes what is kept from byte `from` on to stdout.
void write_kept(const KeptEnd& kept, std::uint64_t from) {
  for (const Chunk* chunk = kept.oldest; chunk; chunk = chunk->next) {
    if (from < chunk->used) rt::fwrite(chunk->bytes + from, 1, chunk->used - from, rt::stdout);
    from = from > chunk->used ? from - chunk->used : 0;
  }
}

// The byte of what is kept just after its `n`th line feed (n > 0, and at
// most the line feeds kept).
std::uint64_t after_line_feeds(const KeptEnd& kept, std::uint64_t n) {
  std::uint64_t at = 0;
  const Chunk* chunk = kept.oldest;
  for (; chunk->units < n; chunk = chunk->next) {
    n -= chunk->units;
    at += chunk->used;
  }
  std::size_t i = 0;
  while (chunk->bytes[i] != '\n' || --n > 0) ++i;
  return at + i + 1;
}

// The byte just after the `wanted`th line feed from the end of a run (wanted
// > 0); 0 when the run has fewer. Line feeds are counted a block at a time.
std::size_t after_last_line_feeds(const unsigned char* run, std::size_t n, std::uint64_t wanted) {
  constexpr std::size_t kBlock = 512;
  for (std::size_t end = n; end > 0;) {
    const std::size_t begin = end > kBlock ? end - kBlock : 0;
    const auto found = static_cast<std::uint64_t>(
        count_line_feeds(reinterpret_cast<const char*>(run + begin), static_cast<int>(end - begin), {1, 0}));
    if (found < wanted) {
      wanted -= found;
      end = begin;
      continue;
    }
    while (!(run[--end] == '\n' && --wanted == 0)) {
    }
    return end + 1;
  }
  return 0;
}

// Reads the input to its end into `kept`; what a run alone holds enough of
// replaces all kept before it. False without memory.
bool keep_end(rt::Stream* stream, KeptEnd& kept) {
  const unsigned char* run;
  while (const std::size_t n = rt::stream_take(stream, SIZE_MAX, -1, &run)) {
    std::size_t from = 0;
    if (!kept.lines) {
      if (n >= kept.enough) {
        let_all_go(kept);
        from = n - kept.enough;
      }
    } else if (n >= kept.enough) {
      from = after_last_line_feeds(run, n, kept.enough);
      if (from > 0) let_all_go(kept);
    }
    if (!keep(kept, run + from, n - from)) return false;
  }
  return true;
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
  if (options.count < 0) return no_memory_for_size();
  // count + 1 line feeds: the output starts after the last but count of
  // them, so that a newest line without a line feed is written together
  // with the count lines before it.
  KeptEnd kept{.lines = true, .enough = static_cast<std::uint64_t>(options.count) + 1};
  const bool room = keep_end(stream, kept);
  if (room && rt::ferror(stream)) read_error_exit(name);
  if (room) write_kept(kept, kept.units >= kept.enough ? after_line_feeds(kept, kept.units - kept.enough + 1) : 0);
  free_chunks(kept);
  if (!room) return no_memory();
  return end_of_copy_checks(stream, name);
}

int last_bytes_ring(rt::Stream* stream, std::int64_t offset, const char* name) {
  if (offset < 0) return no_memory_for_size();
  KeptEnd kept{.lines = false, .enough = static_cast<std::uint64_t>(offset)};
  const bool room = keep_end(stream, kept);
  if (room) write_kept(kept, kept.units > kept.enough ? kept.units - kept.enough : 0);
  free_chunks(kept);
  if (!room) return no_memory();
  return end_of_copy_checks(stream, name);
}

}  // namespace tail
