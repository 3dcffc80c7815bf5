// Buffered byte streams over descriptors.
//
// A fixed table of STREAM_MAX streams; entries 0, 1 and 2 are stdin, stdout
// and stderr, set up statically. Buffering (none, line, full) is decided by
// setvbuf or on first use. getc and putc are expanded in place and touch only
// `cur` and `avail`; every decision (buffer set-up, change of direction,
// text-mode translation, line buffering) is made in the slow paths
// stream_fill and stream_put_slow, or in the functions that take and give
// runs of bytes, which translate text a run at a time.
//
// A buffered stream is idle (cur == mark), reading (cur < mark, avail >= 0)
// or writing (mark < cur, avail <= 0). The descriptor's position always
// corresponds to `mark`. Buffer offset k holds file offsets congruent to k
// modulo the buffer size, so refills and full write-outs are aligned.
//
// The record's fields are this layer's business: outside runtime/stdio only
// the in-place getc and putc below touch them (`cur` and `avail`). Callers
// use the functions: fread, fwrite, stream_take and stream_copy for runs of
// bytes, fileno, ferror, feof, clearerr and stream_set_binary for the rest.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/prelude.h"
#include "runtime/stdio/encoding.h"
#include "runtime/win32/fd.h"

namespace rt {

// What the bytes written to a stream are as text. A console shows text as
// characters: bytes of a known page (or UTF-8) are converted for it, so they
// read right whatever page the console has; other outputs get the bytes as
// they are, but for text decoded from UTF-16, which they get in the
// console's page.
enum class TextKind : std::uint8_t {
  kBytes,      // bytes as they are, everywhere
  kUndecided,  // 8-bit text: bytes until a console sees one above 0x7F; UTF-8 from there on
               // if the bytes there are UTF-8, else bytes for good
  kPage,       // text in code page `page` (0: the OEM page)
  kWide,       // UTF-8 decoded from UTF-16: in the console's page for outputs that are no console
  kMessages,   // messages and headers: in the page of the message catalogue in use (the OEM page
               // without one)
  kName,       // a name, in the names' page: in the console's page for outputs that are no console
};
struct TextForm {
  TextKind kind = TextKind::kBytes;
  std::uint16_t page = 0;
  std::uint8_t held = 0;          // bytes of a character begun but not finished, in `partial`
  unsigned char partial[3] = {};  // kept while another form was the stream's
};

// A stream that reads UTF-16 and gives UTF-8: the units read and not yet
// decoded, and the bytes of a character that a read cut.
struct WideInput {
  WideDecoder decoder;
  bool keep_partial;  // at the end, a cut character is given back to the file, not replaced
  unsigned char* raw;
  std::size_t capacity;
  std::size_t at;   // the next byte of raw to decode
  std::size_t end;  // one past the last byte read into raw
};

struct Stream {
  unsigned char* cur;  // next byte to read, or place of the next byte to write
  // > 0: bytes the in-place read may take from cur; < 0: minus the bytes the
  // in-place write may still store at cur; 0: both must take the slow path.
  int avail;
  unsigned char* mark;         // reading: end of the read-ahead; writing: first unwritten byte
  unsigned char* base;         // the buffer; null when unbuffered or undecided
  unsigned char* end;          // one past the buffer
  unsigned char* valid_start;  // bytes from here to mark mirror the file
  int fd;
  unsigned flags;
  int pushback;   // one byte handed back, or -1
  int lookahead;  // text mode: -1 empty, 10 while looking ahead, else a byte to deliver
  // The descriptor's position (the file offset of `mark`) as last learnt,
  // or -1 while unknown: ftell asks the system only when it is unknown.
  off_t mark_offset;
  // A byte that stream_take delivers from the slow path, outside the buffer.
  unsigned char taken;
  TextForm form{};             // what the bytes written are, for a console
  // Writing: the bytes from mark to here are converted for the output
  // already (see narrow_text); null when none are.
  unsigned char* narrowed = nullptr;
  WideInput* wide = nullptr;   // reading UTF-16 decoded to UTF-8; null otherwise
};

constexpr unsigned STREAM_EOF = 0x01;
constexpr unsigned STREAM_ERR = 0x02;
constexpr unsigned STREAM_LINEBUF = 0x04;
constexpr unsigned STREAM_BUFSET = 0x08;
constexpr unsigned STREAM_OWNBUF = 0x10;
constexpr unsigned STREAM_TEXT = 0x20;
constexpr unsigned STREAM_STRING = 0x40;
constexpr unsigned STREAM_OPEN = 0x80;
constexpr unsigned STREAM_CONSOLE = 0x100;
// Line buffering whose complete lines may wait, as a partial line does, for
// the next read from any stream (set while runs are copied: see
// stream_hold_lines).
constexpr unsigned STREAM_HOLDLINES = 0x200;
// Whether the descriptor is a console that shows characters, once asked
// (STREAM_ASKED); cleared when showing them failed.
constexpr unsigned STREAM_ASKED = 0x400;
constexpr unsigned STREAM_SHOWS = 0x800;

// Buffering modes of setvbuf; their bits are OR-ed into `flags`.
constexpr int _IONBF = 8;    // STREAM_BUFSET
constexpr int _IOLBF = 12;   // STREAM_BUFSET | STREAM_LINEBUF
constexpr int _IOFBF = 136;  // STREAM_BUFSET | STREAM_OPEN

constexpr int EOF = -1;
constexpr int STREAM_MAX = 20;
constexpr int STREAM_BUFSIZE = 1024;

extern Stream stream_table[STREAM_MAX];
inline constexpr Stream* stdin = &stream_table[0];
inline constexpr Stream* stdout = &stream_table[1];
inline constexpr Stream* stderr = &stream_table[2];

// The text/binary bits of an open whose mode names neither 't' nor 'b'.
extern unsigned stream_default_mode;
// Bit i: table entry i is line-buffered and holds output without a line feed.
extern std::uint32_t line_flush_pending;
// Run by exit after the atexit list; setvbuf installs stream_close_all here.
extern void (*stream_exit_hook)();

// Opening and closing. Modes: first character r, w or a; then optionally
// '+', 't' or 'b' in the second or third place.
Stream* fopen(const char* name, const char* mode);
Stream* fdopen(int fd, const char* mode);
// 0, or -1 when the write-out or the close failed.
int fclose(Stream* stream);
// Closes the stream as fclose does but keeps its descriptor open, at the
// position read or written up to (read-ahead given back): the descriptor,
// or -1 when the stream is not open or its write-out failed (the
// descriptor is then closed).
int stream_detach(Stream* stream);
// Closes every open stream, in table order.
void stream_close_all();
// Writes out pending output and gives back read-ahead. A null stream
// flushes every open stream. -1 when the stream has STREAM_ERR.
int fflush(Stream* stream);
// Decides the buffering once: _IONBF, or _IOLBF/_IOFBF with a buffer of
// `size` bytes (allocated when null). -1 when already decided or refused.
int setvbuf(Stream* stream, void* buffer, int mode, std::size_t size);

// Buffering on first use: line buffering for stderr and for consoles (a
// descriptor that is not open counts as one), full buffering otherwise, with
// STREAM_BUFSIZE bytes. When no buffer can be had, STREAM_BUFSET stays clear
// and the next slow path tries again; meanwhile bytes go straight to the
// descriptor.
void stream_default_buffering(Stream* stream);

// The slow paths of getc and putc.
int stream_fill(Stream* stream);
int stream_put_slow(int byte, Stream* stream);
// Writes the bytes from mark to cur to the descriptor.
void stream_write_out(Stream* stream);
// Moves the descriptor back to the logical position, dropping read-ahead.
void stream_drop_readahead(Stream* stream);
// While a line-buffered stream holds its lines, a line feed stored does not
// write them out: they go before the next read from any stream, when the
// buffer fills, or when the hold ends (which writes out all that is held).
// Copying many short runs thus makes one write per read.
void stream_hold_lines(Stream* stream, bool hold);

// The next byte (0-255), or EOF.
inline int getc(Stream* stream) {
  if (stream->avail > 0) {
    --stream->avail;
    return *stream->cur++;
  }
  return stream_fill(stream);
}

// Writes a byte; the byte (0-255), or EOF. A line feed always takes the
// slow path, where text-mode translation and line buffering happen.
inline int putc(int c, Stream* stream) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte != '\n' && stream->avail < 0) {
    ++stream->avail;
    *stream->cur++ = byte;
    return byte;
  }
  return stream_put_slow(byte, stream);
}

// 0, or EOF at the first byte that could not be written.
int fputs(const char* text, Stream* stream);

// Reads up to count items of `size` bytes, as that many getc calls would:
// the number of whole items read; fewer at the end of the input or on a
// read error (feof and ferror tell which).
std::size_t fread(void* data, std::size_t size, std::size_t count, Stream* stream);
// Writes count items of `size` bytes, as that many putc calls would (text
// mode puts a carriage return before each line feed), but a run at a time.
// On a line-buffered stream everything up to the last line feed is handed
// to the system and the rest stays buffered. The number of whole items
// taken before a write failed: count when none failed.
std::size_t fwrite(const void* data, std::size_t size, std::size_t count, Stream* stream);
// Takes the next bytes that getc would deliver, ending after the first
// byte equal to `stop` (-1: no stop byte), without copying them: *run points
// at them until the next operation on the stream. At most `most` bytes of
// the input are read for them (text mode drops some: fewer may come), but
// for a first byte that is a carriage return, whose line end the byte after
// it decides. Text is translated in place, a run at a time. The number
// taken: at least 1, or 0 at the end of the input or on a read error.
std::size_t stream_take(Stream* stream, std::size_t most, int stop, const unsigned char** run);
// Copies the rest of `in` to `out` as a loop of getc and putc would (the same
// bytes, translations and line buffering), a run at a time. Text read and
// written in text mode goes out as it was read but where the two
// translations differ (0x1A, a line feed without a carriage return before
// it), so most of it is written without a copy. With `hold_return`, a
// carriage return that ends the input is not written (the byte after it may
// yet come, and end a line with it): the result tells whether one was held.
bool stream_copy(Stream* in, Stream* out, bool hold_return);

// Looks at the next bytes of an input without taking them: at least `n`
// unless the input ends first (or the buffer has no room), read as they are,
// with no translation. The number of bytes at *bytes.
std::size_t stream_peek(Stream* stream, std::size_t n, const unsigned char** bytes);
// From here on the input is UTF-16 (after its mark): what is read gives its
// characters in UTF-8, and text mode translates them as it does bytes (a
// carriage return and line feed as the line feed, U+001A dropped). Such a
// stream only reads forward, from an fseek to a unit's offset; it gives back
// no read-ahead, and ftell fails. With `keep_partial`, a character the
// input's end cuts is given back to the descriptor (a file that grows may
// finish it); otherwise it reads as U+FFFD. False without memory, or
// without a buffer of at least 16 bytes.
bool stream_decode_wide(Stream* stream, bool big_endian, bool keep_partial);

// Makes `form` what the bytes written from now on are, and gives back the
// form they had, with the bytes of a character not yet finished (its
// decision too: a form kUndecided comes back as decided once it has been).
// What the stream holds is written out first.
TextForm stream_swap_form(Stream* stream, const TextForm& form);

// Writes a name (`length` bytes in the names' page) as text around it is
// shown: as characters on a console, elsewhere in the console's page (a
// character it lacks as '?'). A name of ASCII characters, or one in the page
// of an output that is no console and takes bytes as they are, is its
// bytes; any other is written in a form of its own (kName), between
// write-outs of what the stream holds.
void stream_put_name(Stream* stream, const char* name, std::size_t length);

// The stream's descriptor.
int fileno(const Stream* stream);
// Non-zero once a read or write error was seen.
int ferror(const Stream* stream);
// Non-zero once the end of the input was seen.
int feof(const Stream* stream);
// Forgets the end of input and any error, so that reading can be tried again.
void clearerr(Stream* stream);
// Switches a stream to binary before any byte passes: line feeds are
// written as they are.
void stream_set_binary(Stream* stream);

// Result codes of stream_get_line.
constexpr int LINE_OK = 0;         // a line with its line feed, zero-terminated
constexpr int LINE_EOF = 1;        // end of input before any byte; buffer untouched
constexpr int LINE_PARTIAL = 2;    // end of input after bytes without a line feed
constexpr int LINE_TRUNCATED = 3;  // length - 1 bytes and no line feed yet
constexpr int LINE_ZERO = 4;       // a zero byte was read and stored; reading stopped there
constexpr int LINE_ERROR = 5;      // a read error (STREAM_ERR is set)
// Reads one line into buffer (length >= 1) with the in-place getc.
int stream_get_line(char* buffer, int length, Stream* stream);

// Positioning. fseek stays inside the buffer when it can, without a system
// call; ftell makes one only while the descriptor's position is unknown.
int fseek(Stream* stream, off_t offset, int whence);
off_t ftell(Stream* stream);
void rewind(Stream* stream);

// Sets up a caller's record as a stream over a memory area of `length`
// bytes: reading for a mode beginning with 'r', writing for 'w'. Nothing is
// read beyond the area, nor written: a write into a full area fails.
Stream* stream_open_string(void* area, int length, const char* mode, Stream* record);

}  // namespace rt
