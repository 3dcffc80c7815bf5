// The fixture of the runtime's unit tests, and helpers that reach into the
// runtime: each test starts with a fresh descriptor table holding only the
// standard descriptors, no armed failures and errno 0, and what it leaves
// open is closed after it. Its scratch directory goes after that: Windows
// keeps a directory whose files are open.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/support.h"
#include "runtime/msg/stdlib.h"
#include "runtime/stdio/stream.h"

namespace support {

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Closes the streams and descriptors a test left open, and forgets its program name.
  void TearDown() override;

  // The path of a file in the scratch directory.
  std::string in_dir(const std::string& name) const { return (dir.path() / name).string(); }

  ScratchDir dir;
};

// Makes the runtime's environment hold exactly these "name=value" entries
// for the length of a scope.
class Environment {
 public:
  explicit Environment(std::vector<std::string> entries) : entries_(std::move(entries)), saved_(rt::environ) {
    for (std::string& entry : entries_) pointers_.push_back(entry.data());
    pointers_.push_back(nullptr);
    rt::environ = pointers_.data();
  }
  ~Environment() { rt::environ = saved_; }
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;

 private:
  std::vector<std::string> entries_;
  std::vector<char*> pointers_;
  char** saved_;
};

}  // namespace support
