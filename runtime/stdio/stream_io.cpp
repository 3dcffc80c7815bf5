// Streams: reading with text-mode translation, writing with line buffering,
// write-out and read-ahead, runs of bytes (fread, fwrite, stream_take,
// stream_copy), lines, and positioning.
#include <cstdint>

#include "runtime/stdio/stream.h"

#include "runtime/msg/heap.h"
#include "runtime/stdio/console.h"
#include "runtime/stdio/text_runs.h"
#include "runtime/string.h"

namespace rt {
namespace {

bool is_text(const Stream* stream) { return (stream->flags & STREAM_TEXT) != 0; }

// The bit of a table entry in line_flush_pending; 0 for a record outside the table.
std::uint32_t pending_bit(const Stream* stream) {
  const auto index = stream - stream_table;
  return index >= 0 && index < STREAM_MAX ? std::uint32_t{1} << index : 0;
}

// All pending line-buffered output is written before any input is read
// from the system (not before bytes a stream already holds are taken).
void write_out_pending_lines() {
  for (int i = 0; i < STREAM_MAX && (std::uint32_t{1} << i) <= line_flush_pending; ++i) {
    if (line_flush_pending & (std::uint32_t{1} << i)) stream_write_out(&stream_table[i]);
  }
}

// In text mode the in-place getc stops short of the next carriage return or
// 0x1A, so that translation needs no test on the fast path.
void limit_to_plain_run(Stream* stream) {
  if (stream->avail <= 0) return;
  const unsigned char* stop = find_any_of(stream->cur, stream->cur + stream->avail, '\r', kCtrlZ, kCtrlZ);
  stream->avail = static_cast<int>(stop - stream->cur);
}

// The descriptor moved on by n bytes read.
void advance_offset(Stream* stream, int n) {
  if (stream->mark_offset >= 0) stream->mark_offset += n;
}

// Reads the next bytes from the descriptor into the buffer after `mark`
// (from its base when the buffer is full), once pending lines are written
// out: false at the end of the input (STREAM_EOF) or on a read error
// (STREAM_ERR). A string stream's input ends with its area.
bool refill_wide(Stream* stream);

bool refill(Stream* stream) {
  if (stream->flags & STREAM_STRING) {
    stream->flags |= STREAM_EOF;
    return false;
  }
  if (stream->wide) return refill_wide(stream);
  if (stream->mark == stream->end) stream->cur = stream->mark = stream->valid_start = stream->base;
  if (line_flush_pending != 0) write_out_pending_lines();
  const int n = read(stream->fd, stream->mark, static_cast<unsigned>(stream->end - stream->mark));
  if (n <= 0) {
    stream->flags |= n < 0 ? STREAM_ERR : STREAM_EOF;
    return false;
  }
  stream->mark += n;
  advance_offset(stream, n);
  return true;
}

// Reads UTF-16 into the raw area and decodes it into the buffer after
// `mark`, from its base once everything was taken: false at the end of the
// input or on a read error. One read fills the raw area, which holds two
// bytes for each byte of the buffer, and its units are decoded while the
// buffer has room for them: ASCII text fills the buffer from one read, as
// 8-bit text does. The next read waits until all of it was taken, so that
// pending lines go out in one write a read, as they do for 8-bit text. A
// character cut by the end is given back to the descriptor or read as
// U+FFFD. What is decoded mirrors nothing in the file: no seek stays inside
// the buffer.
constexpr std::ptrdiff_t kLeastWideBuffer = 16;

bool refill_wide(Stream* stream) {
  WideInput& wide = *stream->wide;
  if (stream->cur == stream->mark) stream->cur = stream->mark = stream->base;
  const unsigned char* const first = stream->mark;
  for (;;) {
    const auto room = static_cast<std::size_t>(stream->end - stream->mark);
    // Raw bytes whose decoding fits the room: decoded_size(most) <= room.
    const std::size_t most = room >= 8 ? (room - 1) / 3 * 2 - 4 : 0;
    if (most == 0) return true;  // the bytes already there are to be taken first
    if (wide.at == wide.end) {
      if (stream->mark > first) return true;
      if (line_flush_pending != 0) write_out_pending_lines();
      const int n = read(stream->fd, wide.raw, static_cast<unsigned>(wide.capacity));
      if (n < 0) {
        stream->flags |= STREAM_ERR;
        return false;
      }
      if (n == 0) {
        WideDecoder& decoder = wide.decoder;
        if (decoder.carried > 0 && wide.keep_partial && lseek(stream->fd, -off_t{decoder.carried}, SEEK_CUR) >= 0) {
          decoder.carried = 0;
        }
        const std::size_t last = finish_wide(decoder, stream->mark);
        stream->mark += last;
        stream->valid_start = stream->mark;
        if (last > 0) return true;
        stream->flags |= STREAM_EOF;
        return false;
      }
      wide.at = 0;
      wide.end = static_cast<std::size_t>(n);
    }
    const std::size_t left = wide.end - wide.at;
    const std::size_t taken = left < most ? left : most;
    stream->mark += decode_wide(wide.decoder, wide.raw + wide.at, taken, stream->mark);
    wide.at += taken;
    stream->valid_start = stream->mark;
  }
}

// One byte from the buffer, refilled from the descriptor when it is used
// up, or straight from the descriptor when there is no buffer. EOF at the
// end of the input (STREAM_EOF) or on a read error (STREAM_ERR).
int read_step(Stream* stream) {
  if (!stream->base) {
    if (line_flush_pending != 0) write_out_pending_lines();
    unsigned char byte;
    const int n = read(stream->fd, &byte, 1);
    if (n <= 0) {
      stream->flags |= n < 0 ? STREAM_ERR : STREAM_EOF;
      return EOF;
    }
    advance_offset(stream, 1);
    return byte;
  }
  if (stream->mark < stream->cur) stream_write_out(stream);
  stream->avail = static_cast<int>(stream->mark - stream->cur);
  if (stream->avail == 0 && !refill(stream)) return EOF;
  stream->avail = static_cast<int>(stream->mark - stream->cur) - 1;
  return *stream->cur++;
}

// Writes the bytes from mark to cur to the descriptor. Bytes that can't be
// written are discarded and STREAM_ERR is set: false then. The bytes of a
// character not yet finished stay, moved to the buffer's base, unless they
// fill it.
bool write_out(Stream* stream) {
  if (stream->flags & STREAM_STRING) return true;
  stream->avail = 0;
  if (stream->flags & STREAM_LINEBUF) line_flush_pending &= ~pending_bit(stream);
  unsigned char* p = stream->mark;
  const bool any = p < stream->cur;
  const auto length = static_cast<std::size_t>(stream->cur - p);
  std::size_t kept = 0;
  const auto narrowed = static_cast<std::size_t>(stream->narrowed ? stream->narrowed - p : 0);
  stream->narrowed = nullptr;
  p += writes_shown(stream) ? write_shown(stream, p, length, narrowed, &kept) : write_bytes(stream, p, length);
  if (kept > 0 && kept == static_cast<std::size_t>(stream->end - stream->base)) {
    // A buffer that the character begun fills would never have room for the rest: its bytes go as they are.
    p += write_bytes(stream, p, kept);
    kept = 0;
  }
  stream->mark = p;
  const bool written = p + kept == stream->cur;
  if (!written) {
    stream->cur = p;  // the unwritten bytes are discarded
    kept = 0;
    stream->flags |= STREAM_ERR;
  }
  if (kept > 0) {
    memmove(stream->base, p, kept);
    stream->mark = stream->valid_start = stream->base;
    stream->cur = stream->base + kept;
    return true;
  }
  // A full buffer starts again at its base; so does a line-buffered one
  // after each write-out, so that the next run of lines fits whole.
  if (stream->cur == stream->end || (any && (stream->flags & STREAM_LINEBUF))) {
    stream->cur = stream->mark = stream->valid_start = stream->base;
  }
  return written;
}

// Stores the bytes of one fwrite call in a buffered stream as the in-place
// putc would, a run at a time, writing out the buffer whenever it is full;
// with `translate` (text mode) each line feed is stored as carriage return
// and line feed. `stored` counts the caller's bytes taken, `written` those of
// them known to have reached the descriptor when a write-out failed.
struct Storing {
  Stream* stream;
  bool translate;
  std::size_t stored;
  std::size_t written;
  const unsigned char* table;  // text converted as it is stored (see narrow_text), or null

  // Room for at least one byte; false when a write-out failed (or a string
  // stream's area is full).
  bool make_room() {
    if (stream->cur < stream->end) return true;
    if (stream->flags & STREAM_STRING) {
      written = stored;  // what a string stream holds is as good as written
      stream->flags |= STREAM_ERR;
      return false;
    }
    return write_out();
  }

  bool write_out() {
    if (!rt::write_out(stream)) return false;
    written = stored;
    return true;
  }

  // Copies [bytes, end) to cur while it fits.
  TextStep copy(const unsigned char* bytes, const unsigned char* end) const {
    const auto room = static_cast<std::size_t>(stream->end - stream->cur);
    const auto left = static_cast<std::size_t>(end - bytes);
    const std::size_t n = left < room ? left : room;
    memcpy(stream->cur, bytes, n);
    return {bytes + n, stream->cur + n};
  }

  bool put(const unsigned char* bytes, std::size_t length) {
    const unsigned char* const end = bytes + length;
    while (bytes < end) {
      if (!make_room()) return false;
      // Text is converted as it is stored while all that the buffer holds was.
      bool narrows = table && (stream->cur == stream->mark || stream->narrowed == stream->cur);
      TextStep step{bytes, stream->cur};
      if (narrows) step = narrow_text(table, bytes, end, stream->cur, stream->end, translate);
      if (step.from == bytes) {
        step = translate ? write_text(bytes, end, stream->cur, stream->end) : copy(bytes, end);
        if (step.from != bytes) narrows = false;  // stored as it is: converted at write-out
      }
      stored += static_cast<std::size_t>(step.from - bytes);
      bytes = step.from;
      stream->cur = step.to;
      if (narrows) stream->narrowed = step.to;
      if (translate && bytes < end && *bytes == '\n' && stream->cur + 1 == stream->end) {
        // Room for a line feed's carriage return alone: the line feed goes
        // after the write-out.
        *stream->cur++ = '\r';
        if (!make_room()) return false;
        *stream->cur++ = '\n';
        ++bytes;
        ++stored;
        if (narrows) stream->narrowed = stream->cur;
      }
    }
    stream->avail = -static_cast<int>(stream->end - stream->cur);  // room for the in-place putc
    return true;
  }
};

// Stores a run of bytes in a buffered stream, each line feed as carriage
// return and line feed when `translate`, by the line-buffering rules of
// fwrite: the number of bytes taken before a write failed (all of them when
// none did).
std::size_t store_run(Stream* stream, const unsigned char* bytes, std::size_t length, bool translate) {
  if (stream->cur < stream->mark) stream_drop_readahead(stream);
  Storing storing{stream, translate, 0, 0, narrowing_table(stream)};
  if (!(stream->flags & STREAM_LINEBUF)) return storing.put(bytes, length) ? length : storing.written;
  // Line buffering: bytes without a line feed wait in the buffer for one. A
  // run that holds a line feed writes out all it stores, the bytes after its
  // last line feed with the lines (unless the stream holds its lines), so
  // that copying makes one write per run: straight from the caller's bytes
  // when nothing is buffered before them and no translation is needed.
  const bool line = memchr(bytes, '\n', length) != nullptr;
  if (line && stream->cur == stream->mark && !translate && !writes_shown(stream)) {
    const std::size_t written = write_bytes(stream, bytes, length);
    if (written < length) stream->flags |= STREAM_ERR;
    return written;
  }
  if (!storing.put(bytes, length)) return storing.written;
  if (line && !(stream->flags & STREAM_HOLDLINES)) return storing.write_out() ? length : storing.written;
  line_flush_pending |= pending_bit(stream);
  return length;
}

// Takes up to `most` bytes of the in-place run at cur, ending after the
// first `stop` byte (-1: none): the number taken.
std::size_t take_in_place(Stream* stream, std::size_t most, int stop) {
  const auto avail = static_cast<std::size_t>(stream->avail > 0 ? stream->avail : 0);
  std::size_t n = avail < most ? avail : most;
  if (stop >= 0) {
    if (const void* found = memchr(stream->cur, stop, n)) {
      n = static_cast<std::size_t>(static_cast<const unsigned char*>(found) - stream->cur) + 1;
    }
  }
  stream->cur += n;
  stream->avail -= static_cast<int>(n);
  return n;
}

constexpr unsigned char kReturn[] = {'\r'};

// A buffered text stream over a descriptor (a string stream's area is its
// caller's: text is never translated in place there).
bool buffered_text(const Stream* stream) {
  return (stream->flags & (STREAM_TEXT | STREAM_STRING | STREAM_BUFSET)) == (STREAM_TEXT | STREAM_BUFSET) &&
         stream->base;
}

// Whether a stream's text is read by runs translated in place in its buffer:
// a buffered text stream, not writing, with no byte kept back by the slow
// path.
bool reads_text_in_place(const Stream* stream) {
  return buffered_text(stream) && stream->cur <= stream->mark && stream->lookahead == -1 && stream->pushback == -1;
}

// Takes the text that the bytes at cur give, up to `most` of them, ending
// after the first `stop` byte (-1: none), translated in place: the number of
// bytes it gives, which start at cur as it was. cur moves on over the bytes
// read, so that the descriptor's position still corresponds to mark; bytes
// moved down no longer mirror the file, so a seek back to them goes to the
// system. 0 when the first byte is a carriage return whose next byte is not
// among them: the slow path decides.
std::size_t take_text(Stream* stream, std::size_t most, int stop) {
  unsigned char* const start = stream->cur;
  const auto held = static_cast<std::size_t>(stream->mark - start);
  const TextStep step = read_text(start, start, start + (most < held ? most : held), stop);
  stream->cur = start + (step.from - start);
  if (step.to != stream->cur) stream->valid_start = stream->cur;
  stream->avail = 0;  // the in-place getc looks at what follows from the slow path
  return static_cast<std::size_t>(step.to - start);
}

// Line buffering's rule for a run stored: the buffer is written out when it
// holds a line feed (unless its lines are held), else it waits for the next
// read.
void end_run(Stream* out) {
  if (!(out->flags & STREAM_LINEBUF) || out->cur == out->mark) return;
  if (!(out->flags & STREAM_HOLDLINES) && memchr(out->mark, '\n', static_cast<std::size_t>(out->cur - out->mark))) {
    write_out(out);
  } else {
    line_flush_pending |= pending_bit(out);
  }
}

// Copies text read from UTF-16 into a text output's buffer in the page of
// `table` straight from the units read (see decode_text), read by read, as
// long as all that buffer holds is converted: false once the input ended
// (STREAM_EOF) or failed (STREAM_ERR). The units that decode_text leaves,
// and those read when the buffer holds bytes not converted, are left to the
// input's own decoding.
bool copy_units(Stream* in, Stream* out, const unsigned char* table) {
  WideInput& wide = *in->wide;
  bool more = true;
  while (wide.decoder.carried == 0) {
    if (wide.at == wide.end) {
      end_run(out);
      if (line_flush_pending != 0) write_out_pending_lines();
      const int n = read(in->fd, wide.raw, static_cast<unsigned>(wide.capacity));
      if (n <= 0) {
        in->flags |= n < 0 ? STREAM_ERR : STREAM_EOF;
        more = false;
        break;
      }
      wide.at = 0;
      wide.end = static_cast<std::size_t>(n);
    }
    if (out->cur == out->end && !write_out(out)) break;
    if (out->cur != out->mark && out->narrowed != out->cur) break;
    const unsigned char* const from = wide.raw + wide.at;
    const TextStep step = decode_text(table, wide.decoder.big_endian, from, wide.raw + wide.end, out->cur, out->end);
    wide.at += static_cast<std::size_t>(step.from - from);
    out->cur = out->narrowed = step.to;
    if (step.from == from && out->cur < out->end) break;
  }
  end_run(out);
  out->avail = -static_cast<int>(out->end - out->cur);  // room for the in-place putc
  return more;
}

// Copies the rest of a text input to a text output a run at a time. Read and
// written again, text keeps its bytes but for two: a 0x1A is dropped, and a
// line feed after a byte other than a carriage return gains one. So the runs
// between those go out as they were read, untranslated either way, and the
// runs from such a line feed up to the next carriage return or 0x1A go out
// as written text. A carriage return read last waits for the next byte other
// than 0x1A: if the input ends first, it is held back when `hold_return`
// asks, and the result says so. `held`: a carriage return that ended the
// input when the slow path read it (so that no line feed joins it) is held
// back already.
bool copy_text(Stream* in, Stream* out, bool hold_return, bool held) {
  const unsigned char* const table = in->wide ? narrowing_table(out) : nullptr;
  bool joins = false;         // a line feed after the carriage return held joins it
  bool after_return = false;  // the byte written last is a carriage return that a line feed joins
  for (;;) {
    if (table && !held && in->cur == in->mark && !copy_units(in, out, table)) break;
    if (in->cur == in->mark && !refill(in)) break;
    const unsigned char* at = in->cur;
    const unsigned char* const end = in->mark;
    while (at < end) {
      if (*at == kCtrlZ) {
        ++at;
        continue;
      }
      if (held) {
        store_run(out, kReturn, 1, false);
        held = false;
        after_return = joins;
      }
      if (*at == '\n' && !after_return) {
        const unsigned char* stop = find_any_of(at, end, '\r', kCtrlZ, kCtrlZ);
        store_run(out, at, static_cast<std::size_t>(stop - at), true);
        at = stop;
      } else {
        const unsigned char* change = find_text_change(at + 1, end);
        held = joins = change[-1] == '\r';
        const unsigned char* run_end = held ? change - 1 : change;
        if (run_end > at) store_run(out, at, static_cast<std::size_t>(run_end - at), false);
        at = change;
      }
      after_return = false;
    }
    in->cur = in->mark;
    in->avail = 0;
  }
  if (held && !hold_return) store_run(out, kReturn, 1, false);
  return held && hold_return;
}

}  // namespace

int stream_fill(Stream* stream) {
  if (!(stream->flags & STREAM_BUFSET)) stream_default_buffering(stream);
  if (stream->pushback != -1) {
    const int byte = stream->pushback;
    stream->pushback = -1;
    return byte;
  }
  int byte;
  if (stream->lookahead != -1 && stream->lookahead != '\n') {
    byte = stream->lookahead;  // read after a carriage return
    stream->lookahead = -1;
  } else {
    byte = read_step(stream);
  }
  if (!is_text(stream)) return byte;
  while (byte == kCtrlZ) byte = read_step(stream);
  if (byte == '\r' && stream->lookahead != '\n') {
    // Look at the byte after the carriage return: CR LF reads as LF; any
    // other byte (or EOF) is kept for the next call.
    stream->lookahead = '\n';
    const int next = stream_fill(stream);
    if (next == '\n') {
      stream->lookahead = -1;
      return '\n';
    }
    stream->lookahead = next;
    stream->avail = 0;
    return '\r';
  }
  limit_to_plain_run(stream);  // once the byte delivered is known
  return byte;
}

int stream_put_slow(int c, Stream* stream) {
  const auto byte = static_cast<unsigned char>(c);
  if (!(stream->flags & STREAM_BUFSET)) stream_default_buffering(stream);
  stream->pushback = -1;

  if (!stream->base) {
    stream->mark_offset = -1;
    if (is_text(stream) && byte == '\n' && write(stream->fd, "\r", 1) <= 0) {
      stream->flags |= STREAM_ERR;
      return EOF;
    }
    const int n = write(stream->fd, &byte, 1);
    if (n > 0 || (n == 0 && byte == kCtrlZ)) return byte;  // a refused 0x1A counts as written
    stream->flags |= STREAM_ERR;
    return EOF;
  }

  if (stream->cur < stream->mark) stream_drop_readahead(stream);
  if (is_text(stream) && byte == '\n') stream_put_slow('\r', stream);
  if (stream->cur == stream->end) {
    if (stream->flags & STREAM_STRING) {
      // A string stream never writes out: its area is full.
      stream->flags |= STREAM_ERR;
      return EOF;
    }
    stream_write_out(stream);
  }
  stream->avail = -static_cast<int>(stream->end - stream->cur - 1);
  *stream->cur++ = byte;
  if (stream->flags & STREAM_LINEBUF) {
    if (byte == '\n' && !(stream->flags & STREAM_HOLDLINES)) {
      stream_write_out(stream);
    } else {
      line_flush_pending |= pending_bit(stream);
    }
  }
  return byte;
}

void stream_write_out(Stream* stream) { write_out(stream); }

void stream_hold_lines(Stream* stream, bool hold) {
  if (hold) {
    stream->flags |= STREAM_HOLDLINES;
    return;
  }
  stream->flags &= ~STREAM_HOLDLINES;
  if (line_flush_pending & pending_bit(stream)) write_out(stream);
}

void stream_drop_readahead(Stream* stream) {
  if (!stream->base || stream->cur >= stream->mark || (stream->flags & STREAM_STRING)) return;
  if (stream->wide) {
    // Decoded bytes have no offset to give back to: the descriptor stays
    // where reading reached.
    stream->mark = stream->cur;
    stream->avail = 0;
    return;
  }
  stream->mark_offset = lseek(stream->fd, stream->cur - stream->mark, SEEK_CUR);
  stream->mark = stream->cur;
  stream->avail = 0;
}

int fputs(const char* text, Stream* stream) {
  for (; *text; ++text) {
    if (putc(static_cast<unsigned char>(*text), stream) == EOF) return EOF;
  }
  return 0;
}

std::size_t fread(void* data, std::size_t size, std::size_t count, Stream* stream) {
  if (size == 0 || count > SIZE_MAX / size) return 0;
  auto* to = static_cast<unsigned char*>(data);
  const std::size_t wanted = size * count;
  std::size_t got = 0;
  while (got < wanted) {
    const unsigned char* run;
    const std::size_t n = stream_take(stream, wanted - got, -1, &run);
    if (n == 0) break;
    memcpy(to + got, run, n);
    got += n;
  }
  return got / size;
}

std::size_t fwrite(const void* data, std::size_t size, std::size_t count, Stream* stream) {
  if (size == 0 || count == 0 || count > SIZE_MAX / size) return 0;
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::size_t length = size * count;
  if (!(stream->flags & STREAM_BUFSET)) stream_default_buffering(stream);
  stream->pushback = -1;
  if (!stream->base) {
    // Unbuffered: every byte goes to the descriptor as putc sends it.
    std::size_t taken = 0;
    while (taken < length && stream_put_slow(bytes[taken], stream) != EOF) ++taken;
    return taken / size;
  }
  return store_run(stream, bytes, length, is_text(stream)) / size;
}

std::size_t stream_take(Stream* stream, std::size_t most, int stop, const unsigned char** run) {
  if (most == 0) return 0;
  if (stream->avail > 0) {  // in text mode bytes without a carriage return or 0x1A
    *run = stream->cur;
    return take_in_place(stream, most, stop);
  }
  if (reads_text_in_place(stream)) {
    if (stream->cur == stream->mark && !refill(stream)) return 0;
    *run = stream->cur;
    if (const std::size_t n = take_text(stream, most, stop)) return n;
  }
  // The slow path decides, refills and translates.
  const int byte = stream_fill(stream);
  if (byte == EOF) return 0;
  if (stream->base && stream->cur > stream->base && stream->cur[-1] == byte && byte != stop) {
    // The byte lies in the buffer just before the bytes at cur: the run goes
    // on from it.
    *run = stream->cur - 1;
    const bool text = reads_text_in_place(stream);
    return 1 + (text ? take_text(stream, most - 1, stop) : take_in_place(stream, most - 1, stop));
  }
  stream->taken = static_cast<unsigned char>(byte);  // kept in the record
  *run = &stream->taken;
  return 1;
}

bool stream_copy(Stream* in, Stream* out, bool hold_return) {
  out->pushback = -1;
  bool held = false;  // a carriage return that ended the last run, not yet written
  for (;;) {
    if (reads_text_in_place(in) && buffered_text(out)) return copy_text(in, out, hold_return, held);
    const unsigned char* run;
    const std::size_t n = stream_take(in, SIZE_MAX, -1, &run);
    if (n == 0) return held;
    if (held) putc('\r', out);
    // A carriage return that ends the input so far: in text mode the slow
    // path found the end after it.
    held = hold_return && run[n - 1] == '\r' && (!is_text(in) || feof(in));
    fwrite(run, 1, n - held, out);
  }
}

int stream_get_line(char* buffer, int length, Stream* stream) {
  int stored = 0;
  while (stored < length - 1) {
    const int byte = getc(stream);
    if (byte == EOF) {
      if (stream->flags & STREAM_ERR) return LINE_ERROR;
      if (stored == 0) return LINE_EOF;
      buffer[stored] = '\0';
      return LINE_PARTIAL;
    }
    buffer[stored++] = static_cast<char>(byte);
    if (byte == '\0') return LINE_ZERO;
    if (byte == '\n') {
      buffer[stored] = '\0';
      return LINE_OK;
    }
  }
  buffer[stored] = '\0';
  return LINE_TRUNCATED;
}

int fseek(Stream* stream, off_t offset, int whence) {
  if (stream->wide) {
    // Units are decoded afresh from the new offset.
    WideInput& wide = *stream->wide;
    wide.at = wide.end = 0;
    wide.decoder.carried = 0;
    stream->avail = 0;
    stream->lookahead = -1;
    stream->pushback = -1;
    stream->flags &= ~STREAM_EOF;
    stream->cur = stream->mark = stream->valid_start = stream->base;
    stream->mark_offset = -1;
    return lseek(stream->fd, offset, whence) < 0 ? -1 : 0;
  }
  if (stream->mark < stream->cur) {
    fflush(stream);
  } else {
    stream->avail = 0;
    stream->lookahead = -1;
    stream->pushback = -1;
    stream->flags &= ~STREAM_EOF;
  }
  // The distance from the descriptor's position; the logical position
  // differs from it by the unread bytes.
  off_t distance;
  if (whence == SEEK_SET) {
    // Asked, not remembered: a caller may have moved the descriptor itself,
    // and then the buffer no longer holds the bytes just before it.
    const off_t known = stream->mark_offset;
    const off_t position = lseek(stream->fd, 0, SEEK_CUR);
    stream->mark_offset = position;
    if (position < 0) return -1;
    if (known >= 0 && known != position) stream->valid_start = stream->mark;
    distance = offset - position;
  } else {
    if (whence == SEEK_CUR) offset += stream->cur - stream->mark;
    distance = offset;
  }
  if (!(stream->flags & STREAM_CONSOLE) && whence != SEEK_END && stream->base && distance <= 0 &&
      distance >= stream->valid_start - stream->mark) {
    stream->cur = stream->mark + distance;  // the bytes are still in the buffer
    return 0;
  }
  stream->mark_offset = lseek(stream->fd, offset, whence);
  if (stream->mark_offset == -1) return -1;
  if (stream->base) stream->cur = stream->mark = stream->valid_start = stream->base;
  return 0;
}

off_t ftell(Stream* stream) {
  if (stream->wide) {
    errno = ERROR_NEGATIVE_SEEK;
    return -1;
  }
  if (stream->mark_offset < 0) stream->mark_offset = lseek(stream->fd, 0, SEEK_CUR);
  return stream->mark_offset < 0 ? -1 : stream->mark_offset + (stream->cur - stream->mark);
}

std::size_t stream_peek(Stream* stream, std::size_t n, const unsigned char** bytes) {
  if (!(stream->flags & STREAM_BUFSET)) stream_default_buffering(stream);
  if (stream->cur == stream->mark && stream->mark == stream->end) {
    stream->cur = stream->mark = stream->valid_start = stream->base;
  }
  // Only what is asked for is read: a file's first bytes cost one small
  // read, and the buffer stays aligned with the file.
  while (stream->base && !stream->wide && stream->lookahead == -1 && stream->pushback == -1 &&
         static_cast<std::size_t>(stream->mark - stream->cur) < n && stream->mark < stream->end) {
    const std::size_t room = static_cast<std::size_t>(stream->end - stream->mark);
    const std::size_t wanted = n - static_cast<std::size_t>(stream->mark - stream->cur);
    if (line_flush_pending != 0) write_out_pending_lines();
    const int got = read(stream->fd, stream->mark, static_cast<unsigned>(wanted < room ? wanted : room));
    if (got <= 0) {
      stream->flags |= got < 0 ? STREAM_ERR : STREAM_EOF;
      break;
    }
    stream->mark += got;
    advance_offset(stream, got);
  }
  stream->avail = 0;  // the next getc decides through the slow path
  *bytes = stream->cur;
  return stream->base ? static_cast<std::size_t>(stream->mark - stream->cur) : 0;
}

bool stream_decode_wide(Stream* stream, bool big_endian, bool keep_partial) {
  // Decoding needs room for a few characters at a time.
  if (!stream->base || stream->end - stream->base < kLeastWideBuffer) return false;
  const auto capacity = 2 * static_cast<std::size_t>(stream->end - stream->base);
  auto* wide = static_cast<WideInput*>(malloc(sizeof(WideInput)));
  auto* raw = static_cast<unsigned char*>(malloc(capacity));
  if (!wide || !raw) {
    free(wide);
    free(raw);
    return false;
  }
  // The bytes read ahead are the first units.
  const auto held = static_cast<std::size_t>(stream->mark - stream->cur);
  memcpy(raw, stream->cur, held);
  *wide = WideInput{.decoder = {.big_endian = big_endian, .carried = 0, .carry = {}},
                    .keep_partial = keep_partial,
                    .raw = raw,
                    .capacity = capacity,
                    .at = 0,
                    .end = held};
  stream->wide = wide;
  stream->cur = stream->mark = stream->valid_start = stream->base;
  stream->avail = 0;
  stream->mark_offset = -1;
  stream->flags &= ~STREAM_EOF;
  return true;
}

TextForm stream_swap_form(Stream* stream, const TextForm& form) {
  if (stream->mark < stream->cur) write_out(stream);
  TextForm old = stream->form;
  // What write-out kept is a character begun: it goes with its form.
  const auto kept = static_cast<std::size_t>(stream->cur - stream->mark);
  old.held = static_cast<std::uint8_t>(kept <= sizeof old.partial ? kept : 0);
  if (old.held > 0) memcpy(old.partial, stream->mark, old.held);
  if (stream->base) stream->cur = stream->mark = stream->valid_start = stream->base;
  stream->avail = 0;
  stream->form = form;
  stream->form.held = 0;
  if (form.held > 0) fwrite(form.partial, 1, form.held, stream);
  return old;
}

void rewind(Stream* stream) {
  fseek(stream, 0, SEEK_SET);
  stream->flags &= ~(STREAM_EOF | STREAM_ERR);
}

}  // namespace rt
