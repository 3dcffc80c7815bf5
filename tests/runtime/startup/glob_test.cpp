// Wildcard expansion on real directories: the names, their order and the
// result of each expansion, with every search handle and block given back;
// appending words, the error function, directory streams, names on volumes
// that keep no case, and the sort.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/msg/heap.h"
#include "runtime/startup/dir.h"
#include "runtime/startup/glob.h"

namespace {

using w32::hook::Call;
using Names = std::vector<std::string>;

class Glob : public support::RuntimeTest {
 protected:
  // Makes files (and, for names ending in '/', directories) below the
  // scratch directory, which is the current directory during the test.
  void make(const Names& paths) {
    for (const std::string& path : paths) {
      std::filesystem::create_directories((dir.path() / path).parent_path());
      if (path.back() != '/') dir.write(path, "");
    }
  }

  // The names a vector holds after checking the null after them, then gives
  // them back.
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

  // Every search the expansion opened is closed, and every block it took is
  // given back, but for `refused` allocations that never happened.
  static void expect_all_given_back(const std::string& what, unsigned refused = 0) {
    EXPECT_EQ(w32::hook::calls(Call::FindFirstFileA), w32::hook::calls(Call::FindClose)) << what;
    EXPECT_EQ(w32::hook::calls(Call::HeapAlloc) - refused, w32::hook::calls(Call::HeapFree)) << what;
  }

  support::CurrentDir here{dir.path()};
};

TEST_F(Glob, Expansions) {
  make({"b.c", "A.c", ".x.c", "D.C", "a.h", "sub/a.h", "sub/b.h", "sub/x", "d/x/", "e/y", ".hidden/x"});
  constexpr int C = rt::GLOB_NOCHECK;
  constexpr int M = rt::GLOB_MARK;
  const Names all = {"A.c", "D.C", "a.h", "b.c", "d", "e", "sub"};
  const std::string long_directory = std::string(257, 'd') + "/*";
  const struct {
    std::string pattern;
    int flags;
    bool dualcase;  // DUALCASE set: letters keep their case
    Names names;
    int result;
    Call fail = Call::count_;  // this call fails...
    unsigned nth = 0;          // ... the nth time
  } cases[] = {
      {"*.c", C, false, {"A.c", "D.C", "b.c"}, 0},  // by their bytes: upper case first
      {"*.c", C, true, {"A.c", "b.c"}, 0},
      {"[ab].*", C, false, {"A.c", "a.h", "b.c"}, 0},
      {"[ab].*", C, true, {"a.h", "b.c"}, 0},
      {"?.C", 0, true, {"D.C"}, 0},
      {".*", C, false, {".", "..", ".hidden", ".x.c"}, 0},
      {"*", 0, false, all, 0},
      {"*", M, false, {"A.c", "D.C", "a.h", "b.c", "d/", "e/", "sub/"}, 0},
      {"[ab].?", rt::GLOB_NOSORT, false, {"A.c", "a.h", "b.c"}, 0},  // in any order
      // No match: the word stays, or the result says so.
      {"?x.c", C, false, {"?x.c"}, 0},
      {"[ab", C, false, {"[ab"}, 0},
      {"*.zzz", 0, false, {}, rt::GLOB_NOMATCH},
      {"a.h", 0, false, {"a.h"}, 0},
      {"b.h", 0, false, {}, rt::GLOB_NOMATCH},
      {"d", M | C, false, {"d/"}, 0},
      // Later components are checked for existence; separators stay as typed.
      {"*/x", C, false, {"d/x", "sub/x"}, 0},
      {"*/x", C | M, false, {"d/x/", "sub/x"}, 0},
      {"[de]/*", 0, false, {"d/x", "e/y"}, 0},
      {"sub\\*.h", C, false, {"sub\\a.h", "sub\\b.h"}, 0},
      {"./sub/?.h", C, false, {"./sub/a.h", "./sub/b.h"}, 0},
      // Directories that cannot be opened contribute nothing, unless asked.
      {"missing/*", C, false, {"missing/*"}, 0},
      {long_directory, C, false, {long_directory}, 0},
      {"missing/*", C | rt::GLOB_ERR, false, {}, rt::GLOB_ABORTED},
      {"*.c/*", rt::GLOB_ERR, false, {}, rt::GLOB_ABORTED},  // with the search of . still open
      // Memory: the vector, the path, the directory stream (which makes the
      // directory one that cannot be opened), the component, the path's growth.
      {"*", 0, false, {}, rt::GLOB_NOSPACE, Call::HeapAlloc, 1},
      {"*", 0, false, {}, rt::GLOB_NOSPACE, Call::HeapAlloc, 2},
      {"*", 0, false, {}, rt::GLOB_NOMATCH, Call::HeapAlloc, 3},
      {"*", 0, false, {}, rt::GLOB_NOSPACE, Call::HeapAlloc, 4},
      {"*", 0, false, {}, rt::GLOB_NOSPACE, Call::HeapReAlloc, 1},
  };
  for (const auto& c : cases) {
    const support::Environment environment(c.dualcase ? Names{"DUALCASE="} : Names{});
    w32::hook::reset();
    if (c.nth) w32::hook::fail_nth(c.fail, c.nth, ERROR_NOT_ENOUGH_MEMORY);
    rt::glob_t vector{};
    EXPECT_EQ(rt::glob(c.pattern.c_str(), c.flags, nullptr, &vector), c.result) << c.pattern;
    Names names = release(vector);
    if (c.flags & rt::GLOB_NOSORT) std::sort(names.begin(), names.end());
    EXPECT_EQ(names, c.names) << c.pattern;
    expect_all_given_back(c.pattern, c.fail == Call::HeapAlloc ? 1 : 0);
  }
}

TEST_F(Glob, AppendedWordsKeepTheirOrder) {
  Names b;
  Names a;
  for (int i = 10; i < 22; ++i) {
    b.push_back("b" + std::to_string(i));
    a.push_back("a" + std::to_string(i));
  }
  make(b);
  make(a);
  w32::hook::reset();
  rt::glob_t vector{};
  ASSERT_EQ(rt::glob("b*", 0, nullptr, &vector), 0);
  ASSERT_EQ(rt::glob("a*", rt::GLOB_APPEND, nullptr, &vector), 0);
  ASSERT_EQ(rt::glob("zzz*", rt::GLOB_APPEND | rt::GLOB_NOCHECK, nullptr, &vector), 0);
  // No memory to grow the vector: the names before stay, still ended by a null.
  w32::hook::fail_nth(Call::HeapReAlloc, 2, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::glob("*", rt::GLOB_APPEND, nullptr, &vector), rt::GLOB_NOSPACE);
  Names expected = b;
  expected.insert(expected.end(), a.begin(), a.end());
  expected.push_back("zzz*");
  const Names names = release(vector);
  EXPECT_EQ(Names(names.begin(), names.begin() + 25), expected);
  expect_all_given_back("appended", 0);

  // Slots reserved for the caller come first, and only when asked for.
  vector.gl_offs = 2;
  ASSERT_EQ(rt::glob("b1?", rt::GLOB_DOOFFS, nullptr, &vector), 0);
  EXPECT_EQ(vector.gl_pathv[0], nullptr);
  EXPECT_EQ(vector.gl_pathv[1], nullptr);
  EXPECT_STREQ(vector.gl_pathv[2], "b10");
  EXPECT_EQ(release(vector).size(), 10u);
  vector.gl_offs = 2;
  ASSERT_EQ(rt::glob("b1?", 0, nullptr, &vector), 0);
  EXPECT_STREQ(vector.gl_pathv[0], "b10");
  release(vector);
}

namespace heard {

std::string g_path;
int g_error = 0;
int g_answer = 0;

int record(const char* path, int error) {
  g_path = path;
  g_error = error;
  return g_answer;
}

}  // namespace heard

TEST_F(Glob, TheErrorFunctionHearsOfDirectoriesThatCannotBeOpened) {
  const struct {
    std::string pattern;
    int answer;
    int result;
    std::string path;
    int error;
  } cases[] = {
      {"missing/*", 1, rt::GLOB_ABORTED, "missing/", ERROR_PATH_NOT_FOUND},
      {"missing/*", 0, 0, "missing/", ERROR_PATH_NOT_FOUND},
      {std::string(257, 'd') + "/*", 0, 0, std::string(257, 'd') + "/", rt::ERR_NAME_TOO_LONG},
      {std::string(256, 'd') + "/*", 0, 0, std::string(256, 'd') + "/", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    heard::g_answer = c.answer;
    rt::glob_t vector{};
    EXPECT_EQ(rt::glob(c.pattern.c_str(), rt::GLOB_NOCHECK, heard::record, &vector), c.result);
    const Names names = release(vector);
    EXPECT_EQ(names, c.result == 0 ? Names{c.pattern} : Names()) << c.pattern;
    EXPECT_EQ(heard::g_path, c.path);
    EXPECT_EQ(heard::g_error, c.error);
  }
}

TEST_F(Glob, DirectoryStreams) {
  make({"one", "Two/"});
  w32::hook::reset();
  for (const std::string& name : {std::string(257, 'n'), std::string("one"), std::string("none")}) {
    EXPECT_EQ(rt::opendir(name.c_str()), nullptr);
    EXPECT_EQ(rt::errno, name.size() > 256 ? rt::ERR_NAME_TOO_LONG : ERROR_PATH_NOT_FOUND) << name;
  }
  rt::DIR* stream = rt::opendir(".");
  ASSERT_NE(stream, nullptr);
  Names seen;
  while (const char* name = rt::readdir(stream)) seen.push_back(name);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, Names({".", "..", "Two", "one"}));
  EXPECT_EQ(rt::readdir(stream), nullptr);
  EXPECT_EQ(rt::closedir(stream), 0);
  expect_all_given_back("a stream");
}

// What a volume tells of its names decides whether they read in lower case.
TEST_F(Glob, VolumesThatKeepNoCaseShowLowerCaseNames) {
  make({"ReadMe.TXT"});
  static struct {
    DWORD length;
    DWORD flags;
    const char* file_system;
  } volume;
  const w32::hook::Replace asked(w32::hook::replacements.GetVolumeInformationA,
                                 +[](LPCSTR, LPSTR, DWORD, LPDWORD, LPDWORD length, LPDWORD flags, LPSTR name,
                                     DWORD size) -> BOOL {
                                   *length = volume.length;
                                   *flags = volume.flags;
                                   std::snprintf(name, size, "%s", volume.file_system);
                                   return TRUE;
                                 });
  const struct {
    DWORD length;
    DWORD flags;
    const char* file_system;
    bool unknown;  // the volume cannot be asked
    const char* name;
  } cases[] = {
      {12, 0, "FAT", false, "readme.txt"},
      {12, FILE_CASE_PRESERVED_NAMES, "FAT", false, "ReadMe.TXT"},
      {12, 0, "AS400", false, "ReadMe.TXT"},
      {255, 0, "FAT32", false, "ReadMe.TXT"},
      {255, FILE_CASE_PRESERVED_NAMES | FILE_CASE_SENSITIVE_SEARCH, "NTFS", false, "ReadMe.TXT"},
      {255, FILE_CASE_PRESERVED_NAMES, "NTFS", true, "readme.txt"},
  };
  for (const auto& c : cases) {
    volume = {c.length, c.flags, c.file_system};
    if (c.unknown) w32::hook::fail_nth(Call::GetVolumeInformationA, 1, ERROR_BAD_NETPATH);
    rt::glob_t vector{};
    EXPECT_EQ(rt::glob("*.*", rt::GLOB_NOCHECK, nullptr, &vector), 0) << c.file_system;
    EXPECT_EQ(release(vector), Names{c.name}) << c.file_system << " " << c.unknown;
  }
}

TEST(Volumes, RootsOfPaths) {
  const struct {
    const char* path;
    const char* root;
  } cases[] = {
      {"c:\\dir\\x", "c:\\"},  {"Z:", "Z:\\"},
      {"//srv/share/dir", "//srv/share\\"}, {"\\\\srv\\share", "\\\\srv\\share\\"},
      {"\\/srv\\share/a/b", "\\/srv\\share\\"}, {"//srv", nullptr},
  };
  for (const auto& c : cases) {
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
    rt::qsort(values.data(), values.size(), sizeof(int), [](const void* a, const void* b) {
      const int x = *static_cast<const int*>(a);
      const int y = *static_cast<const int*>(b);
      return x < y ? -1 : x > y ? 1 : 0;
    });
    EXPECT_EQ(values, expected) << count;
  }
}

#ifdef _WIN32
// A drive letter names that drive's current directory.
TEST_F(Glob, ADriveLetterNamesThatDrivesCurrentDirectory) {
  make({"a.txt", "b.txt", "c.log"});
  const char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(dir.path().string()[0])));
  const std::string prefix = std::string(1, drive) + ":";
  rt::glob_t vector{};
  EXPECT_EQ(rt::glob((prefix + "*.txt").c_str(), 0, nullptr, &vector), 0);
  EXPECT_EQ(release(vector), Names({prefix + "a.txt", prefix + "b.txt"}));
  EXPECT_EQ(rt::current_drive_index(), drive - 'a');
}
#endif

}  // namespace
