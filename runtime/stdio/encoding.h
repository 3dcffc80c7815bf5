// The encodings of text that logs are written in: which one an input is
// (from its first bytes), UTF-16 decoded to UTF-8, and where UTF-8 holds a
// whole character; UTF-8 read and written a character at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/prelude.h"

namespace rt {

enum class Encoding : std::uint8_t {
  kUndecided,  // the bytes so far begin a byte order mark: more decide
  kBytes,      // 8-bit text: its bytes, whatever page they are in
  kUtf8Marked,  // UTF-8 after the mark EF BB BF (the mark is text like the rest)
  kUtf16Le,    // UTF-16 after FF FE (the mark is never text)
  kUtf16Be,    // UTF-16 after FE FF
};

// What the first `n` bytes of an input say it is; kUndecided only while
// they are a proper beginning of a mark and more may come (`more`).
Encoding detect_encoding(const unsigned char* bytes, std::size_t n, bool more);
// The bytes of the mark that are no text: 2 for UTF-16, else 0.
inline std::size_t mark_length(Encoding encoding) {
  return encoding == Encoding::kUtf16Le || encoding == Encoding::kUtf16Be ? 2 : 0;
}
inline bool is_wide(Encoding encoding) { return mark_length(encoding) == 2; }

// UTF-16 units decoded to UTF-8, a run at a time: the bytes of a unit or a
// surrogate pair that a run cuts wait in `carry` for the rest. A unit that is
// half a pair with no other half becomes U+FFFD.
struct WideDecoder {
  bool big_endian;
  std::uint8_t carried;      // bytes in carry: at most 3 (a high surrogate and an odd byte)
  unsigned char carry[3];
};
// The most bytes decoding `n` input bytes (and 3 carried) can give.
constexpr std::size_t decoded_size(std::size_t n) { return (n + 3) / 2 * 3 + 1; }
// Decodes [in, in + n) after what is carried into `out` (room for
// decoded_size(n) bytes): the number of bytes stored.
std::size_t decode_wide(WideDecoder& decoder, const unsigned char* in, std::size_t n, unsigned char* out);
// At the end of the input: what is carried as U+FFFD (3 bytes in `out`), or
// nothing: the number of bytes stored. The carry is emptied.
std::size_t finish_wide(WideDecoder& decoder, unsigned char* out);

// The length of the longest beginning of [bytes, bytes + n) that ends at a
// character boundary of UTF-8 text: an unfinished sequence at the end (at
// most 3 bytes) is left out.
std::size_t utf8_complete(const unsigned char* bytes, std::size_t n);
// Whether [bytes, bytes + n) is UTF-8 from its first byte: every sequence
// well formed, perhaps the last unfinished.
bool is_utf8(const unsigned char* bytes, std::size_t n);

// The character that the UTF-8 text [bytes, bytes + n) begins with (n > 0),
// and the number of bytes it takes. A byte that begins no well-formed
// sequence is a character of its own: kStrayByte plus its value (U+DC80 to
// U+DCFF, which no sequence gives), so different texts never read alike.
constexpr char32_t kStrayByte = 0xDC00;
struct Utf8Character {
  char32_t value;
  std::size_t length;
};
Utf8Character utf8_character(const unsigned char* bytes, std::size_t n);
// Stores the UTF-8 form of the code point c (1 to 4 bytes) at `out`: the
// position after it.
unsigned char* put_utf8(unsigned char* out, std::uint32_t c);

}  // namespace rt
