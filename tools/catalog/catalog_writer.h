// The message catalogue writer: reads the POSIX message source format into a
// catalogue, checks what the runtime's catalogue reader relies on, and lays
// the catalogue out in the "<gencat>" binary format. A build tool: it uses
// the host's C++ library, not the runtime.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/msg/catalog_format.h"

namespace catalog {

struct Message {
  std::int32_t number;
  std::string text;
};

// A set's messages are ascending by number.
struct Set {
  std::int32_t number;
  std::vector<Message> messages;
};

// The sets are ascending by number. The texts are in `code_page`, which the
// catalogue file records in its trailer word.
struct Catalog {
  std::vector<Set> sets;
  std::uint32_t code_page = catalog_file::kCodePageUtf8;
};

// A malformed message source; what() reads "line N: what is wrong".
struct SourceError : std::runtime_error {
  SourceError(int line, const std::string& what);
  int line;
};

// Reads a message source and adds it to `base`: messages outside any $set go
// to set 1, a later definition of a message replaces an earlier one, $delset
// removes a set from `base` too. Several sources thus merge in order. Sets
// and messages come back ascending; sets left without messages are dropped.
// Throws SourceError at the first malformed line.
Catalog parse_source(std::string_view source, Catalog base = {});

// What the catalogue reader relies on and a catalogue may violate: at most
// 255 sets, set numbers from 1 and message numbers from 0, each array strictly
// ascending, no zero byte inside a text. "" when the catalogue is fine, else
// one line saying what is wrong.
std::string check(const Catalog& catalog);

// The texts turned from UTF-8 into the console's OEM code page (the letters
// that code pages 437 and 850 place alike), recorded as code page 850. Throws std::runtime_error naming
// the set and message of a text with a character the code page lacks, or
// that is no UTF-8.
Catalog to_oem(Catalog catalog);

// The catalogue file's bytes. Lays out any catalogue, even one that check()
// refuses.
std::string encode(const Catalog& catalog);

}  // namespace catalog
