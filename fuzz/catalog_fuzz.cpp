// Fuzzing the catalogue reader: the input after its first 8 bytes becomes a
// catalogue file; the first 8 bytes are a set and a message number (32-bit
// little-endian), looked up with their neighbours. Every input is held to
// the reader's rules, worked out here from the file's bytes:
// - catopen succeeds exactly for a file with the magic and a set index
//   offset not past the trailer;
// - a text found is the file's bytes at the entry's offset, up to the first
//   zero byte and at most 2049 of them; where the numbers are ascending and
//   the set's message index lies inside the file, what is found and what is
//   not is known exactly; elsewhere a text must still be such a run;
// - catgets leaves errno alone, and the same lookup gives the same text;
// - no descriptor and no system handle stays open after catclose or a
//   failed catopen.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/msg/catalog.h"
#include "runtime/msg/catalog_format.h"
#include "runtime/string.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/open.h"

namespace {

constexpr std::size_t kTextLimit = 2049;
constexpr char kDefault[] = "default";
char g_path[64];  // the scratch file the input is written to
int g_handles = 0;  // system handles made and not yet closed

HANDLE create_file(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE template_file) {
  HANDLE handle = ::CreateFileA(name, access, share, security, disposition, attributes, template_file);
  if (handle != INVALID_HANDLE_VALUE) ++g_handles;
  return handle;
}
BOOL duplicate_handle(HANDLE from_process, HANDLE handle, HANDLE to_process, HANDLE* copy, DWORD access,
                      BOOL inherit, DWORD options) {
  const BOOL made = ::DuplicateHandle(from_process, handle, to_process, copy, access, inherit, options);
  g_handles += made ? 1 : 0;
  return made;
}
BOOL close_handle(HANDLE handle) {
  const BOOL closed = ::CloseHandle(handle);
  g_handles -= closed ? 1 : 0;
  return closed;
}

int open_descriptors() {
  int open = 0;
  for (int fd = 0; fd < rt::fd_count; ++fd) open += rt::fd_table[fd] != nullptr;
  return open;
}

std::uint32_t word(const std::string& file, std::uint64_t at) {
  if (at + 4 > file.size()) return 0;
  return rt::load_le32(reinterpret_cast<const unsigned char*>(file.data() + at));
}

// The text at an offset, as the reader cuts it.
std::string text_at(const std::string& file, std::uint64_t at) {
  return file.substr(at, kTextLimit).c_str();
}

// What a lookup must give: `exact` when the rules decide it (then `found`
// and `text` are the answer).
struct Expected {
  bool exact;
  bool found;
  std::string text;
};

Expected expected(const std::string& file, std::int32_t set, std::int32_t message) {
  const Expected kUndecided{false, false, ""};
  const auto number = [&](std::uint64_t at) { return static_cast<std::int32_t>(word(file, at)); };
  const std::uint64_t trailer = file.size() - 8;
  const std::uint32_t set_index = word(file, trailer + 4);
  const unsigned sets = static_cast<std::uint8_t>((trailer - set_index) / 8);  // held in 8 bits
  constexpr std::uint64_t kNone = ~std::uint64_t{0};
  std::uint64_t set_at = kNone;
  for (unsigned i = 0; i < sets; ++i) {
    const std::uint64_t at = set_index + 8ull * i;
    if (i > 0 && number(at) <= number(at - 8)) return kUndecided;
    if (number(at) == set) set_at = at;
  }
  if (set_at == kNone) return {true, false, ""};
  const std::uint32_t index = word(file, set_at + 4);
  const std::uint32_t end = set_at + 8 < set_index + 8ull * sets ? word(file, set_at + 12) : set_index;
  const std::uint32_t count = (end - index) / 8;
  if (index + 8ull * count > file.size()) return kUndecided;
  std::uint64_t text = kNone;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t at = index + 8ull * i;
    if (i > 0 && number(at) <= number(at - 8)) return kUndecided;
    if (number(at) == message) text = word(file, at + 4);
  }
  if (text >= file.size()) return {true, false, ""};  // none, or past the end: nothing to read
  return {true, true, text_at(file, text)};
}

// True when `text` is a run the reader could have cut from the file.
bool is_cut_from(const std::string& file, const std::string& text) {
  for (std::size_t at = file.find(text); at != std::string::npos; at = file.find(text, at + 1)) {
    if (text_at(file, at) == text) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (rt::fd_init() != 0) __builtin_trap();
  std::snprintf(g_path, sizeof g_path, "/tmp/catalog_fuzz-%u.cat", w32::GetCurrentProcessId());
  std::atexit([] { std::remove(g_path); });
  w32::hook::replacements.CreateFileA = create_file;
  w32::hook::replacements.DuplicateHandle = duplicate_handle;
  w32::hook::replacements.CloseHandle = close_handle;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const auto set = static_cast<std::int32_t>(rt::load_le32(data));
  const auto message = static_cast<std::int32_t>(rt::load_le32(data + 4));
  const std::string file(reinterpret_cast<const char*>(data + 8), size - 8);
  std::remove(g_path);  // a new file each time: replacing the data of a truncated one waits for the disk
  const int fd = rt::open(g_path, rt::O_WRONLY | rt::O_CREAT | rt::O_TRUNC, 0666);
  if (fd < 0 || rt::write(fd, file.data(), static_cast<unsigned>(file.size())) != static_cast<int>(file.size()) ||
      rt::close(fd) != 0) {
    __builtin_trap();
  }

  const int descriptors = open_descriptors();
  const int handles = g_handles;
  rt::MessageCatalog* catalog = rt::catopen(g_path, rt::NL_CAT_LOCALE);
  const bool opens = file.size() >= catalog_file::kMagicSize &&
                     file.compare(0, catalog_file::kMagicSize, catalog_file::kMagic, catalog_file::kMagicSize) == 0 &&
                     word(file, file.size() - 4) <= file.size() - 8;
  if ((catalog != nullptr) != opens) __builtin_trap();
  if (catalog) {
    // The same set twice (the cached window), another set, then the first again.
    const auto next = [](std::int32_t n) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(n) + 1); };
    const std::int32_t lookups[][2] = {{set, message}, {set, next(message)}, {next(set), message}, {set, message}};
    std::string results[4];
    for (int i = 0; i < 4; ++i) {
      const auto [s, m] = lookups[i];
      rt::errno = 12345;
      const char* text = rt::catgets(catalog, s, m, kDefault);
      if (rt::errno != 12345) __builtin_trap();
      const Expected want = expected(file, s, m);
      if (text == kDefault) {
        if (want.exact && want.found) __builtin_trap();
      } else if (want.exact ? !want.found || want.text != text : !is_cut_from(file, text)) {
        __builtin_trap();
      }
      results[i] = text == kDefault ? std::string(1, '\0') : text;  // no text holds a zero byte
    }
    if (results[3] != results[0]) __builtin_trap();
    if (rt::catclose(catalog) != 0) __builtin_trap();
  }
  if (open_descriptors() != descriptors || g_handles != handles) __builtin_trap();
  return 0;
}
