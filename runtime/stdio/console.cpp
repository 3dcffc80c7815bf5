// Text as a console shows it. A console takes characters (WriteConsoleW):
// text whose page is known is converted to them, so it reads right whatever
// page the user chose with chcp, and the console's page is never changed.
// Text already in the console's page goes as bytes, as it always did; so do
// 8-bit logs that are not UTF-8. Text decoded from UTF-16, and names,
// reach any other output in the console's page (the OEM page without a
// console), a character the page lacks as '?'. A character is never split between two
// writes: its first bytes wait for the rest.
#include "runtime/stdio/console.h"

#include "runtime/msg/messages.h"
#include "runtime/string.h"
#include "runtime/stdio/text_runs.h"
#include "runtime/win32/wide_name.h"

namespace rt {
namespace {

constexpr std::size_t kMostWritten = std::size_t{1} << 30;  // bytes offered to one write call at most
// Text is converted this many bytes at a time (at most as many UTF-16 units).
constexpr std::size_t kChunk = 2048;

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

// Writes complete characters of `page` to the console, or in the output
// page to anything else: the number of bytes taken.
std::size_t convert(Stream* stream, UINT page, const unsigned char* bytes, std::size_t length) {
  const bool console = (stream->flags & STREAM_SHOWS) != 0;
  const UINT target = console ? w32::GetConsoleOutputCP() : output_page();
  if (page == target) return write_bytes(stream, bytes, length);
  WCHAR units[kChunk];
  char text[kChunk * 4];
  std::size_t taken = 0;
  while (taken < length) {
    std::size_t n = length - taken < kChunk ? length - taken : kChunk;
    if (page == CP_UTF8 && taken + n < length) n = utf8_complete(bytes + taken, n);
    const int count = w32::MultiByteToWideChar(page, 0, reinterpret_cast<const char*>(bytes + taken),
                                               static_cast<int>(n), units, static_cast<int>(kChunk));
    // Text that cannot be converted is not written: the stream fails, as a refused write does.
    if (count <= 0) {
      map_system_error();
      return taken;
    }
    if (console) {
      if (!write_characters(stream, units, count)) {
        // A console that takes no characters (an unusual host): bytes from now on.
        stream->flags &= ~STREAM_SHOWS;
        return taken + write_bytes(stream, bytes + taken, length - taken);
      }
    } else {
      // No look-alike stands in for a character the page lacks.
      const DWORD flags = target == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
      const int made = w32::WideCharToMultiByte(target, flags, units, count, text, static_cast<int>(sizeof text),
                                                target == CP_UTF8 ? nullptr : "?", nullptr);
      if (made <= 0) {
        map_system_error();
        return taken;
      }
      if (write_bytes(stream, reinterpret_cast<unsigned char*>(text), static_cast<std::size_t>(made)) <
          static_cast<std::size_t>(made)) {
        return taken;
      }
    }
    taken += n;
  }
  return taken;
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

std::size_t write_shown(Stream* stream, const unsigned char* bytes, std::size_t length, std::size_t* kept) {
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
    complete = utf8_complete(bytes, length);
    *kept = length - complete;
  }
  return convert(stream, page, bytes, complete);
}

}  // namespace rt
