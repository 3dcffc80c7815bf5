// The tail program with a count of its system calls: runs the command as
// tail.exe does, then writes to standard error how often each call of the
// seam was made in the run (the calls made at least once). Built for
// both targets; under Wine it counts what the Windows program asks of the
// system (bench/syscalls.py turns the counts into calls per MiB).
#include "runtime/msg/format.h"
#include "runtime/startup/start.h"
#include "tail/tail.h"

namespace {

constexpr struct {
  w32::hook::Call call;
  const char* name;
} kCounted[] = {
#define COUNTED_CALL(result, name, ...) {w32::hook::Call::name, #name},
    W32_HOOKED_CALLS(COUNTED_CALL)
#undef COUNTED_CALL
};

int counting_main(int argc, char** argv, char** envp) {
  const int status = tail::main(argc, argv, envp);
  rt::fflush(rt::stdout);
  for (const auto& counted : kCounted) {
    const unsigned calls = w32::hook::calls(counted.call);
    if (calls > 0) rt::fprintf(rt::stderr, "%s %u\n", counted.name, calls);
  }
  return status;
}

}  // namespace

int main() { rt::process_entry(counting_main); }
