// The binary layout of a message catalogue file, in one place for the two
// sides that must agree on it: the runtime's reader (runtime/msg/catalog.cpp)
// and the build's writer (tools/catalog/catalog_writer.cpp). The writer uses
// the host's C++ library, so this header stands alone: no runtime header.
//
// All integers are 32-bit little-endian; offsets count bytes from the start
// of the file. With S the offset of the set index and SIZE the file's size:
//   0          magic
//   9          body: message texts and message indexes, reached by offsets
//   S          set index: set entries, ascending by set number
//   SIZE - 8   trailer: the code page of the texts, then S
// A set entry is (set number, offset of the set's message index); a message
// entry is (message number, offset of its zero-ended text). A set's message
// index runs to the next set's, the last one to S.
#pragma once

#include <cstddef>
#include <cstdint>

namespace catalog_file {

// "<gencat>" and its zero byte: the first kMagicSize bytes of every catalogue.
inline constexpr char kMagic[] = "<gencat>";
inline constexpr std::size_t kMagicSize = sizeof kMagic;

// A set entry or a message entry: a number, then an offset.
inline constexpr std::size_t kEntrySize = 8;
inline constexpr std::size_t kEntryNumberAt = 0;
inline constexpr std::size_t kEntryOffsetAt = 4;

// The trailer at the end of the file: the code page word, then S.
inline constexpr std::size_t kTrailerSize = 8;
inline constexpr std::size_t kTrailerWordAt = 0;
inline constexpr std::size_t kTrailerSetIndexAt = 4;

// The code pages the writer records in the trailer word: the console's OEM
// page (the letters 437 and 850 place alike) for Windows, UTF-8 elsewhere.
// Finding the catalogue and looking texts up never read the word; any other
// value (0, or a catalogue another writer made) says nothing of its texts.
inline constexpr std::uint32_t kCodePageOem = 850;
inline constexpr std::uint32_t kCodePageUtf8 = 65001;

// The reader holds the set count in 8 bits.
inline constexpr std::size_t kMaxSets = 255;

}  // namespace catalog_file
