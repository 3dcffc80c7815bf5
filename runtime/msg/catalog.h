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

// The path of the catalogue file for a name (an owned copy), or null. The
// locale's value is looked for through the templates of NLSPATH (or the
// default one below ROOTDIR). When they hold no file for it: through them
// again with the value's plain form (locale_plain_name) when that is
// another name; then, without NLSPATH, at nls/<language>/<name>.cat in the
// program's own folder, where the Windows archive puts its catalogues.
char* catalog_path(const char* name, int oflag);

// A locale name in its plain form "ll" or "ll_CC", as Windows users write
// it or as POSIX does: "de-DE", "de_DE.UTF-8", "German_Germany.1252" and
// "German" all give "de_DE", "de-AT" gives "de_AT", "French" "fr_FR". The
// language is 2 or 3 letters, made lower case, or an English name from a
// small table (which also gives the country Windows gives the language
// alone); the country 2 letters (upper case) or 3 digits, or a name from
// the table; code set and modifier go. An empty text when the language is
// neither ("C", "POSIX", "Klingon", "").
struct LocaleName {
  char text[8];  // "lll_CCC" at the longest
};
LocaleName locale_plain_name(const char* value);
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
