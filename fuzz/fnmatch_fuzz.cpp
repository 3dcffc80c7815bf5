// Fuzzing the pattern matcher: any pattern and string bytes, with and without the period rule (the flag wildcard
// expansion passes), with DUALCASE set and not set. Beyond the sanitizers' checks, every input is held to two rules:
// with letters folding, folding the string's upper-case letters first changes nothing (every comparison folds the
// string character); a string matches the pattern that escapes each of its characters. Characters are those of the
// names' page: UTF-8 sequences (a byte that begins none is one on its own), or bytes. The input: one byte,
// FNM_PERIOD when its bit is set and DUALCASE set when bit 0x20 is, then the pattern, a zero byte and the string;
// each ends at its first zero byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include "runtime/msg/ctype.h"
#include "runtime/msg/stdlib.h"
#include "runtime/startup/fnmatch.h"
#include "runtime/stdio/encoding.h"
#include "runtime/win32/fd.h"
namespace {
char g_dualcase[] = "DUALCASE=1";
char* g_with_dualcase[] = {g_dualcase, nullptr};
char* g_without_dualcase[] = {nullptr};
constexpr bool kUtf8Names = w32::kNamePage == CP_UTF8;
rt::Utf8Character character_at(const std::string& name, std::size_t i) {
  const auto byte = static_cast<unsigned char>(name[i]);
  if (!kUtf8Names) return {byte, 1};
  return rt::utf8_character(reinterpret_cast<const unsigned char*>(name.data()) + i, name.size() - i);
}
std::string folded(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size();) {
    const rt::Utf8Character c = character_at(name, i);
    if (!kUtf8Names) {
      out += static_cast<char>(rt::tolower(static_cast<int>(c.value)));
    } else if (const char32_t f = rt::fold_code_point(c.value); f != c.value) {
      unsigned char bytes[4];
      out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(rt::put_utf8(bytes, f) - bytes));
    } else {
      out.append(name, i, c.length);
    }
    i += c.length;
  }
  return out;
}
// The matcher's answer, which gives back every block it took.
int match(const std::string& pattern, const std::string& string, int flags) {
  using w32::hook::Call;
  const auto blocks = [] { return w32::hook::calls(Call::HeapAlloc) - w32::hook::calls(Call::HeapFree); };
  const unsigned before = blocks();
  const int result = rt::fnmatch(pattern.c_str(), string.c_str(), flags);
  if ((result != 0 && result != rt::FNM_NOMATCH) || blocks() != before) __builtin_trap();
  return result;
}
}  // namespace
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (rt::fd_init() != 0) __builtin_trap();
  return 0;
}
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int flags = data[0] & rt::FNM_PERIOD;
  const bool dualcase = (data[0] & 0x20) != 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t split = rest.find('\0');
  const std::string pattern = rest.substr(0, split);
  const std::string string = split == std::string::npos ? "" : rest.substr(split + 1).c_str();
  rt::environ = dualcase ? g_with_dualcase : g_without_dualcase;
  const int result = match(pattern, string, flags);
  if (!dualcase && match(pattern, folded(string), flags) != result) __builtin_trap();
  if (string.size() < 100) {
    std::string escaped;
    for (std::size_t i = 0, length = 0; i < string.size(); i += length) {
      length = character_at(string, i).length;
      escaped.append(1, '\\').append(string, i, length);
    }
    if (match(escaped, string, flags) != 0) __builtin_trap();
  }
  return 0;
}
