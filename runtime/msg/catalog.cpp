// Message catalogue files: locating and reading them.
//
// Contents: plain locale names (locale_plain_name) - locating (rootdir_path,
// catalog_path) - opening and closing (catopen, catclose, catalog_codepage) -
// looking up (catgets with its set and window cache).
#include "runtime/msg/catalog.h"

#include "runtime/msg/catalog_format.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/locale.h"
#include "runtime/msg/stdlib.h"
#include "runtime/startup/dir.h"
#include "runtime/string.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/open.h"
#include "runtime/win32/wide_name.h"

namespace rt {
namespace {

using catalog_file::kEntryNumberAt;
using catalog_file::kEntryOffsetAt;
using catalog_file::kEntrySize;
using catalog_file::kMagic;
using catalog_file::kMagicSize;
using catalog_file::kTrailerSize;

// The set index is read into CatalogSetEntry records in place, entry by
// entry; its count is held in a field just wide enough for the most sets.
static_assert(sizeof(CatalogSetEntry) == kEntrySize);
static_assert(catalog_file::kMaxSets == static_cast<decltype(MessageCatalog::set_count)>(-1));

constexpr char kDefaultTemplate[] = "/etc/nls/locale/%L/%N.cat";
constexpr std::size_t kPathLimit = 260;       // a candidate path holds at most 259 characters
constexpr std::uint32_t kWindowEntries = 1024;  // message index entries per window block (8 KiB)
constexpr unsigned kTextLimit = 2049;         // bytes read for one text

// --- Plain locale names -----------------------------------------------------

// Languages and countries as Windows names them ("German_Germany.1252"),
// or as their own speakers write them in ASCII. A language alone stands
// for the country Windows gives it.
struct NamedLanguage {
  const char* name;
  char code[3];
  char country[3];
};
constexpr NamedLanguage kLanguages[] = {
    {"German", "de", "DE"},  {"Deutsch", "de", "DE"}, {"French", "fr", "FR"},  {"Francais", "fr", "FR"},
    {"English", "en", "US"}, {"Italian", "it", "IT"}, {"Spanish", "es", "ES"}, {"Dutch", "nl", "NL"},
};

struct NamedCountry {
  const char* name;
  char code[3];
};
constexpr NamedCountry kCountries[] = {
    {"Germany", "DE"}, {"Deutschland", "DE"}, {"Austria", "AT"}, {"Switzerland", "CH"}, {"France", "FR"},
    {"Belgium", "BE"}, {"Luxembourg", "LU"}, {"Canada", "CA"}, {"United States", "US"}, {"United Kingdom", "GB"},
    {"Italy", "IT"}, {"Spain", "ES"}, {"Netherlands", "NL"},
    // The country words of Windows' own language strings ("german-swiss", "english-uk").
    {"Swiss", "CH"}, {"Austrian", "AT"}, {"Belgian", "BE"}, {"Canadian", "CA"}, {"American", "US"},
    {"British", "GB"}, {"UK", "GB"},
};

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
bool is_ascii_letter(char c) { return ascii_lower(c) >= 'a' && ascii_lower(c) <= 'z'; }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Whether [start, end) is `length` characters long, each passing `test`.
template <class Test>
bool is_run(const char* start, const char* end, std::size_t length, Test test) {
  if (static_cast<std::size_t>(end - start) != length) return false;
  for (; start < end; ++start) {
    if (!test(*start)) return false;
  }
  return true;
}

// Whether [start, end) spells `name`, letters in either case.
bool spells(const char* start, const char* end, const char* name) {
  for (; start < end; ++start, ++name) {
    if (*name == '\0' || ascii_lower(*start) != ascii_lower(*name)) return false;
  }
  return *name == '\0';
}

// The country code a country part gives into `code` (3 bytes and a zero):
// a country's name, or the first subtag that is 2 letters or 3 digits
// ("Latn-RS", "419"); nothing when there is none.
void country_code(const char* start, const char* end, char* code) {
  for (const NamedCountry& country : kCountries) {
    if (spells(start, end, country.name)) {
      memcpy(code, country.code, sizeof country.code);
      return;
    }
  }
  while (start < end) {
    const char* stop = start;
    while (stop < end && *stop != '-' && *stop != '_') ++stop;
    if (is_run(start, stop, 2, is_ascii_letter) || is_run(start, stop, 3, is_ascii_digit)) {
      // Two or three characters, one by one: a loop the compiler could not bound.
      code[0] = ascii_upper(start[0]);
      code[1] = ascii_upper(start[1]);
      if (stop - start == 3) code[2] = ascii_upper(start[2]);
      return;
    }
    start = stop < end ? stop + 1 : stop;
  }
}

// --- Locating ---------------------------------------------------------------

char* g_rootdir = nullptr;  // the private copy of ROOTDIR, once found
char* g_rootdir_buffer = nullptr;
std::size_t g_rootdir_buffer_size = 0;

// The part of a locale value V = language_territory.codeset@modifier that an
// escape stands for, as [start, end).
struct Piece {
  const char* start;
  const char* end;
};

const char* find(const char* from, const char* to, char c) {
  for (; from < to; ++from) {
    if (*from == c) return from;
  }
  return nullptr;
}

Piece locale_piece(char escape, const char* value) {
  const char* end = value + strlen(value);
  const char* underscore = find(value, end, '_');
  const char* dot = find(value, end, '.');
  const char* at = find(value, end, '@');
  switch (escape) {
    case 'l':
      return {value, underscore ? underscore : dot ? dot : at ? at : end};
    case 't': {
      if (!underscore) return {end, end};
      const char* start = underscore + 1;
      const char* stop = find(start, end, '.');
      if (!stop) stop = find(start, end, '@');
      return {start, stop ? stop : end};
    }
    case 'c': {
      if (!dot) return {end, end};
      const char* start = dot + 1;
      const char* stop = find(start, end, '@');
      return {start, stop ? stop : end};
    }
    default:  // 'm'
      return at ? Piece{at + 1, end} : Piece{end, end};
  }
}

// A candidate path under construction: at most kPathLimit - 1 characters.
struct Candidate {
  char text[kPathLimit];
  std::size_t length = 0;

  bool add(const char* start, const char* end) {
    for (; start < end; ++start) {
      if (length + 1 >= kPathLimit) return false;
      text[length++] = *start;
    }
    return true;
  }
  bool add(const char* part) { return add(part, part + strlen(part)); }
};

}  // namespace

LocaleName locale_plain_name(const char* value) {
  LocaleName plain{};
  const char* end = value;  // the code set and the modifier go
  while (*end != '\0' && *end != '.' && *end != '@') ++end;
  const char* language_end = value;
  while (language_end < end && *language_end != '_' && *language_end != '-') ++language_end;

  char language[4] = {};
  char country[4] = {};
  const auto letters = static_cast<std::size_t>(language_end - value);
  if ((letters == 2 || letters == 3) && is_run(value, language_end, letters, is_ascii_letter)) {
    for (std::size_t i = 0; i < letters; ++i) language[i] = ascii_lower(value[i]);
  } else {
    const NamedLanguage* named = nullptr;
    for (const NamedLanguage& each : kLanguages) {
      if (spells(value, language_end, each.name)) named = &each;
    }
    if (!named) return plain;
    memcpy(language, named->code, sizeof named->code);
    if (language_end == end) memcpy(country, named->country, sizeof named->country);
  }
  if (language_end < end) country_code(language_end + 1, end, country);

  std::size_t length = strlen(language);
  memcpy(plain.text, language, length);
  if (country[0] != '\0') {
    plain.text[length++] = '_';
    memcpy(plain.text + length, country, strlen(country));
  }
  return plain;
}

const char* rootdir_path(const char* path) {
  if (!is_path_separator(path[0])) return path;
  if (!g_rootdir) {
    const char* value = getenv("ROOTDIR");
    if (!value) return path;
    g_rootdir = strdup(value);
    if (!g_rootdir) return path;
    const std::size_t length = strlen(g_rootdir);
    if (length > 1 && is_path_separator(g_rootdir[length - 1])) g_rootdir[length - 1] = '\0';
  }
  const std::size_t root = strlen(g_rootdir);
  const std::size_t needed = root + strlen(path) + 1;
  if (needed > g_rootdir_buffer_size) {
    void* grown = realloc(g_rootdir_buffer, needed);
    if (!grown) return path;
    g_rootdir_buffer = static_cast<char*>(grown);
    g_rootdir_buffer_size = needed;
  }
  memcpy(g_rootdir_buffer, g_rootdir, root);
  memcpy(g_rootdir_buffer + root, path, needed - root);
  return g_rootdir_buffer;
}

namespace {

// The first candidate of `templates` that exists for the catalogue `name`
// and the locale `value` (an owned copy), or null.
char* search_templates(const char* templates, const char* name, const char* value) {
  // Candidates are separated by ';' (':' belongs to drive names).
  const char* p = templates;
  for (;;) {
    Candidate candidate;
    for (; *p != '\0' && *p != ';'; ++p) {
      bool fits;
      if (*p != '%' || p[1] == '\0') {
        fits = candidate.add(p, p + 1);  // a lone '%' at the end stays as it is
      } else {
        const char escape = *++p;
        switch (escape) {
          case 'N': fits = candidate.add(name); break;
          case 'L': fits = candidate.add(value); break;
          case 'l': case 't': case 'c': case 'm': {
            const Piece piece = locale_piece(escape, value);
            fits = candidate.add(piece.start, piece.end);
            break;
          }
          case '%': fits = candidate.add(p, p + 1); break;
          default: fits = candidate.add(p - 1, p + 1); break;  // both characters, as they are
        }
      }
      if (!fits) return nullptr;  // a candidate of 260 characters ends the search
    }
    candidate.text[candidate.length] = '\0';
    const char* path = candidate.text;
    if (candidate.length == 0) {
      if (strlen(name) >= kPathLimit) return nullptr;
      path = name;  // an empty candidate stands for the name in the current directory
    }
    if (path_exists(path)) return strdup(path);
    if (*p == '\0') return nullptr;
    ++p;  // past the ';'
  }
}

// nls/<language>/<name>.cat in the program's own folder (an owned copy)
// when it exists, or null. The path is put together with the separator
// the program's own path uses.
char* beside_program(const char* name, const LocaleName& plain) {
  WCHAR units[kPathLimit];
  const DWORD count = w32::GetModuleFileNameW(nullptr, units, kPathLimit);
  if (count == 0 || count >= kPathLimit) return nullptr;  // none, or cut short
  char program[kPathLimit];
  const int length = name_from_wide(units, static_cast<int>(count), program, sizeof program);
  if (length == 0) return nullptr;  // longer than a candidate holds
  auto folder = static_cast<std::size_t>(length);
  while (folder > 0 && !is_path_separator(program[folder - 1])) --folder;
  if (folder == 0) return nullptr;
  const char separator[2] = {program[folder - 1], '\0'};
  const char* language_end = plain.text;
  while (*language_end != '\0' && *language_end != '_') ++language_end;

  Candidate candidate;
  if (!candidate.add(program, program + folder) || !candidate.add("nls") || !candidate.add(separator) ||
      !candidate.add(plain.text, language_end) || !candidate.add(separator) || !candidate.add(name) ||
      !candidate.add(".cat")) {
    return nullptr;
  }
  candidate.text[candidate.length] = '\0';
  return path_exists(candidate.text) ? strdup(candidate.text) : nullptr;
}

}  // namespace

char* catalog_path(const char* name, int oflag) {
  for (const char* p = name; *p; ++p) {
    if (is_path_separator(*p) || *p == ':') return strdup(name);  // a path: used as it is
  }
  const char* nlspath = getenv("NLSPATH");
  const char* templates = nlspath ? nlspath : rootdir_path(kDefaultTemplate);
  const char* value = oflag == NL_CAT_LOCALE ? setlocale(LC_MESSAGES, nullptr) : getenv("LANG");
  if (!value) return nullptr;
  if (char* path = search_templates(templates, name, value)) return path;

  // Nothing for the name as it stands: the name as Windows users write it
  // ("de-DE", "German_Germany.1252") in its plain form, then the catalogues
  // that came with the program, unless NLSPATH says where they are.
  const LocaleName plain = locale_plain_name(value);
  if (plain.text[0] == '\0') return nullptr;
  if (strcmp(plain.text, value) != 0) {
    if (char* path = search_templates(templates, name, plain.text)) return path;
  }
  return nlspath ? nullptr : beside_program(name, plain);
}

// --- Opening and closing ----------------------------------------------------

namespace {

// Reads the header, the trailer and the set index; false for a file that is
// no catalogue or cannot be read.
bool read_catalog_header(MessageCatalog* catalog) {
  unsigned char magic[kMagicSize];
  if (read_fully(catalog->fd, magic, sizeof magic) != sizeof magic) return false;
  for (std::size_t i = 0; i < sizeof magic; ++i) {
    if (magic[i] != static_cast<unsigned char>(kMagic[i])) return false;
  }
  const off_t trailer_at = lseek(catalog->fd, -static_cast<off_t>(kTrailerSize), SEEK_END);
  unsigned char trailer[kTrailerSize];
  if (trailer_at < 0 || read_fully(catalog->fd, trailer, sizeof trailer) != sizeof trailer) return false;
  catalog->trailer_word = load_le32(trailer + catalog_file::kTrailerWordAt);
  catalog->set_index_offset = load_le32(trailer + catalog_file::kTrailerSetIndexAt);
  if (catalog->set_index_offset > trailer_at) return false;
  const auto size = static_cast<std::size_t>(trailer_at - catalog->set_index_offset);
  catalog->set_index = static_cast<CatalogSetEntry*>(malloc(size));
  if (!catalog->set_index || lseek(catalog->fd, catalog->set_index_offset, SEEK_SET) < 0 ||
      read_fully(catalog->fd, catalog->set_index, size) != static_cast<long long>(size)) {
    return false;
  }
  for (std::size_t i = 0; i < size / kEntrySize; ++i) {
    unsigned char raw[kEntrySize];
    memcpy(raw, reinterpret_cast<unsigned char*>(catalog->set_index) + kEntrySize * i, kEntrySize);
    catalog->set_index[i] = CatalogSetEntry{static_cast<std::int32_t>(load_le32(raw + kEntryNumberAt)),
                                            load_le32(raw + kEntryOffsetAt)};
  }
  catalog->set_count = static_cast<std::uint8_t>(size / kEntrySize);  // held in 8 bits
  return true;
}

// The catgets cache: the last set looked up, and one window of its index.
struct Cache {
  MessageCatalog* catalog = nullptr;
  std::int32_t set_number = 0;
  bool found = false;
  std::uint32_t index_offset = 0;
  std::uint32_t count = 0;
  long long window_block = -1;  // -1: empty
  unsigned char window[kEntrySize * kWindowEntries];
};
Cache g_cache;

// The text buffer: its last three bytes are never written and stay zero.
char g_text[kTextLimit + 3];

}  // namespace

MessageCatalog* catopen(const char* name, int oflag) {
  char* path = catalog_path(name, oflag);
  if (!path) return nullptr;
  auto* catalog = static_cast<MessageCatalog*>(malloc(sizeof(MessageCatalog)));
  if (!catalog) {
    free(path);
    return nullptr;
  }
  int fd = open(path, O_RDONLY, 0);
  free(path);
  if (fd < 0) {
    free(catalog);
    return nullptr;
  }
  if (fd < 10) {
    // Out of the way of the descriptors a program uses itself.
    const int moved = fcntl(fd, F_DUPFD, 10);
    const int error = errno;
    close(fd);
    if (moved < 0) {
      free(catalog);
      errno = error;
      return nullptr;
    }
    fd = moved;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  catalog->fd = fd;
  if (!read_catalog_header(catalog)) {
    close(fd);
    free(catalog->set_index);
    free(catalog);
    return nullptr;
  }
  return catalog;
}

unsigned catalog_codepage(const MessageCatalog* catalog) {
  if (!catalog) return 0;
  const std::uint32_t page = catalog->trailer_word;
  return page == catalog_file::kCodePageOem || page == catalog_file::kCodePageUtf8 ? page : 0;
}

int catclose(MessageCatalog* catalog) {
  if (!catalog) return -1;
  const int result = close(catalog->fd);
  free(catalog->set_index);
  free(catalog);
  if (g_cache.catalog == catalog) g_cache = Cache{};
  return result;
}

// --- Looking up -------------------------------------------------------------

namespace {

// Makes the window hold the block of index entries that has `position`.
bool load_window(const MessageCatalog* catalog, std::uint32_t position) {
  const long long block = position / kWindowEntries;
  if (g_cache.window_block == block) return true;
  const std::uint32_t first = static_cast<std::uint32_t>(block) * kWindowEntries;
  const std::uint32_t entries = g_cache.count - first < kWindowEntries ? g_cache.count - first : kWindowEntries;
  g_cache.window_block = -1;
  const off_t at = off_t{g_cache.index_offset} + static_cast<off_t>(kEntrySize) * first;
  const std::size_t bytes = kEntrySize * entries;
  if (lseek(catalog->fd, at, SEEK_SET) < 0) return false;
  if (read_fully(catalog->fd, g_cache.window, bytes) != static_cast<long long>(bytes)) return false;
  g_cache.window_block = block;
  return true;
}

const unsigned char* window_entry(std::uint32_t position) {
  return g_cache.window + kEntrySize * (position % kWindowEntries);
}

const char* look_up(MessageCatalog* catalog, int set_number, int message_number, const char* default_text) {
  if (g_cache.catalog != catalog || g_cache.set_number != set_number) {
    g_cache.catalog = catalog;
    g_cache.set_number = set_number;
    g_cache.found = false;
    const std::uint32_t position = bsearch_index(catalog->set_count, [&](std::uint32_t i) {
      return static_cast<long long>(set_number) - catalog->set_index[i].set_number;
    });
    if (position < catalog->set_count && catalog->set_index[position].set_number == set_number) {
      const std::uint32_t start = catalog->set_index[position].index_offset;
      const std::uint32_t end = position + 1 < catalog->set_count ? catalog->set_index[position + 1].index_offset
                                                                  : catalog->set_index_offset;
      g_cache.found = true;
      g_cache.index_offset = start;
      g_cache.count = static_cast<std::uint32_t>((end - start) / kEntrySize);
      g_cache.window_block = -1;
    }
  }
  if (!g_cache.found) return default_text;

  bool failed = false;
  const std::uint32_t position = bsearch_index(g_cache.count, [&](std::uint32_t i) -> long long {
    if (failed) return 0;
    if (!load_window(catalog, i)) {
      failed = true;  // the search ends here, without a match
      return 0;
    }
    return static_cast<long long>(message_number) -
           static_cast<std::int32_t>(load_le32(window_entry(i) + kEntryNumberAt));
  });
  if (failed || position >= g_cache.count || !load_window(catalog, position) ||
      static_cast<std::int32_t>(load_le32(window_entry(position) + kEntryNumberAt)) != message_number) {
    return default_text;
  }
  if (lseek(catalog->fd, load_le32(window_entry(position) + kEntryOffsetAt), SEEK_SET) < 0) return default_text;
  const int n = read(catalog->fd, g_text, kTextLimit);
  if (n < 1) return default_text;
  g_text[n] = '\0';
  return g_text;
}

}  // namespace

const char* catgets(MessageCatalog* catalog, int set_number, int message_number, const char* default_text) {
  if (!catalog) return default_text;
  const int saved = errno;
  const char* text = look_up(catalog, set_number, message_number, default_text);
  errno = saved;
  return text;
}

}  // namespace rt
