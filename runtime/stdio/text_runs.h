// Text mode a run at a time: the scans and copies behind the streams'
// translation of line ends (a carriage return and line feed read as the line
// feed, every 0x1A dropped on input; a line feed written as carriage return
// and line feed). Each goes over its bytes 16 at a time, so that runs are
// found and moved without a test or a call for every byte or line.
#pragma once

#include <cstddef>

#include "runtime/prelude.h"

namespace rt {

constexpr unsigned char kCtrlZ = 0x1A;  // end-of-file mark of text files: dropped on input

// The first byte of [from, to) equal to a, b or c, or `to` when there is none.
const unsigned char* find_any_of(const unsigned char* from, const unsigned char* to, unsigned char a,
                                 unsigned char b, unsigned char c);

// The first byte of [from, to) above 0x7F (no ASCII character), or `to`
// when there is none.
const unsigned char* find_non_ascii(const unsigned char* from, const unsigned char* to);
// Moves the ASCII bytes that [from, to) begins with down to `down` (down <=
// from): where they end, the first byte above 0x7F or `to`.
const unsigned char* move_ascii_down(unsigned char* down, const unsigned char* from, const unsigned char* to);

// The first byte of [from, to) that text read in text mode and written again
// in text mode does not come back as: a 0x1A (dropped), or a line feed after
// a byte other than a carriage return (written after one); `to` when there
// is none. A carriage return followed by a line feed is read as the line
// feed and written as the pair again, any other byte as itself. The byte
// before `from` is looked at too: it must be readable.
const unsigned char* find_text_change(const unsigned char* from, const unsigned char* to);

// Where a translation stopped, in what it read and in what it stored.
struct TextStep {
  const unsigned char* from;
  unsigned char* to;
};

// Reads text in place: stores the bytes of [from, end) as a text-mode reader
// gives them (every 0x1A dropped, a carriage return and line feed as the line
// feed) from `to` on (to <= from), up to and including the first `stop` byte
// given (-1: none). A carriage return whose next byte other than 0x1A lies at
// `end` or beyond is not read: what follows decides whether it ends a line.
TextStep read_text(unsigned char* to, const unsigned char* from, const unsigned char* end, int stop);

// Copies [from, from_end) to [to, to_end) as a text-mode writer stores it,
// each line feed as carriage return and line feed, while it fits (a line feed
// only with both its bytes). Any byte of [to, to_end) may be stored into.
TextStep write_text(const unsigned char* from, const unsigned char* from_end, unsigned char* to,
                    unsigned char* to_end);
// Copies UTF-8 text into the page of `table` while it fits: ASCII as it is
// (each line feed as carriage return and line feed with `translate`, as
// write_text does), every other character as its byte table[c]. It stops
// before a character of four bytes or a byte of no character (one the
// input's end cuts, say), which are left to the caller.
TextStep narrow_text(const unsigned char* table, const unsigned char* from, const unsigned char* from_end,
                     unsigned char* to, unsigned char* to_end, bool translate);
// Stores the characters other than ASCII that [from, from_end) begins with
// as their bytes table[c] while there is room, up to the first ASCII byte,
// character of four bytes or byte of no character.
TextStep narrow_characters(const unsigned char* table, const unsigned char* from, const unsigned char* from_end,
                           unsigned char* to, unsigned char* to_end);

// Converts UTF-16 text straight into the page of `table` as it comes back
// when it is decoded, read in text mode and written again in text mode,
// while it fits: each unit as its byte table[u] (ASCII as it is), a line
// feed as carriage return and line feed, a carriage return and line feed as
// they are, a carriage return before any other unit as itself. It stops
// before a surrogate, a 0x1A, a unit cut by from_end, and a carriage return
// whose next unit is 0x1A or not there: the caller decodes those.
TextStep decode_text(const unsigned char* table, bool big_endian, const unsigned char* from,
                     const unsigned char* from_end, unsigned char* to, unsigned char* to_end);

}  // namespace rt
