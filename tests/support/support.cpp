// The host-independent test support: scratch directories, environments and
// text as this host's text streams write it.
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "tests/support/support.h"

namespace support {

ScratchDir::ScratchDir() {
  static std::atomic<unsigned> serial{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    path_ = std::filesystem::temp_directory_path() /
            ("tail-test-" + std::to_string(stamp) + "-" + std::to_string(serial++));
    if (std::filesystem::create_directory(path_)) return;
  }
  throw std::runtime_error("cannot create a scratch directory");
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::write(const std::string& name, const std::string& bytes) const {
  const std::filesystem::path file = path_ / name;
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
  return file.string();
}

std::string ScratchDir::read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string as_text(const std::string& lines) {
  std::string text;
  for (const char c : lines) text += c == '\n' ? kLineEnd : std::string(1, c);
  return text;
}

std::vector<std::string> plain_environment() {
  std::vector<std::string> entries;
  for (const std::string& entry : host_environment()) {
    bool chooses_language = false;
    for (const char* name : {"NLSPATH=", "ROOTDIR=", "LANG=", "LC_", "DUALCASE="}) {
      if (entry.rfind(name, 0) == 0) chooses_language = true;
    }
    if (!chooses_language) entries.push_back(entry);
  }
  return entries;
}

}  // namespace support
