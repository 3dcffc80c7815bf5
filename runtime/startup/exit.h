// The end of the process and the exit-hook list.
#pragma once

#include "runtime/prelude.h"

namespace rt {

using ExitHook = void (*)();

// Registers a hook to run at exit, newest first. 0, or -1 when all 32
// entries are in use.
int atexit(ExitHook hook);

// Ends the process through the exit path: the atexit hooks, newest first,
// then stream_exit_hook (which closes every stream and so writes out
// buffered output) if it is set, then the status masked to 8 bits.
[[noreturn]] void exit(int status);

// Ends the process with this status at once: no exit hook runs and no
// stream is flushed. Statuses above 255 are kept (269 after a broken pipe).
[[noreturn]] void exit_process(unsigned status);

}  // namespace rt
