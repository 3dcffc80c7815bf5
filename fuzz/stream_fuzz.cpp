// Fuzzing the streams against a model of text mode. The input is a 16-byte header, then the bytes a descriptor serves,
// in chunks, through a replaced ReadFile; what is read goes to a second stream, whose bytes a replaced WriteFile
// collects. The header (16-bit words, little-endian):
//   0  bit 15: binary ("rb", else "rt"); bit 14: the descriptors are consoles; low 14 bits modulo 1027: 0 unbuffered,
//      1 ... 1024 setvbuf with a buffer of that many bytes, 1025 buffering decided on first use, 1026 a string stream
//      over the bytes instead of the descriptor, in binary mode (its bytes stay as they are)
//   2  the descriptor's position when the buffer is set up (its alignment)
//   4  four chunk sizes that successive reads cycle through (0: all asked)
//   8  four reading steps, cycled: low two bits getc, fread, stream_take, stream_take up to a stop byte (LF for an even
//      n, CR for an odd one); high six bits n ask for 20n + 1 bytes. A step's bytes go out by putc (getc's) or fwrite
//  12  the output: bit 15 binary ("wb", else "wt"); bit 14 line buffering, else full; bit 13 stream_copy holds a CR
//      that ends the input; bit 12 the output holds its lines while stream_copy runs; low 12 bits modulo 1025:
//      0 unbuffered, else a buffer of that many bytes
//  14  the reading steps before stream_copy takes the rest (255: none, the steps read it all)
//  15  bit 0: the bytes are UTF-16, read as UTF-8 (stream_decode_wide) from the first step on: bit 1 big-endian;
//      bit 2 a character the end cuts is given back to the descriptor (else it reads as U+FFFD); bits 3-4: the bytes
//      stream_peek looks at first (the first served, untranslated), which decoding then takes as its first units.
//      A stream without a buffer cannot decode: the call fails and it reads bytes; a string stream never decodes.
//      Bit 5, when the input decodes: an output that is no console, with a buffer that holds a character, takes what
//      is written as the text decoded (in the output page: natively the target runs under the C locale, page 437)
// All read must be the model's result: UTF-16 decoded first (fuzz/harness.h), then in text mode every 0x1A dropped,
// then CR LF read as LF and any other CR kept (file or console); in binary mode the bytes as they are. All is written
// as the model writes it: in text mode each LF as CR LF. Whenever the input is read, a line-buffered or unbuffered
// output has written all it was given: while stream_copy runs, all that was read but a CR at its end (the next byte
// decides whether it ends a line); a fully buffered one writes only a full buffer until it is closed. The end stays,
// no error.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/harness.h"
#include "runtime/stdio/encoding.h"
#include "runtime/stdio/stream.h"
#include "runtime/string.h"
#include "runtime/win32/open.h"

namespace {
constexpr std::size_t kHeader = 16;
int g_null_in = -1, g_null_out = -1;  // null devices, duplicated for each pair of streams
const std::uint8_t* g_header = nullptr;
std::string_view g_served;  // all that the descriptor serves
std::string_view g_unread;  // what it still has to serve
unsigned g_reads = 0;
bool g_ended = false;  // a read found the end
bool g_binary_in = false, g_binary_out = false;
bool g_wide = false, g_big_endian = false, g_keep_partial = false;  // the input is decoded from UTF-16
bool g_in_page = false;  // the output writes text decoded from UTF-16, in the output page
bool g_hold_return = false;  // stream_copy holds a carriage return that ends the input
bool g_checked = false;  // the output writes all it was given before any read: it is line-buffered or unbuffered
const rt::Stream* g_full_out = nullptr;  // a fully buffered output, until it is closed: it writes only a full buffer
bool g_copying = false;  // stream_copy runs
std::string g_given;     // what the reading steps gave the output
std::string g_written;   // what reached the output's descriptor
// Text in the output page: a character that the bytes end in before its last byte waits for the rest, and goes as
// its bytes once the output is closed.
std::string as_written(std::string bytes, bool closed = false) {
  if (!g_binary_out) bytes = harness::written_as_text(bytes);
  if (!g_in_page) return bytes;
  const std::size_t complete = rt::utf8_complete(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return harness::in_output_page(bytes.substr(0, complete)) + (closed ? bytes.substr(complete) : "");
}
// The bytes as the stream reads them: UTF-16 decoded (a character the bytes cut waits for its rest until the end has
// been seen), in text mode translated.
std::string as_read(std::string_view bytes, bool ended) {
  std::string cut;
  std::string read = g_wide ? harness::from_utf16(bytes, g_big_endian, ended && !g_keep_partial ? nullptr : &cut)
                            : std::string(bytes);
  return g_binary_in ? read : harness::read_as_text(read);
}
// What the output must have written before the input is read again.
std::string written_by_now() {
  if (!g_copying) return as_written(g_given);
  std::string read = as_read(g_served.substr(0, g_served.size() - g_unread.size()), g_ended);
  // A carriage return that stream_copy read last waits: in text mode for the byte after it, which decides whether it
  // ends a line; when held, for good once it ends the input (in binary mode the next read tells).
  const bool undecided = !g_binary_in && !g_ended, held = g_hold_return && (g_binary_in || g_ended);
  if (read.size() > g_given.size() && read.ends_with('\r') && (undecided || held)) read.pop_back();
  return as_written(read);
}
BOOL read_chunk(HANDLE, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED) {
  if (g_checked && g_written != written_by_now()) __builtin_trap();
  const std::uint8_t chunk = g_header[4 + g_reads++ % 4];
  *done = static_cast<DWORD>(std::min<std::size_t>({to_read, g_unread.size(), chunk ? chunk : to_read}));
  rt::memcpy(buffer, g_unread.data(), *done);
  g_unread.remove_prefix(*done);
  g_ended = g_ended || *done == 0;
  return TRUE;
}
BOOL write_all(HANDLE, LPCVOID buffer, DWORD to_write, LPDWORD done, LPOVERLAPPED) {
  if (g_full_out && g_full_out->cur != g_full_out->end) __builtin_trap();
  g_written.append(static_cast<const char*>(buffer), to_write);
  if (g_written.size() > 2 * g_served.size() + 4) __builtin_trap();  // more than all the input could make
  *done = to_write;
  return TRUE;
}
DWORD position(HANDLE, LONG, PLONG high, DWORD) {
  if (high) *high = 0;
  return g_header[2] | g_header[3] << 8;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
#ifndef _WIN32
  ::setenv("LC_ALL", "C", 1);  // the emulation's console page follows the locale: 437
#endif
  if (rt::fd_init() != 0) __builtin_trap();
  g_null_in = rt::open("/dev/null", rt::O_RDONLY, 0);
  g_null_out = rt::open("/dev/null", rt::O_WRONLY, 0);
  if (g_null_in < 0 || g_null_out < 0) __builtin_trap();
  w32::hook::replacements.ReadFile = read_chunk;
  w32::hook::replacements.WriteFile = write_all;
  w32::hook::replacements.SetFilePointer = position;
  w32::hook::replacements.GetConsoleMode = [](HANDLE, LPDWORD mode) -> BOOL {
    *mode = 0x7;
    return (g_header[1] & 0x40) != 0;  // header bit 14
  };
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  g_header = data;
  const std::string served(reinterpret_cast<const char*>(data + kHeader), size - kHeader);
  g_served = g_unread = served;
  g_reads = 0;
  g_ended = g_copying = false;
  g_given.clear();
  g_written.clear();
  const unsigned word = data[0] | data[1] << 8;
  const unsigned buffering = (word & 0x3fff) % 1027;
  g_binary_in = (word & 0x8000) != 0 || buffering == 1026;
  const unsigned output = data[12] | data[13] << 8;
  g_binary_out = (output & 0x8000) != 0;
  const bool line_buffered = (output & 0x4000) != 0;
  g_hold_return = (output & 0x2000) != 0;
  const bool hold_lines = (output & 0x1000) != 0;
  // Decoding wants a buffer of 16 bytes at least (1025: 1024 on first use).
  g_wide = (data[15] & 1) != 0 && buffering != 1026 && buffering >= 16;
  g_big_endian = (data[15] & 2) != 0;
  g_keep_partial = (data[15] & 4) != 0;
  const unsigned output_size = (output & 0xfff) % 1025;
  g_checked = line_buffered || output_size == 0;
  std::string area = served;
  rt::Stream string_stream;
  rt::Stream* stream = buffering == 1026
                           ? rt::stream_open_string(area.data(), static_cast<int>(area.size()), "rb", &string_stream)
                           : rt::fdopen(rt::dup(g_null_in), g_binary_in ? "rb" : "rt");
  rt::Stream* out = rt::fdopen(rt::dup(g_null_out), g_binary_out ? "wb" : "wt");
  if (!stream || !out) __builtin_trap();
  const int mode = buffering == 0 ? rt::_IONBF : rt::_IOFBF;
  if (buffering <= 1024 && rt::setvbuf(stream, nullptr, mode, buffering) != 0) __builtin_trap();
  const int out_mode = output_size == 0 ? rt::_IONBF : line_buffered ? rt::_IOLBF : rt::_IOFBF;
  if (rt::setvbuf(out, nullptr, out_mode, output_size) != 0) __builtin_trap();
  g_full_out = out_mode == rt::_IOFBF ? out : nullptr;
  g_in_page = (data[15] & 0x20) != 0 && g_wide && output_size >= 4 && !(data[1] & 0x40);  // room for any character
  if (g_in_page) rt::stream_swap_form(out, rt::TextForm{.kind = rt::TextKind::kWide});
  if (data[15] & 1 && buffering != 1026) {
    const unsigned char* peeked = nullptr;
    const std::size_t n = rt::stream_peek(stream, data[15] >> 3 & 3, &peeked);
    if (n > 3 || (n > 0 && served.compare(0, n, reinterpret_cast<const char*>(peeked), n) != 0)) __builtin_trap();
    if (rt::stream_decode_wide(stream, g_big_endian, g_keep_partial) != g_wide) __builtin_trap();
    g_ended = false;  // the end a look found is found again
  }
  const std::string model = as_read(served, true);
  std::string copied;  // what stream_copy read: the rest
  bool held = false;   // and whether it held back a carriage return at its end
  for (unsigned step = 0;; ++step) {
    if (step == data[14]) {
      copied = model.substr(std::min(g_given.size(), model.size()));
      g_copying = true;
      rt::stream_hold_lines(out, hold_lines);
      held = rt::stream_copy(stream, out, g_hold_return);
      rt::stream_hold_lines(out, false);
      if (held != (g_hold_return && copied.ends_with('\r'))) __builtin_trap();
      g_copying = false;
      break;
    }
    const std::uint8_t kind = data[8 + step % 4];
    const std::size_t asked = (kind >> 2) * 20u + 1;
    const std::size_t before = g_given.size();
    if ((kind & 3) == 0) {
      const int byte = rt::getc(stream);
      if (byte != rt::EOF) {
        g_given += static_cast<char>(byte);
        if (rt::putc(byte, out) != byte) __builtin_trap();
      }
    } else if ((kind & 3) == 1) {
      std::vector<char> items(asked);  // exactly the room asked for
      g_given.append(items.data(), rt::fread(items.data(), 1, asked, stream));
    } else {
      const int stop = (kind & 3) != 3 ? -1 : (kind >> 2) % 2 ? '\r' : '\n';
      const unsigned char* run = nullptr;
      const std::size_t n = rt::stream_take(stream, asked, stop, &run);
      if (n > asked || (stop >= 0 && n > 0 && rt::memchr(run, stop, n - 1))) __builtin_trap();  // past the stop
      g_given.append(reinterpret_cast<const char*>(run), n);
    }
    const std::size_t n = g_given.size() - before;
    if (!model.starts_with(g_given)) __builtin_trap();  // at once: a stream that reads wrong may read for ever
    if ((kind & 3) != 0 && rt::fwrite(g_given.data() + before, 1, n, out) != n) __builtin_trap();
    if (n == 0) break;
  }
  if (g_given + copied != model) __builtin_trap();
  g_given = model.substr(0, model.size() - held);  // all that went to the output
  if (!rt::feof(stream) || rt::ferror(stream) || rt::getc(stream) != rt::EOF) __builtin_trap();
  g_full_out = nullptr;
  if ((buffering == 1026 ? area != served : rt::fclose(stream) != 0) || rt::fclose(out) != 0) __builtin_trap();
  if (g_written != as_written(g_given, true)) __builtin_trap();
  return 0;
}
