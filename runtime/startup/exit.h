// The end of the process.
#pragma once

#include "runtime/prelude.h"

namespace rt {

// Ends the process with this status at once: no exit hook runs and no
// stream is flushed. Statuses above 255 are kept (269 after a broken pipe).
[[noreturn]] void exit_process(unsigned status);

}  // namespace rt
