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

// The failure armed over all functions: calls left until it (0: none armed).
unsigned g_any_remaining = 0;
DWORD (*g_any_fail)(Call fn) = nullptr;

}  // namespace

Replacements replacements;

void fail_nth(Call fn, unsigned nth, DWORD code) {
  g_armed[static_cast<unsigned>(fn)] = Armed{nth, code};
}

void fail_any_nth(unsigned nth, DWORD (*fail)(Call fn)) {
  g_any_remaining = nth;
  g_any_fail = fail;
}

unsigned calls(Call fn) { return g_calls[static_cast<unsigned>(fn)]; }

void reset() {
  g_calls.fill(0);
  g_armed.fill(Armed{});
  g_any_remaining = 0;
  g_any_fail = nullptr;
  replacements = Replacements{};
}

bool inject(Call fn) {
  const auto i = static_cast<unsigned>(fn);
  ++g_calls[i];
  Armed& armed = g_armed[i];
  const bool own = armed.remaining != 0 && --armed.remaining == 0;
  const bool any = g_any_remaining != 0 && --g_any_remaining == 0;
  if (!own && !any) return false;
  ::SetLastError(any ? g_any_fail(fn) : armed.code);
  return true;
}

}  // namespace w32::hook
