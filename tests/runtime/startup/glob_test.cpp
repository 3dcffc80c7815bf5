// Wildcard expansion on real directories: the result, names and order of
// each expansion, with every search handle and heap block given back;
// appending words, and volume roots.
#include <cctype>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/msg/heap.h"
#include "runtime/startup/dir.h"
#include "runtime/startup/glob.h"

namespace {

using w32::hook::Call;
using Names = std::vector<std::string>;
using Expansion = std::pair<int, Names>;  // the result, the names

class Glob : public support::RuntimeTest {
 protected:
  // Files, and directories for names ending in '/', in the scratch
  // directory, which is the current directory during the test.
  void make(const Names& paths) {
    for (const std::string& path : paths) {
      std::filesystem::create_directories((dir.path() / path).parent_path());
      if (path.back() != '/') dir.write(path, "");
    }
  }

  // The names a vector holds, with the null after them checked; then frees them.
  static Names release(rt::glob_t& vector) {
    Names all;
    if (vector.gl_pathv) {
      all.assign(vector.gl_names, vector.gl_names + vector.gl_pathc);
      EXPECT_EQ(vector.gl_names[vector.gl_pathc], nullptr);
    }
    for (std::uint32_t i = 0; i < vector.gl_pathc; ++i) rt::free(vector.gl_names[i]);
    rt::free(vector.gl_pathv);
    vector = rt::glob_t{};
    return all;
  }

  static Expansion expand(const std::string& pattern, int flags) {
    rt::glob_t vector{};
    const int result = rt::glob(pattern.c_str(), flags, nullptr, &vector);
    return {result, release(vector)};
  }

  // Every search opened is closed, every block taken given back.
  static void expect_all_given_back(const std::string& what) {
    EXPECT_EQ(w32::hook::calls(Call::FindFirstFileA), w32::hook::calls(Call::FindClose)) << what;
    EXPECT_EQ(w32::hook::calls(Call::HeapAlloc), w32::hook::calls(Call::HeapFree)) << what;
  }

  support::CurrentDir here{dir.path()};
};

TEST_F(Glob, Expansions) {
  make({"b.c", "A.c", ".x.c", "D.C", "a.h", "sub/a.h", "sub/b.h", "sub/x", "d/x/", "e/y", ".hidden/x"});
  constexpr int C = rt::GLOB_NOCHECK, M = rt::GLOB_MARK, NOMATCH = rt::GLOB_NOMATCH;
  const std::string long_directory = std::string(257, 'd') + "/*";
  const struct {
    std::string pattern;
    int flags;
    bool dualcase;  // DUALCASE set: letters keep their case
    Expansion expansion;
  } cases[] = {
      {"*.c", C, false, {0, {"A.c", "D.C", "b.c"}}}, {"*.c", C, true, {0, {"A.c", "b.c"}}},  // upper case first
      {"[ab].*", C, false, {0, {"A.c", "a.h", "b.c"}}}, {"[ab].*", C, true, {0, {"a.h", "b.c"}}},
      {"?.C", 0, true, {0, {"D.C"}}}, {".*", C, false, {0, {".", "..", ".hidden", ".x.c"}}},
      {"*", 0, false, {0, {"A.c", "D.C", "a.h", "b.c", "d", "e", "sub"}}},
      {"*", M, false, {0, {"A.c", "D.C", "a.h", "b.c", "d/", "e/", "sub/"}}},
      // No match: the word stays, or the result says so.
      {"?x.c", C, false, {0, {"?x.c"}}}, {"[ab", C, false, {0, {"[ab"}}}, {"*.zzz", 0, false, {NOMATCH, {}}},
      {"a.h", 0, false, {0, {"a.h"}}}, {"b.h", 0, false, {NOMATCH, {}}}, {"d", M | C, false, {0, {"d/"}}},
      // Later components are checked for existence; separators stay as typed.
      {"*/x", C, false, {0, {"d/x", "sub/x"}}}, {"*/x", C | M, false, {0, {"d/x/", "sub/x"}}},
      {"[de]/*", 0, false, {0, {"d/x", "e/y"}}}, {"sub\\*.h", C, false, {0, {"sub\\a.h", "sub\\b.h"}}},
      {"./sub/?.h", C, false, {0, {"./sub/a.h", "./sub/b.h"}}},
      // Directories that cannot be opened contribute nothing.
      {"missing/*", C, false, {0, {"missing/*"}}}, {long_directory, C, false, {0, {long_directory}}},
  };
  for (const auto& c : cases) {
    const support::Environment environment(c.dualcase ? Names{"DUALCASE="} : Names{});
    w32::hook::reset();
    EXPECT_EQ(expand(c.pattern, c.flags), c.expansion) << c.pattern;
    expect_all_given_back(c.pattern);
  }
}

TEST_F(Glob, AppendedWordsKeepTheirOrder) {
  Names expected;
  for (const char* letter : {"b", "a"}) {
    for (int i = 10; i < 22; ++i) expected.push_back(letter + std::to_string(i));
  }
  make(expected);
  expected.push_back("zzz*");
  w32::hook::reset();
  rt::glob_t vector{};
  ASSERT_EQ(rt::glob("b*", 0, nullptr, &vector), 0);
  ASSERT_EQ(rt::glob("a*", rt::GLOB_APPEND, nullptr, &vector), 0);
  ASSERT_EQ(rt::glob("zzz*", rt::GLOB_APPEND | rt::GLOB_NOCHECK, nullptr, &vector), 0);
  // No memory to grow the vector: the names before stay, still ended by a null.
  w32::hook::fail_nth(Call::HeapReAlloc, 2, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::glob("*", rt::GLOB_APPEND, nullptr, &vector), rt::GLOB_NOSPACE);
  const Names names = release(vector);
  EXPECT_EQ(Names(names.begin(), names.begin() + 25), expected);
  expect_all_given_back("appended");
}

// The root of a volume a path names.
TEST(Volumes, Roots) {
  char cwd[4096];  // a relative path's root is the current directory's drive
  ASSERT_GT(w32::GetCurrentDirectoryA(sizeof cwd, cwd), 0u);
  const std::string current = std::string(1, static_cast<char>(std::toupper(cwd[0]))).append(":\\");
  const struct {
    const char* path;
    const char* root;
  } roots[] = {{"c:\\dir\\x", "c:\\"}, {"//srv/share/dir", "//srv/share\\"}, {"relative", current.c_str()}};
  for (const auto& c : roots) {
    char* root = rt::volume_root_of(c.path);
    EXPECT_STREQ(root, c.root) << c.path;
    rt::free(root);
  }
}

#ifdef _WIN32
// A drive letter names that drive's current directory.
TEST_F(Glob, ADriveLetterNamesThatDrivesCurrentDirectory) {
  make({"a.txt", "b.txt", "c.log"});
  const std::string prefix = std::string(1, std::tolower(static_cast<unsigned char>(dir.path().string()[0]))) + ":";
  EXPECT_EQ(expand(prefix + "*.txt", 0), Expansion(0, {prefix + "a.txt", prefix + "b.txt"}));
  EXPECT_EQ(rt::current_drive_index(), prefix[0] - 'a');
}
#endif

}  // namespace
