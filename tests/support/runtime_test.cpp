#include "tests/support/runtime_test.h"

#include "runtime/msg/heap.h"
#include "runtime/msg/stdlib.h"
#include "runtime/win32/fd.h"
#include "runtime/win32/open.h"

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
  for (int i = 3; i < rt::STREAM_MAX; ++i) {
    if (rt::stream_table[i].flags & rt::STREAM_OPEN) rt::fclose(&rt::stream_table[i]);
  }
  for (int fd = 3; fd < rt::fd_count; ++fd) {
    if (rt::fd_table[fd] != nullptr) rt::close(fd);
  }
}

Environment::Environment(std::vector<std::string> entries) : entries_(std::move(entries)), saved_(rt::environ) {
  for (std::string& entry : entries_) pointers_.push_back(entry.data());
  pointers_.push_back(nullptr);
  rt::environ = pointers_.data();
}

Environment::~Environment() { rt::environ = saved_; }

CapturedStream::CapturedStream(rt::Stream* stream, const ScratchDir& dir)
    : stream_(stream), saved_(*stream), path_((dir.path() / "captured").string()) {
  const int fd = rt::open(path_.c_str(), rt::O_RDWR | rt::O_CREAT | rt::O_TRUNC, 0666);
  EXPECT_GE(fd, 0);
  // The entry is freed and opened again over the file: the lowest free
  // entry is this one while the standard streams below it are open.
  stream_->flags = 0;
  EXPECT_EQ(rt::fdopen(fd, "wb"), stream_);
}

CapturedStream::~CapturedStream() {
  rt::fclose(stream_);
  *stream_ = saved_;
}

std::string CapturedStream::text() {
  rt::fflush(stream_);
  return ScratchDir::read(path_);
}

}  // namespace support
