// The tail program with a count of its system calls: runs the command as
// tail.exe does, then writes to standard error how often each call that
// moves data or positions was made through the seam, for one run. Built for
// both targets; under Wine it counts what the Windows program asks of the
// system (bench/syscalls.py turns the counts into calls per MiB).
#include "runtime/msg/format.h"
#include "runtime/startup/start.h"
#include "tail/tail.h"

namespace {

using w32::hook::Call;

constexpr struct {
  Call call;
  const char* name;
} kCounted[] = {
    {Call::ReadFile, "ReadFile"},
    {Call::WriteFile, "WriteFile"},
    {Call::SetFilePointer, "SetFilePointer"},
    {Call::GetFileInformationByHandle, "GetFileInformationByHandle"},
    {Call::HeapAlloc, "HeapAlloc"},
};

int counting_main(int argc, char** argv, char** envp) {
  const int status = tail::main(argc, argv, envp);
  rt::fflush(rt::stdout);
  for (const auto& counted : kCounted) {
    rt::fprintf(rt::stderr, "%s %u\n", counted.name, w32::hook::calls(counted.call));
  }
  return status;
}

}  // namespace

int main() { rt::process_entry(counting_main); }
