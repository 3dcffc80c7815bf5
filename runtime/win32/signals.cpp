// Pending signals and their delivery with the default action.
#include "runtime/win32/signals.h"

#include "runtime/startup/exit.h"
#include "runtime/win32/errno.h"

namespace rt {

sigset_t pending_signals = 0;

namespace {

constexpr unsigned kHighestSignal = 32;

constexpr sigset_t bit_of(unsigned signal) { return sigset_t{1} << (signal % 32); }

[[noreturn]] void default_action(unsigned signal) { exit_process(256 + signal); }

void deliver_pending() {
  while (pending_signals != 0) {
    const sigset_t snapshot = pending_signals;
    for (unsigned signal = 0; signal <= kHighestSignal; ++signal) {
      if (snapshot & bit_of(signal)) {
        pending_signals &= ~bit_of(signal);
        default_action(signal);
      }
    }
  }
}

}  // namespace

int raise(int signal) {
  const auto number = static_cast<unsigned>(signal);
  if (number > kHighestSignal) {
    errno = 1;  // ERROR_INVALID_FUNCTION
    return -1;
  }
  pending_signals |= bit_of(number);
  deliver_pending();
  return 0;
}

}  // namespace rt
