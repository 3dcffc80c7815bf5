// Fuzzing the catalogue reader: the input's first 8 bytes are a set and a
// message number (32-bit little-endian), looked up with their neighbours in
// the catalogue file made of the rest. By the reader's rules, worked out
// here from the file's bytes: catopen succeeds exactly for a file with the
// magic and a set index offset not past the trailer; a text found is the
// file's bytes at the entry's offset up to a zero byte, at most 2049 of
// them; with ascending numbers and the set's message index inside the file
// the answer is known exactly, elsewhere a text must still be such a run.
// catgets leaves errno alone and answers the same lookup the same; no
// descriptor or system handle stays open after catclose or a failed catopen.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "runtime/msg/catalog.h"
#include "runtime/msg/catalog_format.h"
#include "runtime/string.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/open.h"

namespace {

using w32::hook::Call;
constexpr std::size_t kTextLimit = 2049;
constexpr char kDefault[] = "default";
char g_path[64];  // the scratch file the input is written to

// Descriptors open, and system handles made but not closed.
long long open_things() {
  long long open = w32::hook::calls(Call::CreateFileA) + w32::hook::calls(Call::DuplicateHandle);
  for (int fd = 0; fd < rt::fd_count; ++fd) open += rt::fd_table[fd] != nullptr;
  return open - w32::hook::calls(Call::CloseHandle);
}

std::int64_t word(const std::string& file, std::uint64_t at) {
  return at + 4 > file.size() ? 0 : rt::load_le32(reinterpret_cast<const unsigned char*>(&file[at]));
}
std::int32_t number(const std::string& file, std::uint64_t at) { return static_cast<std::int32_t>(word(file, at)); }

// The text at an offset, cut as the reader cuts it.
std::string text_at(const std::string& file, std::uint64_t at) { return file.substr(at, kTextLimit).c_str(); }

// What a lookup must give, found by linear searches: the text, or
// kDefaultAnswer when the default comes back; nothing where the rules leave
// it to the order of the binary searches.
const std::string kDefaultAnswer(1, '\0');  // no text holds a zero byte
std::optional<std::string> expected(const std::string& file, std::int32_t set, std::int32_t message) {
  const std::uint64_t set_index = word(file, file.size() - 4), sets = (file.size() - 8 - set_index) / 8 % 256;
  std::uint64_t entry = file.size();  // none
  for (std::uint64_t at = set_index; at < set_index + 8 * sets; at += 8) {
    if (at > set_index && number(file, at) <= number(file, at - 8)) return std::nullopt;
    if (number(file, at) == set) entry = at;
  }
  if (entry == file.size()) return kDefaultAnswer;
  const std::int64_t index = word(file, entry + 4);
  const std::int64_t end = entry + 8 < set_index + 8 * sets ? word(file, entry + 12) : set_index;
  const std::uint64_t limit = index + static_cast<std::uint32_t>(end - index) / 8 * 8;
  if (limit > file.size()) return std::nullopt;
  std::uint64_t text = file.size();
  for (std::uint64_t at = index; at < limit; at += 8) {
    if (at > static_cast<std::uint64_t>(index) && number(file, at) <= number(file, at - 8)) return std::nullopt;
    if (number(file, at) == message) text = word(file, at + 4);
  }
  return text < file.size() ? text_at(file, text) : kDefaultAnswer;
}

// True when `text` is a run the reader could have cut from the file.
bool is_cut_from(const std::string& file, const std::string& text) {
  for (std::size_t at = file.find(text); at != std::string::npos; at = file.find(text, at + 1)) {
    const std::size_t end = at + text.size();
    if (end == file.size() || file[end] == '\0' || text.size() == kTextLimit) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (rt::fd_init() != 0) __builtin_trap();
  std::snprintf(g_path, sizeof g_path, "/tmp/catalog_fuzz-%u.cat",
                static_cast<unsigned>(w32::GetCurrentProcessId()));
  std::atexit([] { std::remove(g_path); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const auto set = static_cast<std::int32_t>(rt::load_le32(data));
  const auto message = static_cast<std::int32_t>(rt::load_le32(data + 4));
  const std::string file(reinterpret_cast<const char*>(data + 8), size - 8);
  std::remove(g_path);  // a new file each time: replacing the data of a truncated one waits for the disk
  const int fd = rt::open(g_path, rt::O_WRONLY | rt::O_CREAT, 0666);
  if (fd < 0 || rt::write(fd, file.data(), static_cast<unsigned>(file.size())) != static_cast<int>(file.size()) ||
      rt::close(fd) != 0) {
    __builtin_trap();
  }

  const long long open = open_things();
  rt::MessageCatalog* catalog = rt::catopen(g_path, rt::NL_CAT_LOCALE);
  const bool opens = file.size() >= catalog_file::kMagicSize &&
                     file.compare(0, catalog_file::kMagicSize, catalog_file::kMagic, catalog_file::kMagicSize) == 0 &&
                     word(file, file.size() - 4) <= static_cast<std::int64_t>(file.size() - 8);
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
      answers[i] = text == kDefault ? kDefaultAnswer : text;
      const std::optional<std::string> want = expected(file, s, m);
      if (want ? *want != answers[i] : text != kDefault && !is_cut_from(file, text)) __builtin_trap();
    }
    if (answers[3] != answers[0]) __builtin_trap();
    if (rt::catclose(catalog) != 0) __builtin_trap();
  }
  if (open_things() != open) __builtin_trap();
  return 0;
}
