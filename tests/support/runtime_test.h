// The fixture of the runtime's unit tests: each test starts with a fresh
// descriptor table holding only the standard descriptors, no armed
// failures and errno 0, and what it leaves open is closed after it. Its
// scratch directory goes after that: Windows keeps a directory whose files
// are open.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/support.h"

namespace support {

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  ScratchDir dir;
};

}  // namespace support
