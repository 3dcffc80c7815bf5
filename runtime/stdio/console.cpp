// Text as a console shows it. A console takes characters (WriteConsoleW):
// text whose page is known is converted to them, so it reads right whatever
// page the user chose with chcp, and the console's page is never changed.
// Text already in the console's page goes as bytes, as it always did; so do
// 8-bit logs that are not UTF-8. Text decoded from UTF-16, and names,
// reach any other output in the console's page (the OEM page without a
// console), a character the page lacks as '?'. A character is never split between two
// writes: its first bytes wait for the rest.
#include "runtime/stdio/console.h"

#include "runtime/msg/heap.h"
#include "runtime/msg/messages.h"
#include "runtime/string.h"
#include "runtime/stdio/text_runs.h"
#include "runtime/win32/wide_name.h"

namespace rt {
namespace {

constexpr std::size_t kMostWritten = std::size_t{1} << 30;  // bytes offered to one write call at most
// Text is converted this many bytes at a time (at most as many UTF-16 units):
// one WriteConsoleW each, well within the 64 KiB that consoles before
// Windows 8 share among a process's console writes.
constexpr std::size_t kChunk = 8192;

// The page of the bytes of a form: 0 stands for the OEM page.
UINT page_of(const TextForm& form) {
  if (form.kind == TextKind::kWide) return CP_UTF8;
  if (form.kind == TextKind::kName) return names_page();
  const unsigned page = form.kind == TextKind::kMessages ? msg_codepage() : form.page;
  return page != 0 ? page : w32::GetOEMCP();
}

// The page outputs that are no console get UTF-16 text in.
UINT output_page() {
  static const UINT page = [] {
    const UINT console = w32::GetConsoleOutputCP();
    return console != 0 ? console : w32::GetOEMCP();
  }();
  return page;
}

bool shows_characters(Stream* stream) {
  if (!(stream->flags & STREAM_ASKED)) {
    stream->flags |= STREAM_ASKED;
    if (fd_is_console(stream->fd) == 1) stream->flags |= STREAM_SHOWS;
  }
  return (stream->flags & STREAM_SHOWS) != 0;
}

// Writes characters to the console: false when it refused them.
bool write_characters(Stream* stream, const WCHAR* units, int count) {
  if (!fd_validate(stream->fd)) return false;
  while (count > 0) {
    DWORD done = 0;
    if (!w32::WriteConsoleW(fd_table[stream->fd], units, static_cast<DWORD>(count), &done, nullptr) || done == 0) {
      return false;
    }
    units += done;
    count -= static_cast<int>(done);
  }
  return true;
}

// The bytes of the next chunk of [bytes, bytes + length) in `page`: a
// character of UTF-8 is never cut.
std::size_t chunk_of(UINT page, const unsigned char* bytes, std::size_t length) {
  const std::size_t n = length < kChunk ? length : kChunk;
  return page == CP_UTF8 && n < length ? utf8_complete(bytes, n) : n;
}

// The UTF-16 units of a chunk of `page`, or 0 when it cannot be converted.
int units_of(UINT page, const unsigned char* bytes, std::size_t n, WCHAR* units) {
  const int count = w32::MultiByteToWideChar(page, 0, reinterpret_cast<const char*>(bytes), static_cast<int>(n),
                                             units, static_cast<int>(kChunk));
  if (count <= 0) map_system_error();
  return count > 0 ? count : 0;
}

// Writes complete characters of `page` to the console, a chunk a call: the
// number of bytes taken. Text that cannot be converted is not written: the
// stream fails, as a refused write does.
std::size_t show_characters(Stream* stream, UINT page, const unsigned char* bytes, std::size_t length) {
  WCHAR units[kChunk];
  std::size_t taken = 0;
  while (taken < length) {
    const std::size_t n = chunk_of(page, bytes + taken, length - taken);
    const int count = units_of(page, bytes + taken, n, units);
    if (count == 0) return taken;
    if (!write_characters(stream, units, count)) {
      // A console that takes no characters (an unusual host): bytes from now on.
      stream->flags &= ~STREAM_SHOWS;
      return taken + write_bytes(stream, bytes + taken, length - taken);
    }
    taken += n;
  }
  return taken;
}

// No look-alike stands in for a character the output page lacks: '?' does.
DWORD output_flags(UINT target) { return target == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS; }
const char* stand_in(UINT target) { return target == CP_UTF8 ? nullptr : "?"; }

// Whether the output page gives each ASCII character as its own byte, as
// nearly every page does: then ASCII text needs no conversion for it.
bool output_keeps_ascii() {
  static const bool keeps = [] {
    const UINT target = output_page();
    WCHAR units[0x80];
    char text[2 * 0x80];
    for (unsigned i = 0; i < 0x80; ++i) units[i] = static_cast<WCHAR>(i);
    const int made = w32::WideCharToMultiByte(target, output_flags(target), units, 0x80, text,
                                              static_cast<int>(sizeof text), stand_in(target), nullptr);
    if (made != 0x80) return false;
    for (unsigned i = 0; i < 0x80; ++i) {
      if (static_cast<unsigned char>(text[i]) != i) return false;
    }
    return true;
  }();
  return keeps;
}

// For an output page that gives every character of the Basic Multilingual
// Plane one byte (each single-byte page does), that byte for each: table[c]
// for the character c. Null for any other page. Made once, by one
// conversion of all of them.
const unsigned char* output_bytes() {
  static const unsigned char* const table = []() -> const unsigned char* {
    constexpr int kSurrogates = 0x800;  // D800-DFFF: halves of a pair, no characters
    const UINT target = output_page();
    auto* units = static_cast<WCHAR*>(malloc(0x10000 * sizeof(WCHAR)));
    auto* made = static_cast<unsigned char*>(malloc(0x10000));
    int count = 0;
    for (unsigned c = 0; units && c < 0x10000; ++c) {
      if (c < 0xD800 || c > 0xDFFF) units[count++] = static_cast<WCHAR>(c);
    }
    const int n = units && made ? w32::WideCharToMultiByte(target, output_flags(target), units, count,
                                                           reinterpret_cast<char*>(made), 0x10000, stand_in(target),
                                                           nullptr)
                                : -1;
    free(units);
    if (n != count) {
      free(made);
      return nullptr;
    }
    memmove(made + 0xE000, made + 0xD800, 0x10000 - 0xD800 - kSurrogates);
    return made;
  }();
  return table;
}

// The end of the text from `from` on that is to be converted, from a byte
// above 0x7F: up to the next run of 32 ASCII bytes or the end, a chunk at
// most. Shorter runs of ASCII are converted with the characters around them.
const unsigned char* end_of_other_text(const unsigned char* from, const unsigned char* end) {
  constexpr std::ptrdiff_t kLongRun = 32;
  const unsigned char* at = from;
  while (at < end && at - from < static_cast<std::ptrdiff_t>(kChunk)) {
    while (at < end && *at >= 0x80) ++at;
    const unsigned char* other = find_non_ascii(at, end - at > kLongRun ? at + kLongRun : end);
    if (other - at == kLongRun || other == end) return at;
    at = other;
  }
  return at;
}

// Writes complete characters of `page` in the output page, to an output
// that is no console: the number of bytes taken whose text was written.
// The converted text is gathered in place of the bytes it came from and
// written in one go, as bytes that need no conversion are: it seldom takes
// more bytes than they did (a character other than ASCII takes two or more
// in UTF-8, one or two in most pages), and where a chunk's text would reach
// bytes not yet converted, what is gathered goes out first.
// ASCII in UTF-8 is its own text in most pages: it is gathered as it is.
// The first `narrowed` bytes are in the output page already.
std::size_t write_in_page(Stream* stream, UINT page, unsigned char* bytes, std::size_t length,
                          std::size_t narrowed) {
  WCHAR units[kChunk];
  char text[kChunk * 4];
  const UINT target = output_page();
  const bool ascii_kept = page == CP_UTF8 && output_keeps_ascii();
  const unsigned char* const table = ascii_kept ? output_bytes() : nullptr;
  unsigned char* const end = bytes + length;
  unsigned char* gathered = bytes + narrowed;  // the text of the bytes from `written` to `taken` ends here
  std::size_t written = 0;
  std::size_t taken = narrowed;
  const auto write_gathered = [&] {
    const auto size = static_cast<std::size_t>(gathered - bytes);
    if (size > 0 && write_bytes(stream, bytes, size) < size) return false;
    gathered = bytes;
    written = taken;
    return true;
  };
  while (taken < length) {
    unsigned char* const at = bytes + taken;
    if (ascii_kept && *at < 0x80) {
      const unsigned char* other = gathered == at ? find_non_ascii(at, end) : move_ascii_down(gathered, at, end);
      const auto n = static_cast<std::size_t>(other - at);
      gathered += n;
      taken += n;
      continue;
    }
    if (table) {
      // Characters a single-byte page has a byte for (or '?') go without a
      // call, each into fewer bytes than it had.
      const TextStep step = narrow_characters(table, at, end, gathered, end);
      gathered = step.to;
      taken += static_cast<std::size_t>(step.from - at);
      if (step.from > at) continue;
    }
    const std::size_t n = chunk_of(page, at, ascii_kept ? static_cast<std::size_t>(end_of_other_text(at, end) - at)
                                                        : length - taken);
    const int count = units_of(page, at, n, units);
    if (count == 0) break;
    const int made = w32::WideCharToMultiByte(target, output_flags(target), units, count, text,
                                              static_cast<int>(sizeof text), stand_in(target), nullptr);
    if (made <= 0) {
      map_system_error();
      break;
    }
    const auto size = static_cast<std::size_t>(made);
    if (gathered + size > at + n) {
      if (!write_gathered()) return written;
      if (size > taken + n) {
        if (write_bytes(stream, reinterpret_cast<unsigned char*>(text), size) < size) return written;
        taken += n;
        written = taken;
        continue;
      }
    }
    memcpy(gathered, text, size);
    gathered += size;
    taken += n;
  }
  write_gathered();
  return written;
}

// Writes complete characters of `page` to the console, or in the output
// page to anything else (the first `narrowed` bytes are in it already): the
// number of bytes taken.
std::size_t convert(Stream* stream, UINT page, unsigned char* bytes, std::size_t length, std::size_t narrowed) {
  const bool console = (stream->flags & STREAM_SHOWS) != 0;
  const UINT target = console ? w32::GetConsoleOutputCP() : output_page();
  if (page == target) return write_bytes(stream, bytes, length);
  return console ? show_characters(stream, page, bytes, length)
                 : write_in_page(stream, page, bytes, length, narrowed);
}

}  // namespace

std::size_t write_bytes(Stream* stream, const unsigned char* bytes, std::size_t length) {
  // Where a descriptor that appends writes is not known from here.
  if (length > 0) stream->mark_offset = -1;
  const unsigned char* p = bytes;
  const unsigned char* const end = bytes + length;
  while (p < end) {
    const std::size_t left = static_cast<std::size_t>(end - p);
    const auto offered = static_cast<unsigned>(left < kMostWritten ? left : kMostWritten);
    const int n = write(stream->fd, p, offered);
    if (n < 0) break;
    p += n;
    if (static_cast<unsigned>(n) < offered) {
      if (*p != kCtrlZ) break;
      ++p;  // a console that stops at 0x1A: skip it and go on
    }
  }
  return static_cast<std::size_t>(p - bytes);
}

bool writes_shown(Stream* stream) {
  if (stream->form.kind == TextKind::kBytes || (stream->flags & STREAM_STRING)) return false;
  // Text decoded from UTF-16 and names are converted for any output: for a
  // console to characters, for the others to the console's page.
  return shows_characters(stream) || stream->form.kind == TextKind::kWide || stream->form.kind == TextKind::kName;
}

void stream_put_name(Stream* stream, const char* name, std::size_t length) {
  std::size_t ascii = 0;
  while (ascii < length && static_cast<unsigned char>(name[ascii]) < 0x80) ++ascii;
  // Elsewhere than on a console, a name in the output's page goes as it is
  // into bytes written as they are.
  const bool as_bytes = ascii == length || (stream->flags & STREAM_STRING) ||
                        (!shows_characters(stream) && names_page() == output_page() && !writes_shown(stream));
  if (as_bytes) {
    fwrite(name, 1, length, stream);
    return;
  }
  const TextForm around = stream_swap_form(stream, TextForm{.kind = TextKind::kName});
  fwrite(name, 1, length, stream);
  stream_swap_form(stream, around);
}

const unsigned char* narrowing_table(Stream* stream) {
  if (stream->form.kind != TextKind::kWide || (stream->flags & STREAM_STRING) || shows_characters(stream) ||
      output_page() == CP_UTF8 || !output_keeps_ascii()) {
    return nullptr;
  }
  return output_bytes();
}

std::size_t write_shown(Stream* stream, unsigned char* bytes, std::size_t length, std::size_t narrowed,
                        std::size_t* kept) {
  *kept = 0;
  TextForm& form = stream->form;
  if (form.kind == TextKind::kUndecided) {
    // Bytes up to the first one above 0x7F are the same either way; the
    // bytes from there decide for good, unless they are a character not yet
    // finished.
    std::size_t first = 0;
    while (first < length && bytes[first] < 0x80) ++first;
    if (first == length) return write_bytes(stream, bytes, length);
    const bool utf8 = is_utf8(bytes + first, length - first);
    if (utf8 && utf8_complete(bytes + first, length - first) == 0) {
      *kept = length - first;
      return write_bytes(stream, bytes, first);
    }
    form.kind = utf8 ? TextKind::kPage : TextKind::kBytes;
    form.page = utf8 ? CP_UTF8 : 0;
    if (!utf8) return write_bytes(stream, bytes, length);
  }
  const UINT page = page_of(form);
  std::size_t complete = length;
  if (page == CP_UTF8) {
    complete = narrowed + utf8_complete(bytes + narrowed, length - narrowed);
    *kept = length - complete;
  }
  return convert(stream, page, bytes, complete, narrowed);
}

}  // namespace rt
