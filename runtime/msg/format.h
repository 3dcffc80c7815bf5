// Formatted output: one engine for every formatted print, writing into a
// Stream (a real one, or a string stream over a caller's buffer).
//
// It follows printf in outline with these differences: no floating-point
// conversions (e, E, f, g, G print "NO FLOATS" and take no argument);
// integers are 32 bits, except that a 64-bit argument prints in full (whatever
// the size letters say); the precision counts the sign or 0x prefix; the zero
// flag wins over the left flag; %d right after '%' takes no flags or width;
// an unknown conversion character is printed itself.
//
// Arguments are passed type-safely: each is packed with its kind, and the
// engine takes them in order. A conversion whose argument is missing or of
// another kind prints as if given 0 or the empty text, and %n stores only
// into an int* that was really passed.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

#include "runtime/prelude.h"
#include "runtime/stdio/stream.h"

namespace rt {

struct FormatArg {
  enum class Kind : std::uint8_t { None, Int, Pointer, Text, Count };
  Kind kind = Kind::None;
  std::int64_t number = 0;     // Int: 32 bits, or 64 when `wide`
  bool wide = false;           // Int: given as a 64-bit integer, which %d, %u, %x... print in full
  std::uintptr_t address = 0;  // Pointer: printed in full by the unsigned conversions
  const char* text = nullptr;  // Text
  int* count = nullptr;        // Count: where %n stores
  bool name = false;           // Text: a name (see Name)
};
using FormatArgs = std::span<const FormatArg>;

// A name of a file, in the names' page, for %s: it is shown as text around
// it is, whatever characters it holds (see stream_put_name).
struct Name {
  const char* text;
};

constexpr FormatArg format_arg(const char* text) { return {FormatArg::Kind::Text, 0, false, 0, text, nullptr}; }
constexpr FormatArg format_arg(Name name) {
  return {FormatArg::Kind::Text, 0, false, 0, name.text, nullptr, true};
}
constexpr FormatArg format_arg(int* count) { return {FormatArg::Kind::Count, 0, false, 0, nullptr, count}; }
inline FormatArg format_arg(const void* pointer) {
  return {FormatArg::Kind::Pointer, 0, false, reinterpret_cast<std::uintptr_t>(pointer), nullptr, nullptr};
}
template <std::integral T>
constexpr FormatArg format_arg(T value) {
  if constexpr (sizeof(T) > 4) return {FormatArg::Kind::Int, static_cast<std::int64_t>(value), true, 0, nullptr, nullptr};
  return {FormatArg::Kind::Int, static_cast<std::int32_t>(value), false, 0, nullptr, nullptr};
}

// The arguments of one call, packed with their kinds (one slot more, so
// that a call without arguments has an array too).
template <class... Args>
struct FormatPack {
  explicit FormatPack(const Args&... args) : values{format_arg(args)...} {}
  FormatArgs args() const { return FormatArgs(values, sizeof...(Args)); }
  FormatArg values[sizeof...(Args) + 1];
};

// The engine: formats into the stream; the number of characters sent.
int vfprintf(Stream* stream, const char* format, FormatArgs args);

// True when two formats take the same kinds of argument in the same order:
// one may then stand for the other (a translated text for its default).
bool same_conversions(const char* format, const char* other);

// Formats into buffer, at most size - 1 characters and a terminating zero
// byte; the number of characters the whole output has (as vfprintf counts).
int vsnprintf(char* buffer, std::size_t size, const char* format, FormatArgs args);

template <class... Args>
int fprintf(Stream* stream, const char* format, const Args&... args) {
  return vfprintf(stream, format, FormatPack<Args...>(args...).args());
}

template <class... Args>
int printf(const char* format, const Args&... args) {
  return fprintf(stdout, format, args...);
}

template <class... Args>
int snprintf(char* buffer, std::size_t size, const char* format, const Args&... args) {
  return vsnprintf(buffer, size, format, FormatPack<Args...>(args...).args());
}

// sprintf into an array: never beyond its end.
template <std::size_t N, class... Args>
int sprintf(char (&buffer)[N], const char* format, const Args&... args) {
  return snprintf(buffer, N, format, args...);
}

}  // namespace rt
