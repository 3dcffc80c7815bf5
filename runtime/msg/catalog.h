// Message catalogue files: locating them through NLSPATH and ROOTDIR, and
// reading them by set and message number.
//
// The file: 9 bytes of magic ("<gencat>" and a zero byte); a body of message
// texts and message indexes, reached only through offsets; the set index
// at offset S; the code page of the texts; S. All integers are 32-bit little-endian. A
// set index entry is (set number, offset of the set's message index); a
// message index entry is (message number, offset of its zero-ended text).
// The message indexes lie back to back in set order, the last one ending
// where the set index begins, so each one's length follows from the next
// one's offset. Set and message numbers are ascending. The set count is
// held in 8 bits: at most 255 sets.
#pragma once

#include <cstdint>

#include "runtime/prelude.h"

namespace rt {

struct CatalogSetEntry {
  std::int32_t set_number;
  std::uint32_t index_offset;
};

struct CatalogMessageEntry {
  std::int32_t message_number;
  std::uint32_t text_offset;
};

// An open catalogue; null stands for "no catalogue".
struct MessageCatalog {
  int fd;  // 10 or higher, close-on-exec
  std::uint8_t set_count;
  std::uint32_t trailer_word;  // the code page the writer recorded, or what another writer left there
  std::uint32_t set_index_offset;
  CatalogSetEntry* set_index;
};

constexpr int NL_CAT_LOCALE = 1;  // catopen: the locale of LC_MESSAGES (else LANG)

MessageCatalog* catopen(const char* name, int oflag);
// The text of a message (in a buffer the next successful catgets reuses;
// at most 2049 bytes), or default_text. Never changes errno.
const char* catgets(MessageCatalog* catalog, int set_number, int message_number, const char* default_text);
// 0, or -1 for a failed close or for no catalogue.
int catclose(MessageCatalog* catalog);
// The code page of an open catalogue's texts as its writer recorded it
// (850, the console's OEM page, or 65001, UTF-8); 0 when it records none
// we know, and for no catalogue.
unsigned catalog_codepage(const MessageCatalog* catalog);

// The path of the catalogue file for a name (an owned copy), or null.
char* catalog_path(const char* name, int oflag);
// An absolute path placed below the directory named by ROOTDIR (in a buffer
// the next call reuses); any other path, or no ROOTDIR, gives the path itself.
const char* rootdir_path(const char* path);

// Binary search over positions 0 ... count - 1; compare(position) is the
// key minus the number at that position. The position found, or where the
// key would be (count when beyond the last).
template <class Compare>
std::uint32_t bsearch_index(std::uint32_t count, Compare compare) {
  std::uint32_t low = 0;
  std::uint32_t high = count;
  while (low < high) {
    const std::uint32_t middle = low + (high - low) / 2;
    const long long result = compare(middle);
    if (result == 0) return middle;
    if (result < 0) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return low;
}

}  // namespace rt
