// The entry of every unit-test program: the descriptor table is set up as
// start-up sets it up, then the tests run.
#include <gtest/gtest.h>

#include "runtime/win32/fd.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (rt::fd_init() != 0) return 1;
  return RUN_ALL_TESTS();
}
