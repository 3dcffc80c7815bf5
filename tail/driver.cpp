// The output driver: opens each operand in turn, turns the count into lines
// or a byte offset, decides whether an input can be positioned, and runs one
// output mode; then hands what is to be followed to follow mode. And the
// copying from a start point counted from the beginning.
#include <utility>

#include "tail/tail.h"

#include "runtime/msg/diag.h"
#include "runtime/msg/format.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/messages.h"
#include "runtime/startup/exit.h"
#include "runtime/string.h"
#include "runtime/win32/fstat.h"

namespace tail {
namespace {

// Bytes per unit, by unit index; 0 for the line units.
constexpr std::int64_t kUnitSize[] = {0, 512, 1, 1024, 1048576, 0};

bool is_byte_unit(std::int32_t unit) { return unit >= 1 && unit <= 4; }

// Headers are shown as messages are, and the names in them as names are.
rt::TextForm g_headers_form{.kind = rt::TextKind::kMessages};
// The form standard output has now, and where it came from (null: bytes).
rt::TextForm* g_shown = nullptr;

// The name standard input is shown by, in the names' page like any other.
char* standard_input_name() {
  const char* text = rt::msg_lookup(rt::messages::kStandardInput);
  char* name = rt::msg_as_name(text);
  return name ? name : rt::xstrdup(text);
}

}  // namespace

InputText fresh_text() {
  const bool bytes = is_byte_unit(options.unit);
  return InputText{.encoding = bytes ? rt::Encoding::kBytes : rt::Encoding::kUndecided,
                   .mark = 0,
                   .wide = {},
                   .form = {.kind = bytes ? rt::TextKind::kBytes : rt::TextKind::kUndecided}};
}

void show(rt::TextForm* form) {
  if (form == g_shown) return;
  const rt::TextForm old = rt::stream_swap_form(rt::stdout, form ? *form : rt::TextForm{});
  if (g_shown) *g_shown = old;
  g_shown = form;
}

void let_text_go(InputText& text) {
  if (g_shown == &text.form) show(nullptr);
  if (text.form.held > 0) {
    rt::fwrite(text.form.partial, 1, text.form.held, rt::stdout);
    text.form.held = 0;
  }
}

void set_encoding(InputText& text, rt::Encoding encoding) {
  // Standard output takes the form anew when it has it now.
  const bool shown = g_shown == &text.form;
  if (shown) show(nullptr);
  static const bool console = rt::fd_is_console(rt::fileno(rt::stdout)) == 1;
  text.encoding = encoding;
  text.mark = static_cast<std::uint8_t>(rt::mark_length(encoding));
  if (encoding == rt::Encoding::kUtf8Marked && console) text.mark = 3;
  text.wide = rt::WideDecoder{.big_endian = encoding == rt::Encoding::kUtf16Be, .carried = 0, .carry = {}};
  if (rt::is_wide(encoding)) {
    text.form = rt::TextForm{.kind = rt::TextKind::kWide};
  } else if (encoding == rt::Encoding::kUtf8Marked) {
    text.form = rt::TextForm{.kind = rt::TextKind::kPage, .page = CP_UTF8};
  }
  if (shown) show(&text.form);
}

bool decide_encoding(rt::Stream* stream, bool file, bool more_may_come, InputText& text) {
  // Text typed at a console has no mark: it is never waited for.
  if (!file && rt::fd_is_console(rt::fileno(stream)) != 0) {
    set_encoding(text, rt::Encoding::kBytes);
    return true;
  }
  // A byte at a time while the bytes begin a mark: a pipe gives what it
  // has, and an 8-bit input costs a one-byte read.
  const unsigned char* bytes;
  rt::Encoding found;
  for (std::size_t wanted = 1;; ++wanted) {
    const std::size_t n = rt::stream_peek(stream, wanted, &bytes);
    found = rt::detect_encoding(bytes, n, n >= wanted || more_may_come);
    if (found != rt::Encoding::kUndecided || n < wanted) break;
  }
  if (found == rt::Encoding::kUndecided || rt::ferror(stream)) return false;
  set_encoding(text, found);
  skip_bytes(stream, text.mark);
  // A file that is followed (where more may come) keeps a character its end
  // cuts for the next poll.
  return !rt::is_wide(found) || rt::stream_decode_wide(stream, found == rt::Encoding::kUtf16Be, more_may_come);
}

int read_error(const char* name) {
  rt::print_error(rt::msg_lookup(rt::messages::kReadError), rt::Name{name});
  return 1;
}

void read_error_exit(const char* name) { rt::exit(read_error(name)); }

void write_header(const char* name, bool first) {
  show(&g_headers_form);
  // One write for the blank line and the header.
  rt::stream_hold_lines(rt::stdout, true);
  rt::fprintf(rt::stdout, first ? "==> %s <==\n" : "\n==> %s <==\n", rt::Name{name});
  rt::stream_hold_lines(rt::stdout, false);
}

int tail_files(char* const* names, int count) {
  const int inputs = count > 0 ? count : 1;
  const bool headers = options.headers == 1 || (options.headers == -1 && inputs > 1);
  auto* followed = static_cast<Followed*>(rt::malloc(sizeof(Followed) * static_cast<std::size_t>(inputs)));
  if (!followed) {
    rt::print_error(rt::msg_lookup(rt::messages::kNoBufferMemory));
    return 1;
  }
  // Byte units read a file untranslated. "-" is standard input among
  // several operands; a single one is always a file's name.
  const bool bytes = is_byte_unit(options.unit);
  const char* mode = bytes ? "rb" : "r";
  if (bytes) {
    // Bytes are read and written as they are, standard input's too, and headers.
    rt::stream_set_binary(rt::stdin);
    rt::stream_set_binary(rt::stdout);
  }
  int status = 0;
  int following = 0;
  int written = -1;  // the followed input whose part was written last; -1: another
  bool first_header = true;
  for (int k = 0; k < inputs; ++k) {
    const bool from_stdin = count == 0 || (count > 1 && rt::strcmp(names[k], "-") == 0);
    rt::Stream* stream = from_stdin ? rt::stdin : rt::fopen(names[k], mode);
    if (!stream) {
      rt::print_error(rt::msg_lookup(rt::messages::kInputFile), rt::Name{names[k]});
      status = 1;
      // With --retry (-F), a missing file is looked for at every poll.
      if (options.follow && options.retry) followed[following++] = awaited(names[k]);
      continue;
    }
    const char* name = from_stdin ? standard_input_name() : names[k];
    if (headers) write_header(name, std::exchange(first_header, false));
    written = -1;
    Followed input;
    bool held_return = false;
    InputText text = fresh_text();
    show(&text.form);
    const int result = tail_stream(stream, name, &held_return, text);
    show(nullptr);
    if (result != 0 || follow_setup(stream, name, !from_stdin, held_return, text, input) != 0) {
      status = 1;
    } else if (input.state == FollowState::kOpen) {
      written = following;
      followed[following++] = input;
      continue;  // the stream is closed
    }
    let_text_go(text);
    if (stream != rt::stdin) rt::fclose(stream);
  }
  if (following > 0) follow_files(followed, following, headers && first_header, headers, written, status);
  rt::free(followed);
  return status;
}

int tail_stream(rt::Stream* stream, const char* name, bool* held_return, InputText& text) {
  std::int64_t offset = 0;
  if (is_byte_unit(options.unit)) {
    const std::int64_t size = kUnitSize[options.unit];
    constexpr std::int64_t kLargest = 9223372036854775807;
    // Bounded on both sides before any arithmetic: a negative count (a word
    // such as " -5" that strtoll reads with its sign) is as far from 0.
    if (options.count > kLargest / size || options.count < -(kLargest / size)) {
      rt::fprintf(rt::stderr, rt::msg_lookup(rt::messages::kByteCountRange), 0, kLargest);
      return 1;
    }
    offset = options.count * size;
    if (options.from_end == 0 && offset != 0) --offset;
  }

  // Copying goes a run at a time: the input gets a large buffer before its
  // first read (without one it gets the default on first use). The files
  // opened here are read one after the other, and closed or let go before
  // the next: they share one buffer. Standard input stays open, and keeps
  // its own.
  static void* const shared = rt::malloc(kInputBufferSize);
  rt::setvbuf(stream, stream != rt::stdin ? shared : nullptr, rt::_IOFBF, kInputBufferSize);

  rt::FileStatus status;
  const bool seekable = rt::fstat(rt::fileno(stream), &status) == 0 &&
                        ((status.st_mode & rt::S_IFMT) == rt::S_IFREG || (status.st_mode & rt::S_IFMT) == rt::S_IFBLK);

  // Text of a file that is followed afterwards may end in the middle of a
  // line end: a carriage return there waits for the byte after it.
  if (!options.follow || !seekable || !follows_text()) held_return = nullptr;

  // Lines are counted in the input's own units: its first bytes tell them.
  // A followed file that is empty, or holds the beginning of a mark alone,
  // is written once they are known.
  if (!is_byte_unit(options.unit) && !decide_encoding(stream, seekable, options.follow && seekable, text)) {
    if (rt::ferror(stream)) return read_error(name);
    if (text.encoding == rt::Encoding::kUndecided) return 0;
    rt::print_error(rt::msg_lookup(rt::messages::kNoBufferMemory));
    return 1;
  }

  if (is_byte_unit(options.unit)) {
    if (!seekable) {
      return options.from_end == 0 ? copy_rest(stream, offset, name, nullptr) : last_bytes_ring(stream, offset, name);
    }
    // A position before the start fails as a negative seek and leaves the
    // stream where it is (at the start); one beyond the end copies nothing.
    // A start beyond the end (from the beginning, or a negative count from
    // the end) may lie further than the system can place a file: then too
    // nothing is copied, and following starts at the end. Any other failure
    // leaves the input at no known place.
    const int moved = options.from_end == 0 ? rt::fseek(stream, offset, rt::SEEK_SET)
                                            : rt::fseek(stream, -offset, rt::SEEK_END);
    if (moved != 0 && (options.from_end != 0 ? offset < 0 : offset > status.st_size)) {
      rt::fseek(stream, 0, rt::SEEK_END);
      return end_of_copy_checks(stream, name);
    }
    if (moved != 0 && rt::errno != ERROR_NEGATIVE_SEEK) return read_error(name);
    return copy_rest(stream, 0, name, nullptr);
  }
  if (options.from_end == 0) return skip_lines(stream, name, held_return);
  if (options.count == 0) {
    // Nothing of what is there is written: following starts at its end (in
    // UTF-16, at the end of its last whole unit).
    if (seekable) {
      if (rt::is_wide(text.encoding)) {
        rt::fseek(stream, status.st_size & ~rt::off_t{1}, rt::SEEK_SET);
      } else {
        rt::fseek(stream, 0, rt::SEEK_END);
      }
    }
    return 0;
  }
  return seekable ? last_lines_seek(stream, status.st_size, name, held_return, text)
                  : last_lines_ring(stream, name);
}

int skip_lines(rt::Stream* stream, const char* name, bool* held_return) {
  // A line ends at a line feed, whatever bytes it holds and however long it
  // is. +1 and +0 both start at the first line.
  for (std::int64_t lines = options.count > 0 ? options.count - 1 : 0; lines > 0; --lines) {
    if (!skip_line(stream)) {
      if (rt::ferror(stream)) read_error_exit(name);
      return 0;  // the start line does not exist
    }
  }
  return copy_rest(stream, 0, name, held_return);
}

int copy_rest(rt::Stream* stream, std::int64_t skip, const char* name, bool* held_return) {
  // An input that ends before the start point copies nothing; one that
  // fails while skipping ends like a failed copy.
  if (skip_bytes(stream, skip)) copy_to_stdout(stream, held_return);
  return end_of_copy_checks(stream, name);
}

int end_of_copy_checks(rt::Stream* stream, const char* name) {
  if (rt::ferror(stream)) return read_error(name);
  rt::fflush(rt::stdout);
  if (rt::ferror(rt::stdout)) {
    rt::print_error(rt::msg_lookup(rt::messages::kWriteError));
    return 1;
  }
  return 0;
}

}  // namespace tail
