// Encodings of logs: byte order marks, UTF-16 to UTF-8, UTF-8 boundaries and characters.
#include "runtime/stdio/encoding.h"

#include <bit>

namespace rt {
namespace {

constexpr unsigned char kMarkUtf8[] = {0xEF, 0xBB, 0xBF};
constexpr unsigned char kMarkLe[] = {0xFF, 0xFE};
constexpr unsigned char kMarkBe[] = {0xFE, 0xFF};

// 0: the bytes differ from the mark; 1: they are all of it; 2: they begin it.
int compare_mark(const unsigned char* bytes, std::size_t n, const unsigned char* mark, std::size_t length) {
  for (std::size_t i = 0; i < n && i < length; ++i) {
    if (bytes[i] != mark[i]) return 0;
  }
  return n >= length ? 1 : 2;
}

unsigned unit_at(const unsigned char* p, bool big_endian) {
  return big_endian ? unsigned{p[0]} << 8 | p[1] : unsigned{p[1]} << 8 | p[0];
}

constexpr std::uint32_t kReplacement = 0xFFFD;

bool is_high(unsigned unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool is_low(unsigned unit) { return unit >= 0xDC00 && unit < 0xE000; }

// Runs of ASCII units go 16 at a time, in the compiler's generic vectors
// (SSE2 on x86-64, scalar code where a target has none), each unit as a
// little-endian host loads it, its bytes swapped for big-endian text.
static_assert(std::endian::native == std::endian::little, "units are loaded as a little-endian host loads them");
constexpr std::size_t kRunUnits = 16;
using Run = std::uint16_t __attribute__((vector_size(2 * kRunUnits)));
using Units = std::uint16_t __attribute__((vector_size(kRunUnits)));
using Narrowed = unsigned char __attribute__((vector_size(kRunUnits)));
using Halves = std::uint64_t __attribute__((vector_size(kRunUnits)));

// Stores the characters of the 16 units at `in` at `out` (16 bytes, those
// past the first unit that is no ASCII character stored too): the number of
// ASCII units the 16 begin with.
template <bool kBigEndian>
std::size_t narrow_ascii(const unsigned char* in, unsigned char* out) {
  Run run;
  Units first, second;
  __builtin_memcpy(&run, in, sizeof run);
  __builtin_memcpy(&first, in, sizeof first);
  __builtin_memcpy(&second, in + sizeof first, sizeof second);
  if constexpr (kBigEndian) {
    run = run >> 8 | run << 8;
    first = first >> 8 | first << 8;
    second = second >> 8 | second << 8;
  }
  const Narrowed narrowed = __builtin_convertvector(run, Narrowed);
  __builtin_memcpy(out, &narrowed, sizeof narrowed);
  // The bits that no ASCII character has.
  constexpr std::uint16_t kOther = 0xFF80;
  const auto both = reinterpret_cast<Halves>((first | second) & kOther);
  if ((both[0] | both[1]) == 0) return kRunUnits;
  const auto a = reinterpret_cast<Halves>(first & kOther), b = reinterpret_cast<Halves>(second & kOther);
  if (a[0]) return static_cast<std::size_t>(__builtin_ctzll(a[0])) / 16;
  if (a[1]) return 4 + static_cast<std::size_t>(__builtin_ctzll(a[1])) / 16;
  if (b[0]) return 8 + static_cast<std::size_t>(__builtin_ctzll(b[0])) / 16;
  return 12 + static_cast<std::size_t>(__builtin_ctzll(b[1])) / 16;
}

// The length of the UTF-8 sequence that `lead` begins; 0 for a byte that
// begins none.
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Whether the byte at position i (from 1) of a sequence led by `lead` may
// stand there: the second byte's range excludes overlong forms,
// surrogates and characters past U+10FFFF.
bool fits(unsigned char lead, std::size_t i, unsigned char byte) {
  if (i == 1) {
    if (lead == 0xE0) return byte >= 0xA0 && byte <= 0xBF;
    if (lead == 0xED) return byte >= 0x80 && byte <= 0x9F;
    if (lead == 0xF0) return byte >= 0x90 && byte <= 0xBF;
    if (lead == 0xF4) return byte >= 0x80 && byte <= 0x8F;
  }
  return (byte & 0xC0) == 0x80;
}

}  // namespace

Encoding detect_encoding(const unsigned char* bytes, std::size_t n, bool more) {
  struct Mark {
    const unsigned char* bytes;
    std::size_t length;
    Encoding encoding;
  };
  constexpr Mark kMarks[] = {{kMarkUtf8, 3, Encoding::kUtf8Marked},
                             {kMarkLe, 2, Encoding::kUtf16Le},
                             {kMarkBe, 2, Encoding::kUtf16Be}};
  bool begun = false;
  for (const Mark& mark : kMarks) {
    const int found = compare_mark(bytes, n, mark.bytes, mark.length);
    if (found == 1) return mark.encoding;
    begun = begun || found == 2;
  }
  return begun && more ? Encoding::kUndecided : Encoding::kBytes;
}

std::size_t decode_wide(WideDecoder& decoder, const unsigned char* in, std::size_t n, unsigned char* out) {
  unsigned char* const start = out;
  const unsigned char* const end = in + n;
  // The carried bytes first, completed from the input a byte at a time.
  unsigned char joined[4];
  std::size_t have = decoder.carried;
  for (std::size_t i = 0; i < have; ++i) joined[i] = decoder.carry[i];
  decoder.carried = 0;
  while (have > 0) {
    while (have < 2 && in < end) joined[have++] = *in++;
    if (have < 2) break;
    const unsigned first = unit_at(joined, decoder.big_endian);
    if (!is_high(first)) {
      out = put_utf8(out, is_low(first) ? kReplacement : first);
      have = 0;
      break;
    }
    while (have < 4 && in < end) joined[have++] = *in++;
    if (have < 4) break;
    const unsigned second = unit_at(joined + 2, decoder.big_endian);
    if (is_low(second)) {
      out = put_utf8(out, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00));
      have = 0;
    } else {
      out = put_utf8(out, kReplacement);  // the second unit starts again
      joined[0] = joined[2];
      joined[1] = joined[3];
      have = 2;
    }
  }
  if (have > 0) {
    for (std::size_t i = 0; i < have; ++i) decoder.carry[i] = joined[i];
    decoder.carried = static_cast<std::uint8_t>(have);
    return static_cast<std::size_t>(out - start);
  }
  const bool big = decoder.big_endian;
  // Runs of ASCII units are tried from each ASCII unit on: text in other
  // scripts goes a unit at a time up to its next one.
  bool runs = true;
  while (end - in >= 2) {
    if (runs && end - in >= static_cast<std::ptrdiff_t>(2 * kRunUnits)) {
      const std::size_t ascii = big ? narrow_ascii<true>(in, out) : narrow_ascii<false>(in, out);
      in += 2 * ascii;
      out += ascii;
      if (ascii == kRunUnits) continue;
    }
    const unsigned unit = unit_at(in, big);
    runs = unit < 0x80;
    if (unit < 0x80) {
      *out++ = static_cast<unsigned char>(unit);
      in += 2;
      continue;
    }
    if (!is_high(unit)) {
      out = put_utf8(out, is_low(unit) ? kReplacement : unit);
      in += 2;
      continue;
    }
    if (end - in < 4) break;  // the pair's other half may yet come
    const unsigned second = unit_at(in + 2, big);
    if (is_low(second)) {
      out = put_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (second - 0xDC00));
      in += 4;
    } else {
      out = put_utf8(out, kReplacement);
      in += 2;
    }
  }
  // At most 3 bytes are left: an odd byte, or a high surrogate and perhaps one.
  std::size_t left = static_cast<std::size_t>(end - in);
  if (left > sizeof decoder.carry) left = sizeof decoder.carry;
  for (std::size_t i = 0; i < left; ++i) decoder.carry[i] = in[i];
  decoder.carried = static_cast<std::uint8_t>(left);
  return static_cast<std::size_t>(out - start);
}

std::size_t finish_wide(WideDecoder& decoder, unsigned char* out) {
  if (decoder.carried == 0) return 0;
  decoder.carried = 0;
  return static_cast<std::size_t>(put_utf8(out, kReplacement) - out);
}

std::size_t utf8_complete(const unsigned char* bytes, std::size_t n) {
  // Back over at most three continuation bytes to a lead byte.
  std::size_t back = 0;
  while (back < 3 && back < n && (bytes[n - 1 - back] & 0xC0) == 0x80) ++back;
  if (back == n) return n;
  const std::size_t lead_at = n - 1 - back;
  const std::size_t length = sequence_length(bytes[lead_at]);
  return length > back + 1 ? lead_at : n;
}

Utf8Character utf8_character(const unsigned char* bytes, std::size_t n) {
  const unsigned char lead = bytes[0];
  const std::size_t length = sequence_length(lead);
  if (length == 1) return {lead, 1};
  if (length == 0 || length > n) return {kStrayByte + lead, 1};
  char32_t value = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if (!fits(lead, k, bytes[k])) return {kStrayByte + lead, 1};
    value = value << 6 | (bytes[k] & 0x3F);
  }
  return {value, length};
}

unsigned char* put_utf8(unsigned char* out, std::uint32_t c) {
  if (c < 0x80) {
    *out++ = static_cast<unsigned char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<unsigned char>(0xC0 | c >> 6);
    *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<unsigned char>(0xE0 | c >> 12);
    *out++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
    *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<unsigned char>(0xF0 | c >> 18);
    *out++ = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F));
    *out++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
    *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
  }
  return out;
}

bool is_utf8(const unsigned char* bytes, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = sequence_length(lead);
    if (length == 0) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k == n) return true;  // unfinished at the end
      if (!fits(lead, k, bytes[i + k])) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace rt
