// Text mode a run at a time. The scans compare 16 bytes at once in the
// compiler's generic vectors (SSE2 on x86-64, scalar code where a target has
// no vectors), and 64 at once while nothing is found.
#include "runtime/stdio/text_runs.h"

#include <cstdint>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "runtime/stdio/encoding.h"

namespace rt {
namespace {

constexpr std::size_t kVector = 16;
using Bytes = unsigned char __attribute__((vector_size(kVector)));
using Flags = signed char __attribute__((vector_size(kVector)));  // a comparison: each byte 0 or -1
using Halves = std::uint64_t __attribute__((vector_size(kVector)));

Bytes load(const unsigned char* at) {
  Bytes bytes;
  __builtin_memcpy(&bytes, at, kVector);
  return bytes;
}

void store(unsigned char* at, Bytes bytes) { __builtin_memcpy(at, &bytes, kVector); }

Bytes splat(unsigned char byte) { return Bytes{} + byte; }

bool any(Flags flags) {
  const auto halves = reinterpret_cast<Halves>(flags);
  return (halves[0] | halves[1]) != 0;
}

// Bit i set for each byte i of `half` that is set (each byte 0 or 0xFF): the
// top bits gathered by one multiplication, whose partial products never
// overlap below bit 64.
unsigned gather(std::uint64_t half) {
  return static_cast<unsigned>((((half >> 7) & 0x0101010101010101u) * 0x0102040810204080u) >> 56);
}

// Bit i set for each byte i of the comparison that holds.
unsigned bits(Flags flags) {
  const auto halves = reinterpret_cast<Halves>(flags);
  return gather(halves[0]) | gather(halves[1]) << 8;
}

// Bit i set for each byte i above 0x7F: one instruction with SSE2.
unsigned top_bits(Bytes bytes) {
#ifdef __SSE2__
  return static_cast<unsigned>(_mm_movemask_epi8(reinterpret_cast<__m128i>(bytes)));
#else
  return bits(reinterpret_cast<Flags>(bytes));  // the gathering looks at the top bits alone
#endif
}

// The index of the first byte set in a comparison that holds somewhere.
int first_set(Flags flags) {
  const auto halves = reinterpret_cast<Halves>(flags);
  return halves[0] ? __builtin_ctzll(halves[0]) / 8 : 8 + __builtin_ctzll(halves[1]) / 8;
}

// The first byte of the 64 at `at` for which test(16 bytes) holds, or null:
// one test of all four comparisons while nothing is found.
template <typename Test>
const unsigned char* first_of_block(const unsigned char* at, const Test& test) {
  const Flags a = test(at), b = test(at + kVector), c = test(at + 2 * kVector), d = test(at + 3 * kVector);
  if (!any(a | b | c | d)) return nullptr;
  if (any(a)) return at + first_set(a);
  if (any(b)) return at + kVector + first_set(b);
  if (any(c)) return at + 2 * kVector + first_set(c);
  return at + 3 * kVector + first_set(d);
}

// Moves n bytes down from `from` to `to` (to < from): every load comes before
// a store could reach its bytes.
void move_down(unsigned char* to, const unsigned char* from, std::size_t n) {
  if (n >= kVector) {
    const Bytes last = load(from + n - kVector);
    for (std::size_t at = 0; at + kVector <= n; at += kVector) store(to + at, load(from + at));
    store(to + n - kVector, last);
    return;
  }
  if (n >= 8) {
    std::uint64_t first, last;
    __builtin_memcpy(&first, from, 8);
    __builtin_memcpy(&last, from + n - 8, 8);
    __builtin_memcpy(to, &first, 8);
    __builtin_memcpy(to + n - 8, &last, 8);
    return;
  }
  for (std::size_t at = 0; at < n; ++at) to[at] = from[at];
}

}  // namespace

const unsigned char* find_any_of(const unsigned char* from, const unsigned char* to, unsigned char a,
                                 unsigned char b, unsigned char c) {
  const Bytes va = splat(a), vb = splat(b), vc = splat(c);
  const auto found = [&](const unsigned char* at) {
    const Bytes x = load(at);
    return (x == va) | (x == vb) | (x == vc);
  };
  for (; to - from >= 4 * static_cast<std::ptrdiff_t>(kVector); from += 4 * kVector) {
    if (const unsigned char* hit = first_of_block(from, found)) return hit;
  }
  for (; to - from >= static_cast<std::ptrdiff_t>(kVector); from += kVector) {
    if (const Flags hits = found(from); any(hits)) return from + first_set(hits);
  }
  for (; from < to; ++from) {
    if (*from == a || *from == b || *from == c) return from;
  }
  return to;
}

const unsigned char* find_non_ascii(const unsigned char* from, const unsigned char* to) {
  const auto above = [](const unsigned char* at) { return reinterpret_cast<Flags>(load(at)) < 0; };
  for (; to - from >= 4 * static_cast<std::ptrdiff_t>(kVector); from += 4 * kVector) {
    if (const unsigned char* hit = first_of_block(from, above)) return hit;
  }
  for (; to - from >= static_cast<std::ptrdiff_t>(kVector); from += kVector) {
    if (const Flags hits = above(from); any(hits)) return from + first_set(hits);
  }
  while (from < to && *from < 0x80) ++from;
  return from;
}

const unsigned char* move_ascii_down(unsigned char* down, const unsigned char* from, const unsigned char* to) {
  // Chunks are stored only when all of them are ASCII: they may reach the
  // bytes after them, which are loaded by then.
  const auto ascii = [](Bytes chunk) { return !any(reinterpret_cast<Flags>(chunk) < 0); };
  for (; to - from >= 4 * static_cast<std::ptrdiff_t>(kVector); from += 4 * kVector, down += 4 * kVector) {
    const Bytes a = load(from), b = load(from + kVector), c = load(from + 2 * kVector), d = load(from + 3 * kVector);
    if (!ascii(a | b | c | d)) break;
    store(down, a);
    store(down + kVector, b);
    store(down + 2 * kVector, c);
    store(down + 3 * kVector, d);
  }
  for (; to - from >= static_cast<std::ptrdiff_t>(kVector); from += kVector, down += kVector) {
    const Bytes chunk = load(from);
    if (!ascii(chunk)) break;
    store(down, chunk);
  }
  for (; from < to && *from < 0x80; ++from) *down++ = *from;
  return from;
}

const unsigned char* find_text_change(const unsigned char* from, const unsigned char* to) {
  const Bytes line_feed = splat('\n'), carriage_return = splat('\r'), ctrl_z = splat(kCtrlZ);
  const auto changed = [&](const unsigned char* at) {
    const Bytes x = load(at), before = load(at - 1);
    return ((x == line_feed) & (before != carriage_return)) | (x == ctrl_z);
  };
  for (; to - from >= 4 * static_cast<std::ptrdiff_t>(kVector); from += 4 * kVector) {
    if (const unsigned char* hit = first_of_block(from, changed)) return hit;
  }
  for (; to - from >= static_cast<std::ptrdiff_t>(kVector); from += kVector) {
    if (const Flags hits = changed(from); any(hits)) return from + first_set(hits);
  }
  for (; from < to; ++from) {
    if (*from == kCtrlZ || (*from == '\n' && from[-1] != '\r')) return from;
  }
  return to;
}

TextStep read_text(unsigned char* to, const unsigned char* from, const unsigned char* end, int stop) {
  const auto other = static_cast<unsigned char>(stop >= 0 ? stop : '\r');
  for (;;) {
    // The bytes up to the next carriage return, 0x1A or stop byte come as they are.
    const unsigned char* found = find_any_of(from, end, '\r', kCtrlZ, other);
    const auto n = static_cast<std::size_t>(found - from);
    if (to != from) move_down(to, from, n);
    to += n;
    from = found;
    if (from == end) return {from, to};
    const unsigned char byte = *from;
    if (byte == kCtrlZ) {
      ++from;
      continue;
    }
    if (byte != '\r') {  // the stop byte
      *to++ = byte;
      return {from + 1, to};
    }
    const unsigned char* next = from + 1;
    while (next < end && *next == kCtrlZ) ++next;
    if (next == end) return {from, to};  // the byte after it is not here yet
    if (*next == '\n') {
      *to++ = '\n';
      from = next + 1;
      if (stop == '\n') return {from, to};
    } else {
      *to++ = '\r';
      ++from;
      if (stop == '\r') return {from, to};
    }
  }
}

namespace {

// A chunk stored: how many of its bytes were taken, and the bytes stored for them.
struct ChunkStep {
  int taken;
  int stored;
};

// Stores a chunk of 16 bytes at `to` (33 bytes of room) of which the first
// `taken` count, `feeds` the line feeds among those, each to be stored as
// carriage return and line feed when `translate`: of two or more, only the
// bytes up to the first go. A line feed's carriage return goes at its place
// and the chunk's bytes from the line feed on, which shifted(at) gives
// again, after it; with none, past the bytes kept.
template <typename Shifted>
ChunkStep store_chunk(unsigned char* to, Bytes chunk, unsigned feeds, int taken, bool translate,
                      const Shifted& shifted) {
  store(to, chunk);
  if (feeds & (feeds - 1)) {  // two or more: the first alone
    const int at = __builtin_ctz(feeds);
    to[at] = '\r';
    to[at + 1] = '\n';
    return {at + 1, at + 2};
  }
  if (translate) {
    const int at = __builtin_ctz(feeds | 1u << kVector);
    to[at] = '\r';
    store(to + at + 1, shifted(at));
  }
  return {taken, taken + (feeds != 0)};
}

// write_text, or (kNarrow) narrow_text; without kTranslate, line feeds stay
// as they are.
template <bool kTranslate, bool kNarrow>
TextStep store_text(const unsigned char* from, const unsigned char* from_end, unsigned char* to,
                    unsigned char* to_end, const unsigned char* table) {
  const Bytes line_feed = splat('\n');
  for (;;) {
    // 16 bytes at a time while 32 can be read and 33 stored. A chunk with at
    // most one line feed goes without a branch on where it is: stored whole,
    // then the carriage return at the line feed's place and the chunk's
    // bytes from the line feed on after it (with none: past the 16 bytes
    // kept). A chunk that ASCII ends in is taken up to there, the same way.
    while (from_end - from >= 2 * static_cast<std::ptrdiff_t>(kVector) &&
           to_end - to >= 2 * static_cast<std::ptrdiff_t>(kVector) + 1) {
      const Bytes chunk = load(from);
      unsigned feeds = kTranslate ? bits(chunk == line_feed) : 0;
      int taken = kVector;
      if constexpr (kNarrow) {
        if (const unsigned above = top_bits(chunk)) {
          taken = __builtin_ctz(above);
          feeds &= (1u << taken) - 1;
        }
      }
      const ChunkStep step =
          store_chunk(to, chunk, feeds, taken, kTranslate, [from](int at) { return load(from + at); });
      from += step.taken;
      to += step.stored;
      if (kNarrow && step.taken == taken && taken < static_cast<int>(kVector)) break;
    }
    for (; from < from_end; ++from) {
      if (kNarrow && *from >= 0x80) break;
      if (kTranslate && *from == '\n') {
        if (to_end - to < 2) break;
        *to++ = '\r';
      } else if (to == to_end) {
        break;
      }
      *to++ = *from;
    }
    if (!kNarrow) return {from, to};
    const TextStep other = narrow_characters(table, from, from_end, to, to_end);
    if (other.from == from) return other;
    from = other.from;
    to = other.to;
  }
}

// Units of UTF-16 text in the host's order.
using Units = std::uint16_t __attribute__((vector_size(2 * kVector)));

// The low bytes of the 16 units at `at`; with `above`, a flag there for
// each unit above 0x7F.
template <bool kBigEndian>
Bytes unit_bytes(const unsigned char* at, Flags* above = nullptr) {
  Units units;
  __builtin_memcpy(&units, at, sizeof units);
  if constexpr (kBigEndian) units = units >> 8 | units << 8;
  const Bytes low = __builtin_convertvector(units, Bytes);
  if (above) *above = (reinterpret_cast<Flags>(low) < 0) | (__builtin_convertvector(units >> 8, Bytes) != 0);
  return low;
}

template <bool kBigEndian>
unsigned unit_at(const unsigned char* at) {
  return kBigEndian ? unsigned{at[0]} << 8 | at[1] : unsigned{at[1]} << 8 | at[0];
}

// One unit of decode_text, or a carriage return with the unit after it.
template <bool kBigEndian>
TextStep decode_unit(const unsigned char* table, const unsigned char* from, const unsigned char* from_end,
                     unsigned char* to, unsigned char* to_end) {
  const TextStep none{from, to};
  const auto left = from_end - from;
  if (left < 2) return none;
  unsigned unit = unit_at<kBigEndian>(from);
  if (unit == kCtrlZ || (unit >= 0xD800 && unit < 0xE000)) return none;
  std::ptrdiff_t read = 2;
  if (unit == '\r') {
    if (left < 4) return none;
    const unsigned next = unit_at<kBigEndian>(from + 2);
    if (next == kCtrlZ) return none;
    if (next == '\n') read = 4;
  }
  if (unit == '\n' || read == 4) {
    if (to_end - to < 2) return none;
    *to++ = '\r';
    unit = '\n';
  }
  if (to == to_end) return none;
  *to++ = unit < 0x80 ? static_cast<unsigned char>(unit) : table[unit];
  return {from + read, to};
}

// decode_text for one byte order: 16 units at a time, as store_text goes
// over bytes, while 32 more can be read and 33 bytes stored. A carriage
// return and line feed stay in the chunk as they are; the units that are no
// ASCII character, 0x1A, and a carriage return before 0x1A or last in the
// chunk end it and go one at a time.
template <bool kBigEndian>
TextStep decode_units(const unsigned char* table, const unsigned char* from, const unsigned char* from_end,
                      unsigned char* to, unsigned char* to_end) {
  const Bytes line_feed = splat('\n'), carriage_return = splat('\r'), ctrl_z = splat(kCtrlZ);
  for (;;) {
    while (from_end - from >= 4 * static_cast<std::ptrdiff_t>(kVector) &&
           to_end - to >= 2 * static_cast<std::ptrdiff_t>(kVector) + 1) {
      Flags other;
      const Bytes chunk = unit_bytes<kBigEndian>(from, &other);
      const Flags ctrl_zs = chunk == ctrl_z;
      const unsigned returns = top_bits(reinterpret_cast<Bytes>(chunk == carriage_return));
      const unsigned ends = top_bits(reinterpret_cast<Bytes>(other | ctrl_zs)) |
                            (returns & (top_bits(reinterpret_cast<Bytes>(ctrl_zs)) >> 1 | 1u << (kVector - 1)));
      unsigned feeds = top_bits(reinterpret_cast<Bytes>(chunk == line_feed)) & ~(returns << 1);
      int taken = kVector;
      if (ends) {
        taken = __builtin_ctz(ends);
        feeds &= (1u << taken) - 1;
      }
      const ChunkStep step = store_chunk(to, chunk, feeds, taken, true,
                                         [from](int at) { return unit_bytes<kBigEndian>(from + 2 * at); });
      from += 2 * step.taken;
      to += step.stored;
      if (step.taken == taken && taken < static_cast<int>(kVector)) break;
    }
    const TextStep step = decode_unit<kBigEndian>(table, from, from_end, to, to_end);
    if (step.from == from) return step;
    from = step.from;
    to = step.to;
  }
}

}  // namespace

TextStep write_text(const unsigned char* from, const unsigned char* from_end, unsigned char* to,
                    unsigned char* to_end) {
  return store_text<true, false>(from, from_end, to, to_end, nullptr);
}

TextStep narrow_text(const unsigned char* table, const unsigned char* from, const unsigned char* from_end,
                     unsigned char* to, unsigned char* to_end, bool translate) {
  return translate ? store_text<true, true>(from, from_end, to, to_end, table)
                   : store_text<false, true>(from, from_end, to, to_end, table);
}

TextStep narrow_characters(const unsigned char* table, const unsigned char* from, const unsigned char* from_end,
                           unsigned char* to, unsigned char* to_end) {
  while (from < from_end && *from >= 0x80 && to < to_end) {
    const Utf8Character c = utf8_character(from, static_cast<std::size_t>(from_end - from));
    if (c.length < 2 || c.value > 0xFFFF) break;  // four bytes, or a character cut
    *to++ = table[c.value];
    from += c.length;
  }
  return {from, to};
}

TextStep decode_text(const unsigned char* table, bool big_endian, const unsigned char* from,
                     const unsigned char* from_end, unsigned char* to, unsigned char* to_end) {
  return big_endian ? decode_units<true>(table, from, from_end, to, to_end)
                    : decode_units<false>(table, from, from_end, to, to_end);
}

}  // namespace rt
