// The host-independent part of the child processes.
#include "tests/support/process.h"

#include <stdexcept>

namespace support {
namespace {

RunOptions for_tail(const std::filesystem::path& cwd, RunOptions options) {
  options.cwd = cwd.string();
  if (!options.environment) options.environment = plain_environment();
  return options;
}

}  // namespace

bool Child::wait_for_out(const std::string& text, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (out() == text) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ChildResult run(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  Child child(program, args, options);
  const std::optional<unsigned> status = child.wait(std::chrono::minutes(1));
  if (!status) throw std::runtime_error(program + " did not end within a minute");
  return ChildResult{*status, child.out(), child.err()};
}

ChildResult run_tail(const std::filesystem::path& cwd, const std::vector<std::string>& args, RunOptions options) {
  return run(sibling_program("../tail"), args, for_tail(cwd, std::move(options)));
}

std::unique_ptr<Child> start_tail(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                                  RunOptions options) {
  return std::make_unique<Child>(sibling_program("../tail"), args, for_tail(cwd, std::move(options)));
}

}  // namespace support
