// Wildcard expansion on real directories: the result, names and order of
// each expansion, with every search handle and heap block given back;
// appending words, the error function, volumes, and the sort.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <random>
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

  static Expansion expand(const std::string& pattern, int flags, rt::GlobErrorFunction errfunc = nullptr) {
    rt::glob_t vector{};
    const int result = rt::glob(pattern.c_str(), flags, errfunc, &vector);
    return {result, release(vector)};
  }

  // Every search opened is closed, every block taken given back (`refused`: allocations that failed).
  static void expect_all_given_back(const std::string& what, unsigned refused = 0) {
    EXPECT_EQ(w32::hook::calls(Call::FindFirstFileA), w32::hook::calls(Call::FindClose)) << what;
    EXPECT_EQ(w32::hook::calls(Call::HeapAlloc) - refused, w32::hook::calls(Call::HeapFree)) << what;
  }

  support::CurrentDir here{dir.path()};
};

TEST_F(Glob, Expansions) {
  make({"b.c", "A.c", ".x.c", "D.C", "a.h", "sub/a.h", "sub/b.h", "sub/x", "d/x/", "e/y", ".hidden/x"});
  constexpr int C = rt::GLOB_NOCHECK, M = rt::GLOB_MARK, E = rt::GLOB_ERR;
  constexpr int NOSPACE = rt::GLOB_NOSPACE, NOMATCH = rt::GLOB_NOMATCH;
  const std::string long_directory = std::string(257, 'd') + "/*";
  const struct {
    std::string pattern;
    int flags;
    bool dualcase;  // DUALCASE set: letters keep their case
    Expansion expansion;
    Call fail = Call::count_;  // this call fails the nth time
    unsigned nth = 0;
  } cases[] = {
      {"*.c", C, false, {0, {"A.c", "D.C", "b.c"}}}, {"*.c", C, true, {0, {"A.c", "b.c"}}},  // upper case first
      {"[ab].*", C, false, {0, {"A.c", "a.h", "b.c"}}}, {"[ab].*", C, true, {0, {"a.h", "b.c"}}},
      {"?.C", 0, true, {0, {"D.C"}}}, {".*", C, false, {0, {".", "..", ".hidden", ".x.c"}}},
      {"*", 0, false, {0, {"A.c", "D.C", "a.h", "b.c", "d", "e", "sub"}}},
      {"*", M, false, {0, {"A.c", "D.C", "a.h", "b.c", "d/", "e/", "sub/"}}},
      {"[ab].?", rt::GLOB_NOSORT, false, {0, {"A.c", "a.h", "b.c"}}},  // in any order
      // No match: the word stays, or the result says so.
      {"?x.c", C, false, {0, {"?x.c"}}}, {"[ab", C, false, {0, {"[ab"}}}, {"*.zzz", 0, false, {NOMATCH, {}}},
      {"a.h", 0, false, {0, {"a.h"}}}, {"b.h", 0, false, {NOMATCH, {}}}, {"d", M | C, false, {0, {"d/"}}},
      // Later components are checked for existence; separators stay as typed.
      {"*/x", C, false, {0, {"d/x", "sub/x"}}}, {"*/x", C | M, false, {0, {"d/x/", "sub/x"}}},
      {"[de]/*", 0, false, {0, {"d/x", "e/y"}}}, {"sub\\*.h", C, false, {0, {"sub\\a.h", "sub\\b.h"}}},
      {"./sub/?.h", C, false, {0, {"./sub/a.h", "./sub/b.h"}}},
      // Directories that cannot be opened contribute nothing, unless asked.
      {"missing/*", C, false, {0, {"missing/*"}}}, {long_directory, C, false, {0, {long_directory}}},
      {"missing/*", C | E, false, {rt::GLOB_ABORTED, {}}},
      {"*.c/*", E, false, {rt::GLOB_ABORTED, {}}},  // with the search of . still open
      // No memory for the vector, the path, the directory stream (the
      // directory then cannot be opened), the component, the path's growth.
      {"*", 0, false, {NOSPACE, {}}, Call::HeapAlloc, 1}, {"*", 0, false, {NOSPACE, {}}, Call::HeapAlloc, 2},
      {"*", 0, false, {NOMATCH, {}}, Call::HeapAlloc, 3}, {"*", 0, false, {NOSPACE, {}}, Call::HeapAlloc, 4},
      {"*", 0, false, {NOSPACE, {}}, Call::HeapReAlloc, 1},
      {"*.c", C, false, {0, {"a.c", "b.c", "d.c"}}, Call::GetVolumeInformationA, 1},  // the volume cannot be asked
  };
  for (const auto& c : cases) {
    const support::Environment environment(c.dualcase ? Names{"DUALCASE="} : Names{});
    w32::hook::reset();
    if (c.nth) w32::hook::fail_nth(c.fail, c.nth, ERROR_NOT_ENOUGH_MEMORY);
    Expansion expansion = expand(c.pattern, c.flags);
    if (c.flags & rt::GLOB_NOSORT) std::sort(expansion.second.begin(), expansion.second.end());
    EXPECT_EQ(expansion, c.expansion) << c.pattern;
    expect_all_given_back(c.pattern, c.fail == Call::HeapAlloc ? 1 : 0);
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

  // Slots reserved for the caller come first, and only when asked for.
  for (const int flags : {rt::GLOB_DOOFFS, 0}) {
    vector.gl_offs = 2;
    ASSERT_EQ(rt::glob("b1?", flags, nullptr, &vector), 0);
    Names slots;
    for (int i = 0; i < 3; ++i) slots.push_back(vector.gl_pathv[i] ? vector.gl_pathv[i] : "null");
    EXPECT_EQ(slots, flags ? Names({"null", "null", "b10"}) : Names({"b10", "b11", "b12"}));
    release(vector);
  }
}

TEST_F(Glob, TheErrorFunctionHearsOfDirectoriesThatCannotBeOpened) {
  static std::pair<std::string, int> heard;  // the directory and the error
  static int answer;
  const std::string d256(256, 'd'), d257(257, 'd');
  const struct {
    std::string directory;
    int answer, error;
  } cases[] = {{"missing/", 1, ERROR_PATH_NOT_FOUND}, {"missing/", 0, ERROR_PATH_NOT_FOUND},
               {d257 + "/", 0, rt::ERR_NAME_TOO_LONG}, {d256 + "/", 0, ERROR_PATH_NOT_FOUND}};
  for (const auto& c : cases) {
    answer = c.answer;
    const Expansion expected = c.answer ? Expansion{rt::GLOB_ABORTED, {}} : Expansion{0, {c.directory + "*"}};
    EXPECT_EQ(expand(c.directory + "*", rt::GLOB_NOCHECK, +[](const char* path, int error) {
                heard = {path, error};
                return answer;
              }), expected);
    EXPECT_EQ(heard, std::pair(c.directory, c.error));
  }
}

// A volume's properties say whether its names read in lower case (as where it cannot be asked: above).
TEST(Volumes, NamesInLowerCaseAndRoots) {
  const struct {
    std::uint32_t length, flags;
    const char* file_system;
    bool folds;
  } volumes[] = {{12, 0, "FAT", true}, {12, FILE_CASE_PRESERVED_NAMES, "FAT", false}, {12, 0, "AS400", false},
                 {255, 0, "FAT32", false}};
  for (const auto& c : volumes) EXPECT_EQ(rt::volume_folds(c.length, c.flags, c.file_system), c.folds) << c.file_system;
  char cwd[4096];  // a relative path's root is the current directory's drive
  ASSERT_GT(w32::GetCurrentDirectoryA(sizeof cwd, cwd), 0u);
  const std::string current = std::string(1, static_cast<char>(std::toupper(cwd[0]))).append(":\\");
  const struct {
    const char* path;
    const char* root;
  } roots[] = {{"c:\\dir\\x", "c:\\"}, {"Z:", "Z:\\"}, {"//srv/share/dir", "//srv/share\\"}, {"//srv", nullptr},
               {"\\\\srv\\share", "\\\\srv\\share\\"}, {"\\/srv\\share/a/b", "\\/srv\\share\\"},
               {"relative", current.c_str()}};
  for (const auto& c : roots) {
    char* root = rt::volume_root_of(c.path);
    EXPECT_STREQ(root, c.root) << c.path;
    rt::free(root);
  }
}

TEST(Sort, ShellSortOrdersLikeASort) {
  std::mt19937 random(42);
  for (const std::size_t count : {0u, 1u, 2u, 7u, 100u, 1001u}) {
    std::vector<int> values(count);
    for (int& value : values) value = static_cast<int>(random() % 50);
    std::vector<int> expected = values;
    std::sort(expected.begin(), expected.end());
    rt::qsort(values.data(), count, sizeof(int),
              [](const void* a, const void* b) { return *static_cast<const int*>(a) - *static_cast<const int*>(b); });
    EXPECT_EQ(values, expected) << count;
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
