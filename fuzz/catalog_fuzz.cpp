// Fuzzing the catalogue reader: the input's first 8 bytes are a set and a message number (32-bit little-endian),
// looked up with their neighbours; the rest is a catalogue file. Rest that does not begin with the magic but is a
// message source the writer takes is made into the catalogue the build would make of it, whose lookups must give
// exactly the source's texts, and the default for a number it lacks. Of any other file: catopen succeeds exactly
// for one with the magic and a set index offset (the last word) not past the trailer, and a text found is a run of
// the file's bytes. catgets leaves errno alone and answers the same lookup the same; no descriptor, system handle
// or heap block stays after catclose or a failed catopen. The catalogue's code page is the one its trailer records.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include "tools/catalog/catalog_writer.h"
#include "runtime/msg/catalog.h"
#include "runtime/string.h"
#include "runtime/win32/fd.h"
namespace {
using w32::hook::Call;
constexpr char kDefault[] = "default";
const std::string kMagic("<gencat>", 9);
std::string g_path;  // the scratch file the catalogue is written to
// Descriptors open, system handles made but not closed, and heap blocks not freed.
long long open_things() {
  long long open = w32::hook::calls(Call::CreateFileW) + w32::hook::calls(Call::DuplicateHandle) +
                   w32::hook::calls(Call::HeapAlloc) - w32::hook::calls(Call::HeapFree);
  for (int fd = 0; fd < rt::fd_count; ++fd) open += rt::fd_table[fd] != nullptr;
  return open - w32::hook::calls(Call::CloseHandle);
}
std::optional<catalog::Catalog> from_source(const std::string& rest) {  // when the writer takes the source
  if (rest.starts_with(kMagic)) return std::nullopt;
  try {
    catalog::Catalog made = catalog::parse_source(rest);
    if (catalog::check(made).empty()) return made;
  } catch (const catalog::SourceError&) {}
  return std::nullopt;
}
std::string text_of(const catalog::Catalog& made, std::int32_t set, std::int32_t message) {  // or the default
  for (const catalog::Set& s : made.sets) {
    for (const catalog::Message& m : s.messages) if (s.number == set && m.number == message) return m.text;
  }
  return kDefault;
}
}  // namespace
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (rt::fd_init() != 0) __builtin_trap();
  g_path = "/tmp/catalog_fuzz-" + std::to_string(w32::GetCurrentProcessId()) + ".cat";
  std::atexit([] { std::remove(g_path.c_str()); });
  return 0;
}
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const auto set = static_cast<std::int32_t>(rt::load_le32(data));
  const auto message = static_cast<std::int32_t>(rt::load_le32(data + 4));
  const std::string rest(reinterpret_cast<const char*>(data + 8), size - 8);
  const std::optional<catalog::Catalog> made = from_source(rest);
  const std::string file = made ? catalog::encode(*made) : rest;
  std::remove(g_path.c_str());  // a new file each time: replacing the data of a truncated one waits for the disk
  if (!(std::ofstream(g_path, std::ios::binary) << file)) __builtin_trap();
  const long long open = open_things();
  rt::MessageCatalog* catalog = rt::catopen(g_path.c_str(), rt::NL_CAT_LOCALE);
  const bool opens = file.starts_with(kMagic) && file.size() >= 12 &&
                     rt::load_le32(reinterpret_cast<const unsigned char*>(&file[file.size() - 4])) <= file.size() - 8;
  if ((catalog != nullptr) != opens) __builtin_trap();
  if (catalog) {
    // The same set twice (the cached window), another set, the first again.
    const auto next = [](std::int32_t n) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(n) + 1); };
    const std::int32_t lookups[][2] = {{set, message}, {set, next(message)}, {next(set), message}, {set, message}};
    std::string answers[4];
    for (int i = 0; i < 4; ++i) {
      const auto [s, m] = lookups[i];
      rt::errno = 12345;
      const char* text = rt::catgets(catalog, s, m, kDefault);
      if (rt::errno != 12345) __builtin_trap();
      answers[i] = text;
      if (made ? answers[i] != text_of(*made, s, m) : text != kDefault && file.find(text) == std::string::npos) {
        __builtin_trap();
      }
    }
    if (answers[3] != answers[0]) __builtin_trap();
    // The code page: UTF-8 for a catalogue the writer made of a source, else the trailer's word when it names
    // one of the writer's pages, 0 otherwise.
    const std::uint32_t trailer = rt::load_le32(reinterpret_cast<const unsigned char*>(&file[file.size() - 8]));
    const unsigned page = made ? 65001 : trailer == 850 || trailer == 65001 ? trailer : 0;
    if (rt::catalog_codepage(catalog) != page) __builtin_trap();
    if (rt::catclose(catalog) != 0) __builtin_trap();
  }
  if (open_things() != open) __builtin_trap();
  return 0;
}
