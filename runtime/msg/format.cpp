// The formatting engine.
#include "runtime/msg/format.h"

#include <climits>
#include <utility>

#include "runtime/msg/ctype.h"

namespace rt {
namespace {

// Characters go to the stream by the putc rule; errors are not looked at
// and the count goes on.
struct Output {
  Stream* stream;
  std::int64_t count = 0;

  void put(int c) {
    putc(c, stream);
    ++count;
  }
  void repeat(int c, std::int64_t n) {
    for (; n > 0; --n) put(c);
  }
  int result() const { return count > INT_MAX ? INT_MAX : static_cast<int>(count); }
};

// The arguments, taken in order; null when they have run out.
class ArgReader {
 public:
  explicit ArgReader(FormatArgs args) : args_(args) {}
  const FormatArg* take() { return next_ < args_.size() ? &args_[next_++] : nullptr; }

 private:
  FormatArgs args_;
  std::size_t next_ = 0;
};

using Kind = FormatArg::Kind;

std::int32_t int_of(const FormatArg* arg) {
  if (!arg) return 0;
  if (arg->kind == Kind::Int) return static_cast<std::int32_t>(arg->number);
  if (arg->kind == Kind::Pointer) return static_cast<std::int32_t>(arg->address);
  return 0;
}

// The value for a signed conversion: 32 bits, or all of a 64-bit integer.
std::int64_t signed_of(const FormatArg* arg) {
  if (arg && arg->kind == Kind::Int && arg->wide) return arg->number;
  return int_of(arg);
}

// The value for an unsigned conversion: 32 bits, or the whole of a pointer
// or a 64-bit integer.
std::uint64_t unsigned_of(const FormatArg* arg) {
  if (arg && arg->kind == Kind::Pointer) return arg->address;
  if (arg && arg->kind == Kind::Int && arg->wide) return static_cast<std::uint64_t>(arg->number);
  return static_cast<std::uint32_t>(int_of(arg));
}

const char* text_of(const FormatArg* arg) {
  if (!arg || arg->kind != Kind::Text) return "";
  return arg->text ? arg->text : "(null)";
}

struct Spec {
  bool blank = false;
  bool alternate = false;
  bool plus = false;
  bool left = false;
  bool zero = false;
  bool dot = false;
  int width = -1;  // -1: unset
  int precision = -1;
};

// Text rules (c, s): at most `precision` characters, padded to the width.
// A name goes to the stream as names are shown.
void put_text(Output& out, const Spec& spec, const char* text, std::int64_t length, bool name = false) {
  if (spec.precision >= 0 && spec.precision < length) length = spec.precision;
  const std::int64_t padding = spec.width != -1 ? spec.width - length : 0;
  if (!spec.left) out.repeat(spec.zero ? '0' : ' ', padding);
  if (name) {
    stream_put_name(out.stream, text, static_cast<std::size_t>(length));
    out.count += length;
  } else {
    for (std::int64_t i = 0; i < length; ++i) out.put(static_cast<unsigned char>(text[i]));
  }
  if (spec.left) out.repeat(' ', padding);
}

// Number rules (d, i, u, o, x, X, p). The precision counts the prefix, and
// the zero flag turns the width into a precision.
void put_number(Output& out, Spec spec, std::uint64_t magnitude, bool negative, unsigned base, bool upper,
                char conversion) {
  char digits[24];  // least significant first; 64-bit octal and an extra '0' fit
  int count = 0;
  do {
    const int digit = static_cast<int>(magnitude % base);
    digits[count++] = static_cast<char>(upper ? toupper("0123456789abcdef"[digit]) : "0123456789abcdef"[digit]);
    magnitude /= base;
  } while (magnitude != 0);
  const bool zero_value = count == 1 && digits[0] == '0';

  char prefix[2];
  int prefix_length = 0;
  if (conversion == 'd' || conversion == 'i') {
    if (negative) {
      prefix[prefix_length++] = '-';
    } else if (!zero_value && spec.blank) {
      prefix[prefix_length++] = ' ';
    } else if (!zero_value && spec.plus) {
      prefix[prefix_length++] = '+';
    }
  } else if (spec.alternate && !zero_value) {
    if (base == 16) {
      prefix[prefix_length++] = '0';
      prefix[prefix_length++] = upper ? 'X' : 'x';
      if (spec.precision != -1) spec.precision += 2;
    } else if (base == 8) {
      digits[count++] = '0';
      if (spec.precision != -1) spec.precision += 1;
    }
  }

  const std::int64_t width = spec.width != -1 ? spec.width : count;
  const std::int64_t precision = spec.precision != -1 ? spec.precision : (spec.zero ? width : 0);
  const std::int64_t zeros = precision - count - prefix_length;
  const std::int64_t body = precision > count + prefix_length ? precision : count + prefix_length;
  const std::int64_t padding = width - body;
  if (!spec.left) out.repeat(' ', padding);
  for (int i = 0; i < prefix_length; ++i) out.put(prefix[i]);
  out.repeat('0', zeros);
  while (count > 0) out.put(digits[--count]);
  if (spec.left) out.repeat(' ', padding);
}

void put_signed(Output& out, const Spec& spec, std::int64_t value, char conversion) {
  const bool negative = value < 0;
  const std::uint64_t magnitude = negative ? 0u - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  put_number(out, spec, magnitude, negative, 10, false, conversion);
}

// A decimal number read from the format, capped at INT_MAX.
int read_number(const unsigned char*& p) {
  int value = 0;
  while (*p >= '0' && *p <= '9') {
    const int digit = *p++ - '0';
    value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
  }
  return value;
}

// Reads a conversion directive after '%' up to its conversion
// character, which is the result (0 when the format ends inside the
// directive). Each '*' takes its value from star().
template <class Star>
int read_spec(const unsigned char*& p, Spec& spec, Star star) {
  for (;;) {
    const int c = *p++;
    switch (c) {
      case ' ': spec.blank = true; break;
      case '#': spec.alternate = true; break;
      case '+': spec.plus = true; break;
      case '-': spec.left = true; break;
      case '.': spec.dot = true; break;
      case 'h': case 'l': case 'L': break;  // an integer has the width it was given
      case '*': (spec.dot ? spec.precision : spec.width) = star(); break;
      case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
        if (c == '0' && !spec.dot) spec.zero = true;
        --p;
        (spec.dot ? spec.precision : spec.width) = read_number(p);
        break;
      default:
        return c;
    }
  }
}

// The kind of argument a conversion character takes, or None.
Kind kind_of_conversion(int conversion) {
  switch (conversion) {
    case 'c': case 'C': case 'd': case 'i': case 'u': case 'o': case 'x': case 'X': case 'p':
      return Kind::Int;
    case 's': case 'S':
      return Kind::Text;
    case 'n':
      return Kind::Count;
    default:  // the floating conversions and every other character take none
      return Kind::None;
  }
}

// The kinds of argument a format takes, in order, read the way the engine
// reads the format.
class ArgumentKinds {
 public:
  explicit ArgumentKinds(const char* format) : p_(reinterpret_cast<const unsigned char*>(format)) {}

  // The next kind, or None at the end of the format.
  Kind next() {
    while (stars_ == 0 && conversion_ == Kind::None) {
      int c;
      while ((c = *p_) != '\0' && c != '%') ++p_;
      if (c == '\0') return Kind::None;
      ++p_;
      if (*p_ == 'd') {
        ++p_;
        conversion_ = Kind::Int;
        continue;
      }
      Spec spec;
      const int conversion = read_spec(p_, spec, [this] {
        ++stars_;  // each '*' takes an int
        return -1;
      });
      if (conversion == '\0') {
        --p_;  // stays at the end of the format
      } else {
        conversion_ = kind_of_conversion(conversion);
      }
    }
    if (stars_ > 0) {
      --stars_;
      return Kind::Int;
    }
    return std::exchange(conversion_, Kind::None);
  }

 private:
  const unsigned char* p_;
  long stars_ = 0;                  // ints still to come for '*' of the current directive
  Kind conversion_ = Kind::None;  // then the conversion's own argument
};

}  // namespace

int vfprintf(Stream* stream, const char* format, FormatArgs args) {
  Output out{stream};
  ArgReader reader(args);
  const auto* p = reinterpret_cast<const unsigned char*>(format);
  for (;;) {
    const int c = *p++;
    if (c == '\0') return out.result();
    if (c != '%') {
      out.put(c);
      continue;
    }
    if (*p == 'd') {  // the short path of the common %d
      ++p;
      put_signed(out, Spec{}, signed_of(reader.take()), 'd');
      continue;
    }
    Spec spec;
    const int conversion = read_spec(p, spec, [&reader] { return int_of(reader.take()); });
    switch (conversion) {
      case '\0':
        return out.result();  // the unfinished directive prints nothing
      case 'c': case 'C': {
        const char byte = static_cast<char>(int_of(reader.take()));
        put_text(out, spec, &byte, 1);
        break;
      }
      case 's': case 'S': {
        const FormatArg* arg = reader.take();
        const char* text = text_of(arg);
        std::int64_t length = 0;
        while ((spec.precision < 0 || length < spec.precision) && text[length] != '\0') ++length;
        put_text(out, spec, text, length, arg && arg->kind == Kind::Text && arg->name);
        break;
      }
      case 'd': case 'i':
        put_signed(out, spec, signed_of(reader.take()), static_cast<char>(conversion));
        break;
      case 'u': case 'o': case 'x': case 'X': case 'p':
        put_number(out, spec, unsigned_of(reader.take()), false,
                   conversion == 'u' ? 10 : conversion == 'o' ? 8 : 16, conversion == 'X',
                   static_cast<char>(conversion));
        break;
      case 'n': {
        const FormatArg* arg = reader.take();
        if (arg && arg->kind == Kind::Count && arg->count) *arg->count = out.result();
        break;
      }
      case 'e': case 'E': case 'f': case 'g': case 'G':
        for (const char* text = "NO FLOATS"; *text; ++text) out.put(*text);
        break;
      default:  // '%' and every other character: printed once, the directive dropped
        out.put(conversion);
        break;
    }
  }
}

bool same_conversions(const char* format, const char* other) {
  ArgumentKinds kinds(format);
  ArgumentKinds other_kinds(other);
  for (;;) {
    const Kind kind = kinds.next();
    if (kind != other_kinds.next()) return false;
    if (kind == Kind::None) return true;
  }
}

int vsnprintf(char* buffer, std::size_t size, const char* format, FormatArgs args) {
  Stream record;
  const int length = size == 0 ? 0 : size - 1 > INT_MAX ? INT_MAX : static_cast<int>(size - 1);
  stream_open_string(buffer, length, "w", &record);
  const int count = vfprintf(&record, format, args);
  if (size != 0) buffer[count < length ? count : length] = '\0';
  return count;
}

}  // namespace rt
