// The output modes that write the end of the input: the last lines of a
// positionable input by a backward scan, the last lines of any input by a
// ring of line slots, and the last bytes of any input by a byte ring.
#include "tail/tail.h"

#include "runtime/msg/diag.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/messages.h"
#include "runtime/startup/exit.h"
#include "runtime/string.h"
#include "runtime/win32/fd.h"

namespace tail {
namespace {

int no_memory() {
  rt::print_error(rt::msg_text("1835##not enough memory for buffering"));
  return 1;
}

// --- The line ring ------------------------------------------------------------

// A line slot: a line with its line feed, zero bytes included. Slots start
// as kLineSlotSize bytes of one block allocated up front, so that a count
// too large for memory fails before anything is read; a longer line moves
// its slot into a block of its own.
struct LineSlot {
  char* text;
  std::size_t length;
  std::size_t capacity;
  bool own;  // text is a block of its own, not part of the up-front block
};

// Makes room for `more` bytes after the slot's text; false without memory.
bool reserve(LineSlot& slot, std::size_t more) {
  if (slot.length + more <= slot.capacity) return true;
  std::size_t capacity = slot.capacity * 2;
  while (capacity < slot.length + more) capacity *= 2;
  char* grown = static_cast<char*>(slot.own ? rt::realloc(slot.text, capacity) : rt::malloc(capacity));
  if (!grown) return false;
  if (!slot.own) rt::memcpy(grown, slot.text, slot.length);
  slot.text = grown;
  slot.capacity = capacity;
  slot.own = true;
  return true;
}

enum class LineRead { Line, End, Partial, Error, NoMemory };

// Reads one line into a slot. At the end of the input with nothing read the
// slot keeps what it held.
LineRead read_line(rt::Stream* in, LineSlot& slot) {
  bool started = false;
  for (;;) {
    const char* bytes;
    std::size_t length;
    bool complete;
    char single;
    if (in->avail > 0) {
      bytes = reinterpret_cast<const char*>(in->cur);
      const void* line_feed = rt::memchr(bytes, '\n', static_cast<std::size_t>(in->avail));
      complete = line_feed != nullptr;
      length = complete ? static_cast<std::size_t>(static_cast<const char*>(line_feed) - bytes) + 1
                        : static_cast<std::size_t>(in->avail);
      in->cur += length;
      in->avail -= static_cast<int>(length);
    } else {
      const int c = rt::stream_fill(in);
      if (c == rt::EOF) {
        if (in->flags & rt::STREAM_ERR) return LineRead::Error;
        return started ? LineRead::Partial : LineRead::End;
      }
      single = static_cast<char>(c);
      bytes = &single;
      length = 1;
      complete = c == '\n';
    }
    if (!started) {
      slot.length = 0;
      started = true;
    }
    if (!reserve(slot, length)) return LineRead::NoMemory;
    rt::memcpy(slot.text + slot.length, bytes, length);
    slot.length += length;
    if (complete) return LineRead::Line;
  }
}

bool ends_line(const LineSlot& slot) { return slot.length > 0 && slot.text[slot.length - 1] == '\n'; }

}  // namespace

int last_lines_seek(rt::Stream* stream, rt::off_t size, const char* name) {
  char* block = static_cast<char*>(rt::malloc(kScanBlockSize));
  if (!block) return no_memory();
  // The first block read is the one that holds the last byte of the file;
  // blocks start at multiples of their size.
  rt::off_t position = size % kScanBlockSize != 0 ? size - size % kScanBlockSize : size - kScanBlockSize;
  // Line feeds to find from the end: the file's own last one is among them.
  std::int64_t needed = std::int64_t{options.count} + 1;
  if (position < 0) position = 0;
  bool scanning = position > 0 || size > 0;
  while (scanning) {
    if (rt::lseek(stream->fd, position, rt::SEEK_SET) < 0) {
      rt::free(block);
      rt::rewind(stream);
      return last_lines_ring(stream, name);
    }
    const int n = rt::read(stream->fd, block, kScanBlockSize);
    if (n == 0) break;
    int i = n - 1;  // a failed read counts as a block without line feeds
    while (i >= 0 && !(block[i] == '\n' && --needed == 0)) --i;
    if (i >= 0) {
      position += i + 1;
      break;
    }
    position -= kScanBlockSize;
    if (position < 0) {
      position = 0;  // fewer line feeds than wanted: all of it
      scanning = false;
    }
  }
  rt::free(block);
  rt::fseek(stream, position, rt::SEEK_SET);

  // The copy ends at the end of the first line that reaches the size taken
  // before the scan: what was appended since is left for following.
  for (int c; (c = rt::getc(stream)) != rt::EOF;) {
    rt::putc(c, rt::stdout);
    if (c == '\n' && rt::ftell(stream) >= size) break;
  }
  return end_of_copy_checks(stream, name);
}

int last_lines_ring(rt::Stream* stream, const char* name) {
  // count + 1 slots: one more than the lines wanted, so that the oldest can
  // be told from the newest.
  const std::int64_t slots = std::int64_t{options.count} + 1;
  if (slots < 1) return no_memory();
  const auto count = static_cast<std::size_t>(slots);
  auto* ring = static_cast<LineSlot*>(rt::malloc(sizeof(LineSlot) * count));
  char* storage = static_cast<char*>(rt::malloc(count * kLineSlotSize));
  if (!ring || !storage) {
    rt::free(ring);
    rt::free(storage);
    return no_memory();
  }
  for (std::size_t i = 0; i < count; ++i) ring[i] = LineSlot{storage + i * kLineSlotSize, 0, kLineSlotSize, false};

  std::size_t cur = 0;
  bool reading = true;
  int status = 0;
  while (reading) {
    switch (read_line(stream, ring[cur])) {
      case LineRead::Line:
        cur = (cur + 1) % count;
        break;
      case LineRead::Partial:
        cur = (cur + 1) % count;
        reading = false;
        break;
      case LineRead::End:
        reading = false;
        break;
      case LineRead::Error:
        rt::print_error(rt::msg_lookup(261, "read error on file \"%s\"", "E filename"), name);
        rt::exit(1);
      case LineRead::NoMemory:
        status = no_memory();
        reading = false;
        break;
    }
  }
  if (status == 0) {
    // When the newest line has no line feed, the count lines before it are
    // written as well; unfilled slots write nothing.
    const std::size_t last = cur == 0 ? count - 1 : cur - 1;
    std::size_t i = ends_line(ring[last]) ? (cur + 1) % count : cur;
    do {
      write_to_stdout(ring[i].text, ring[i].length);
      i = (i + 1) % count;
    } while (i != cur);
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (ring[i].own) rt::free(ring[i].text);
  }
  rt::free(storage);
  rt::free(ring);
  if (status != 0) return status;

  rt::fflush(rt::stdout);
  if (rt::stdout->flags & rt::STREAM_ERR) {
    rt::print_error(rt::msg_text("4##write error on standard output"));
    return 1;
  }
  return follow_stream(stream);
}

int last_bytes_ring(rt::Stream* stream, std::int64_t offset, const char* name) {
  if (offset < 0) return no_memory();
  char* ring = static_cast<char*>(rt::malloc(static_cast<std::size_t>(offset)));
  if (!ring) return no_memory();
  const auto size = static_cast<std::size_t>(offset);
  std::size_t position = 0;  // where the next byte goes
  std::int64_t total = 0;
  for (;;) {
    if (stream->avail > 0) {
      // A run of bytes, stored around the ring.
      const auto* bytes = reinterpret_cast<const char*>(stream->cur);
      auto length = static_cast<std::size_t>(stream->avail);
      stream->cur += length;
      stream->avail = 0;
      total += static_cast<std::int64_t>(length);
      if (size == 0) continue;
      if (length > size) {
        // Only the last `size` bytes of the run can stay.
        position = (position + (length - size)) % size;
        bytes += length - size;
        length = size;
      }
      const std::size_t first = length < size - position ? length : size - position;
      rt::memcpy(ring + position, bytes, first);
      rt::memcpy(ring, bytes + first, length - first);
      position = (position + length) % size;
    } else {
      const int c = rt::stream_fill(stream);
      if (c == rt::EOF) break;
      ++total;
      if (size == 0) continue;
      ring[position] = static_cast<char>(c);
      position = (position + 1) % size;
    }
  }
  if (total < offset) {
    write_to_stdout(ring, static_cast<std::size_t>(total));
  } else {
    write_to_stdout(ring + position, size - position);  // the oldest byte kept first
    write_to_stdout(ring, position);
  }
  rt::free(ring);
  return end_of_copy_checks(stream, name);
}

}  // namespace tail
