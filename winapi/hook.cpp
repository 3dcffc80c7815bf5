// Call counting, fault injection and replacement of the w32 functions (both
// targets).
#include <array>

#include "winapi/winapi.h"

namespace w32::hook {
namespace {

constexpr auto kCalls = static_cast<unsigned>(Call::count_);

struct Armed {
  unsigned remaining = 0;  // 0: nothing armed; 1: the next call fails
  DWORD code = 0;
};

std::array<unsigned, kCalls> g_calls{};
std::array<Armed, kCalls> g_armed{};

}  // namespace

Replacements replacements;

void fail_nth(Call fn, unsigned nth, DWORD code) {
  g_armed[static_cast<unsigned>(fn)] = Armed{nth, code};
}

unsigned calls(Call fn) { return g_calls[static_cast<unsigned>(fn)]; }

void reset() {
  g_calls.fill(0);
  g_armed.fill(Armed{});
  replacements = Replacements{};
}

bool inject(Call fn) {
  const auto i = static_cast<unsigned>(fn);
  ++g_calls[i];
  Armed& armed = g_armed[i];
  if (armed.remaining == 0 || --armed.remaining != 0) return false;
  ::SetLastError(armed.code);
  return true;
}

}  // namespace w32::hook
