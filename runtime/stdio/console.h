// The stream layer's writes to descriptors: bytes as they are, or text as
// characters for a console (and in the console's page for text decoded from
// UTF-16). Only runtime/stdio includes this.
#pragma once

#include <cstddef>

#include "runtime/stdio/stream.h"

namespace rt {

// Writes `length` bytes to the stream's descriptor, a console that stops at
// a 0x1A given the rest after it: the number of bytes taken.
std::size_t write_bytes(Stream* stream, const unsigned char* bytes, std::size_t length);
// Whether what the stream writes goes through write_shown: its form asks
// for conversion where it goes (the first call asks whether it is a console).
bool writes_shown(Stream* stream);
// Writes bytes in the stream's form: the number taken (written or
// converted), fewer than length - *kept when a write failed. *kept: the
// bytes of an unfinished character at the end, left for the bytes after
// them. Text converted for an output that is no console takes the place of
// the bytes taken. The first `narrowed` bytes are in the output's page
// already (see narrow_text).
std::size_t write_shown(Stream* stream, unsigned char* bytes, std::size_t length, std::size_t narrowed,
                        std::size_t* kept);

// For text decoded from UTF-16 that goes to an output that is no console,
// in a page of one byte a character that keeps ASCII as it is: the byte of
// that page for each character of the Basic Multilingual Plane (table[c]
// for the character c), so that the text is converted as it is stored
// rather than at write-out. Null for any other stream.
const unsigned char* narrowing_table(Stream* stream);

}  // namespace rt
