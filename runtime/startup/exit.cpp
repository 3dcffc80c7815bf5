// The end of the process.
#include "runtime/startup/exit.h"

#include "runtime/stdio/stream.h"

namespace rt {

void exit(int status) {
  if (stream_exit_hook) stream_exit_hook();
  exit_process(static_cast<unsigned>(status) & 0xFF);
}

void exit_process(unsigned status) { w32::ExitProcess(status); }

}  // namespace rt
