// Fuzzing the stream reader against a model of text mode. The input is a 12-byte header, then the bytes a
// descriptor serves, in chunks, through a replaced ReadFile. The header (16-bit words, little-endian):
//   0  bit 15: binary ("rb", else "rt"); bit 14: the descriptor is a console; the low 14 bits modulo 1026:
//      0 unbuffered, 1 ... 1024 setvbuf with a buffer of that many bytes, 1025 buffering decided on first use
//   2  the descriptor's position when the buffer is set up (its alignment)
//   4  four chunk sizes that successive reads cycle through (0: all asked)
//   8  four reading steps, cycled: the low two bits getc, fread, stream_take, stream_take up to a line feed; the
//      high six bits n ask for 20n + 1 bytes
// All is read, and must be the model's result: in text mode every 0x1A dropped, then CR LF read as LF and any other
// CR kept (on a file as on a console); in binary mode the bytes as they are. The end stays, no error.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/harness.h"
#include "runtime/stdio/stream.h"
#include "runtime/string.h"
#include "runtime/win32/open.h"

namespace {

constexpr std::size_t kHeader = 12;
int g_null = -1;  // a descriptor of the null device, duplicated for each stream
const std::uint8_t* g_header = nullptr;
std::string_view g_unread;  // what the descriptor still has to serve
unsigned g_reads = 0;

BOOL read_chunk(HANDLE, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED) {
  const std::uint8_t chunk = g_header[4 + g_reads++ % 4];
  *done = static_cast<DWORD>(std::min<std::size_t>({to_read, g_unread.size(), chunk ? chunk : to_read}));
  rt::memcpy(buffer, g_unread.data(), *done);
  g_unread.remove_prefix(*done);
  return TRUE;
}
DWORD position(HANDLE, LONG, PLONG high, DWORD) {
  if (high) *high = 0;
  return g_header[2] | g_header[3] << 8;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (rt::fd_init() != 0) __builtin_trap();
  g_null = rt::open("/dev/null", rt::O_RDONLY, 0);
  if (g_null < 0) __builtin_trap();
  w32::hook::replacements.ReadFile = read_chunk;
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
  g_unread = served;
  g_reads = 0;
  const unsigned word = data[0] | data[1] << 8;
  const bool binary = (word & 0x8000) != 0;
  const unsigned buffering = (word & 0x3fff) % 1026;

  rt::Stream* stream = rt::fdopen(rt::dup(g_null), binary ? "rb" : "rt");
  if (!stream) __builtin_trap();
  const int mode = buffering == 0 ? rt::_IONBF : rt::_IOFBF;
  if (buffering <= 1024 && rt::setvbuf(stream, nullptr, mode, buffering) != 0) __builtin_trap();

  std::string got;
  for (unsigned step = 0;; ++step) {
    const std::uint8_t kind = data[8 + step % 4];
    const std::size_t asked = (kind >> 2) * 20u + 1;
    const std::size_t before = got.size();
    if ((kind & 3) == 0) {
      const int byte = rt::getc(stream);
      if (byte != rt::EOF) got += static_cast<char>(byte);
    } else if ((kind & 3) == 1) {
      std::vector<char> items(asked);  // exactly the room asked for
      got.append(items.data(), rt::fread(items.data(), 1, asked, stream));
    } else {
      const int stop = (kind & 3) == 3 ? '\n' : -1;
      const unsigned char* run = nullptr;
      const std::size_t n = rt::stream_take(stream, asked, stop, &run);
      if (n > asked || (stop >= 0 && n > 0 && rt::memchr(run, stop, n - 1))) __builtin_trap();  // past the stop
      got.append(reinterpret_cast<const char*>(run), n);
    }
    if (got.size() == before) break;
  }
  if (got != (binary ? served : harness::read_as_text(served))) __builtin_trap();
  if (!rt::feof(stream) || rt::ferror(stream) || rt::getc(stream) != rt::EOF) __builtin_trap();
  if (rt::fclose(stream) != 0) __builtin_trap();
  return 0;
}
