// The host-independent test support, and the entry of every unit-test program.
#include <atomic>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <system_error>
#include "tests/support/support.h"
#include "runtime/msg/diag.h"
#include "runtime/msg/heap.h"
#include "runtime/msg/stdlib.h"
#include "runtime/stdio/stream.h"
#include "runtime/win32/open.h"

namespace support {
ScratchDir::ScratchDir() {
  static std::atomic<unsigned> serial{0};
  path_ = std::filesystem::temp_directory_path() /
          ("tail-test-" + std::to_string(w32::GetCurrentProcessId()) + "-" + std::to_string(serial++));
  remove_tree(path_);  // left by a process of the same id
  if (!std::filesystem::create_directory(path_)) throw std::runtime_error("cannot create " + path_.string());
}
ScratchDir::~ScratchDir() { remove_tree(path_); }
std::string ScratchDir::write(const std::string& name, const std::string& bytes) const {
  const std::filesystem::path file = path_ / utf8_path(name);
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + name);
  return utf8_name(file);
}
std::string ScratchDir::read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
std::filesystem::path utf8_path(const std::string& name) { return std::u8string(name.begin(), name.end()); }
std::string utf8_name(const std::filesystem::path& path) {
  const std::u8string name = path.u8string();
  return std::string(name.begin(), name.end());
}
std::string as_text(const std::string& lines) {
  std::string text;
  for (const char c : lines) text += c == '\n' && w32::kTextModeByDefault ? "\r\n" : std::string(1, c);
  return text;
}
std::vector<std::string> plain_environment() {
  std::vector<std::string> entries = host_environment();
  const std::regex chooses_language("^(NLSPATH|ROOTDIR|LANG|LC_\\w*|DUALCASE)=");
  std::erase_if(entries, [&](const std::string& entry) { return std::regex_search(entry, chooses_language); });
  return entries;
}
void RuntimeTest::SetUp() {
  w32::hook::reset();
  rt::free(rt::fd_table);
  ASSERT_EQ(rt::fd_init(), 0);
  rt::errno = 0;
}
void RuntimeTest::TearDown() {
  w32::hook::reset();
  rt::progname = nullptr;
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
}  // namespace support

// The descriptor table is set up as start-up sets it up, then the tests run.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (rt::fd_init() != 0) return 1;
  return RUN_ALL_TESTS();
}
