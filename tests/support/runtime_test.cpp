#include "tests/support/runtime_test.h"

#include "runtime/msg/heap.h"
#include "runtime/win32/fd.h"

namespace support {

Pipe make_pipe() {
  HANDLE read_end;
  HANDLE write_end;
  make_pipe_handles(read_end, write_end);
  return Pipe{rt::fd_alloc(read_end), rt::fd_alloc(write_end)};
}

void RuntimeTest::SetUp() {
  w32::hook::reset();
  rt::free(rt::fd_table);
  ASSERT_EQ(rt::fd_init(), 0);
  rt::errno = 0;
}

void RuntimeTest::TearDown() {
  w32::hook::reset();
  for (int fd = 3; fd < rt::fd_count; ++fd) {
    if (rt::fd_table[fd] != nullptr) rt::close(fd);
  }
}

}  // namespace support
