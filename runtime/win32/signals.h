// Signals kept inside the process: a set of pending signals and their
// delivery. No action is ever installed, so every signal has its default
// action, which ends the process with status 256 + the signal number,
// without exit hooks and without flushing any stream.
#pragma once

#include <cstdint>

#include "runtime/prelude.h"

namespace rt {

// Bit n stands for signal n (signal 32 shares bit 0 with signal 0).
using sigset_t = std::uint32_t;

constexpr int SIGPIPE = 13;

extern sigset_t pending_signals;

// Adds the signal to the pending set and delivers the pending signals.
// 0; a number outside 0 ... 32 gives -1 with errno 1 and changes nothing.
int raise(int signal);

}  // namespace rt
