// The end of the process.
#include "runtime/startup/exit.h"

#include "winapi/winapi.h"

namespace rt {

void exit_process(unsigned status) { w32::ExitProcess(status); }

}  // namespace rt
