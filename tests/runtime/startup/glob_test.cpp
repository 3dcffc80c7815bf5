// Wildcard expansion on real directories, the directory streams, the
// volume tests and the sort.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/msg/ctype.h"
#include "runtime/msg/heap.h"
#include "runtime/startup/dir.h"
#include "runtime/startup/glob.h"

namespace {

using w32::hook::Call;

class Glob : public support::RuntimeTest {
 protected:
  // Makes files (and, for names ending in '/', directories) below the
  // scratch directory, which is the current directory during the test.
  void make(std::initializer_list<std::string> paths) {
    for (const std::string& path : paths) {
      if (path.back() == '/') {
        std::filesystem::create_directories(dir.path() / path);
      } else {
        std::filesystem::create_directories((dir.path() / path).parent_path());
        dir.write(path, "");
      }
    }
  }

  using Names = std::vector<std::string>;

  // The names of one expansion into a fresh vector.
  static Names expand(const std::string& pattern, int flags = rt::GLOB_NOCHECK,
                                         rt::GlobErrorFunction errfunc = nullptr, int* result = nullptr) {
    rt::glob_t vector{};
    const int status = rt::glob(pattern.c_str(), flags, errfunc, &vector);
    if (result) *result = status;
    Names all = status == rt::GLOB_ABORTED ? Names() : names(vector);
    release(vector);
    return all;
  }

  // Gives back what a vector holds.
  static void release(rt::glob_t& vector) {
    for (std::uint32_t i = 0; i < vector.gl_pathc; ++i) rt::free(vector.gl_names[i]);
    rt::free(vector.gl_pathv);
    vector = rt::glob_t{};
  }

  // The names of a vector, after checking its terminating null.
  static Names names(const rt::glob_t& vector) {
    Names all;
    for (std::uint32_t i = 0; i < vector.gl_pathc; ++i) all.push_back(vector.gl_names[i]);
    EXPECT_EQ(vector.gl_names[vector.gl_pathc], nullptr);
    EXPECT_GT(vector.gl_alloc, static_cast<std::uint32_t>(vector.gl_offs) + vector.gl_pathc);
    return all;
  }

  support::CurrentDir here{dir.path()};
};

using Names = std::vector<std::string>;

TEST_F(Glob, MatchesAreSortedByTheirBytes) {
  make({"b.c", "A.c", ".x.c", "Z.c", "a.h", "D.C"});
  // Letters match either case unless DUALCASE is set.
  EXPECT_EQ(expand("*.c"), Names({"A.c", "D.C", "Z.c", "b.c"}));
  EXPECT_EQ(expand("[ab].*"), Names({"A.c", "a.h", "b.c"}));
  const support::Environment dual_case({"DUALCASE="});
  EXPECT_EQ(expand("*.c"), Names({"A.c", "Z.c", "b.c"}));
  EXPECT_EQ(expand("[ab].*"), Names({"a.h", "b.c"}));
  EXPECT_EQ(expand("?.C"), Names({"D.C"}));
}

TEST_F(Glob, NamesWithALeadingPeriodNeedALiteralPeriod) {
  make({".x.c", "y.c"});
  EXPECT_EQ(expand(".*"), Names({".", "..", ".x.c"}));
  EXPECT_EQ(expand("*"), Names({"y.c"}));
  EXPECT_EQ(expand("?x.c"), Names({"?x.c"}));  // no match: the word stays
}

TEST_F(Glob, AWordWithoutMatchStaysOrFails) {
  make({"a.c"});
  EXPECT_EQ(expand("*.zzz"), Names({"*.zzz"}));
  int result = 0;
  EXPECT_EQ(expand("*.zzz", 0, nullptr, &result), Names());
  EXPECT_EQ(result, rt::GLOB_NOMATCH);
  EXPECT_EQ(expand("a.c", 0), Names({"a.c"}));  // a literal path that exists
  EXPECT_EQ(expand("b.c", 0, nullptr, &result), Names());
  EXPECT_EQ(result, rt::GLOB_NOMATCH);
}

TEST_F(Glob, LaterComponentsAreCheckedForExistence) {
  make({"d1/x", "d2/y", "f", ".hidden/x", "d3/x/"});
  EXPECT_EQ(expand("*/x"), Names({"d1/x", "d3/x"}));
  EXPECT_EQ(expand("d*/*"), Names({"d1/x", "d2/y", "d3/x"}));
  EXPECT_EQ(expand("*/x", rt::GLOB_NOCHECK | rt::GLOB_MARK), Names({"d1/x", "d3/x/"}));
}

TEST_F(Glob, SeparatorsAsTyped) {
  make({"sub/a.h", "sub/b.h", "sub/c.c"});
  EXPECT_EQ(expand("sub\\*.h"), Names({"sub\\a.h", "sub\\b.h"}));
  EXPECT_EQ(expand("sub/*.h"), Names({"sub/a.h", "sub/b.h"}));
  EXPECT_EQ(expand("./sub/?.c"), Names({"./sub/c.c"}));
}

TEST_F(Glob, TheRoot) {
  const Names root = expand("/*");
  ASSERT_FALSE(root.empty());
  for (const std::string& name : root) {
    EXPECT_EQ(name[0], '/') << name;
    EXPECT_EQ(name.find('/', 1), std::string::npos) << name;
  }
}

TEST_F(Glob, ADriveLetterNamesThatDrivesCurrentDirectory) {
  if (!w32::kDriveLetters) GTEST_SKIP() << "no drives on this host";
  make({"a.txt", "b.txt", "c.log"});
  const char drive = static_cast<char>(rt::tolower(static_cast<unsigned char>(dir.path().string()[0])));
  const std::string prefix = std::string(1, drive) + ":";
  EXPECT_EQ(expand(prefix + "*.txt"), Names({prefix + "a.txt", prefix + "b.txt"}));
  EXPECT_EQ(rt::current_drive_index(), rt::toupper(drive) - 'A');
}

namespace errors {

std::string g_path;
int g_error = 0;
int g_answer = 0;

int record(const char* path, int error) {
  g_path = path;
  g_error = error;
  return g_answer;
}

}  // namespace errors

TEST_F(Glob, DirectoriesThatCannotBeOpened) {
  int result = 0;
  errors::g_answer = 1;
  EXPECT_EQ(expand("missing/*", rt::GLOB_NOCHECK, errors::record, &result).size(), 0u);
  EXPECT_EQ(result, rt::GLOB_ABORTED);
  EXPECT_EQ(errors::g_path, "missing/");
  EXPECT_EQ(errors::g_error, ERROR_PATH_NOT_FOUND);

  errors::g_answer = 0;
  EXPECT_EQ(expand("missing/*", rt::GLOB_NOCHECK, errors::record, &result), Names({"missing/*"}));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(expand("missing/*", rt::GLOB_NOCHECK | rt::GLOB_ERR, nullptr, &result).size(), 0u);
  EXPECT_EQ(result, rt::GLOB_ABORTED);

  // A directory path of 257 characters or more cannot be opened.
  const std::string long_path = std::string(257, 'd') + "/*";
  EXPECT_EQ(expand(long_path, rt::GLOB_NOCHECK, errors::record), Names({long_path}));
  EXPECT_EQ(errors::g_error, rt::ERR_NAME_TOO_LONG);
  expand(std::string(256, 'd') + "/*", rt::GLOB_NOCHECK, errors::record);
  EXPECT_EQ(errors::g_error, ERROR_PATH_NOT_FOUND);
}

TEST_F(Glob, MarkReservedSlotsAndAppending) {
  make({"d/", "f"});
  EXPECT_EQ(expand("*", rt::GLOB_MARK), Names({"d/", "f"}));
  EXPECT_EQ(expand("d", rt::GLOB_MARK | rt::GLOB_NOCHECK), Names({"d/"}));

  rt::glob_t vector{};
  vector.gl_offs = 2;
  ASSERT_EQ(rt::glob("*", rt::GLOB_DOOFFS, nullptr, &vector), 0);
  EXPECT_EQ(vector.gl_pathv[0], nullptr);
  EXPECT_EQ(vector.gl_pathv[1], nullptr);
  EXPECT_EQ(vector.gl_names, vector.gl_pathv + 2);
  EXPECT_EQ(names(vector), Names({"d", "f"}));
  release(vector);
  vector.gl_offs = 2;
  EXPECT_EQ(rt::glob("*", 0, nullptr, &vector), 0);  // without GLOB_DOOFFS: no reserved slots
  EXPECT_EQ(vector.gl_offs, 0);
  EXPECT_EQ(names(vector), Names({"d", "f"}));
  release(vector);
}

TEST_F(Glob, AppendingGrowsTheVectorAndKeepsTheWordsInOrder) {
  Names expected_b;
  Names expected_a;
  for (int i = 0; i < 12; ++i) {
    const std::string number = (i < 10 ? "0" : "") + std::to_string(i);
    make({"b" + number, "a" + number});
    expected_b.push_back("b" + number);
    expected_a.push_back("a" + number);
  }
  rt::glob_t vector{};
  ASSERT_EQ(rt::glob("b*", 0, nullptr, &vector), 0);
  EXPECT_EQ(vector.gl_alloc, 16u);
  ASSERT_EQ(rt::glob("a*", rt::GLOB_APPEND, nullptr, &vector), 0);
  ASSERT_EQ(rt::glob("zzz*", rt::GLOB_APPEND | rt::GLOB_NOCHECK, nullptr, &vector), 0);
  EXPECT_EQ(vector.gl_alloc, 32u);
  Names expected = expected_b;
  expected.insert(expected.end(), expected_a.begin(), expected_a.end());
  expected.push_back("zzz*");
  EXPECT_EQ(names(vector), expected);
  release(vector);

  // Directory order when asked not to sort: the same names.
  const Names unsorted = expand("a*", rt::GLOB_NOSORT);
  EXPECT_EQ(std::set<std::string>(unsorted.begin(), unsorted.end()),
            std::set<std::string>(expected_a.begin(), expected_a.end()));
}

TEST_F(Glob, NoMemoryKeepsTheVectorWhole) {
  rt::glob_t vector{};
  ASSERT_EQ(rt::glob("x", rt::GLOB_NOCHECK, nullptr, &vector), 0);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(rt::glob_add_path(&vector, "name"), 0);
  ASSERT_EQ(vector.gl_pathc, 7u);
  w32::hook::fail_nth(Call::HeapReAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::glob_add_path(&vector, "eighth"), rt::GLOB_NOSPACE);
  EXPECT_EQ(vector.gl_pathc, 7u);
  EXPECT_EQ(vector.gl_names[7], nullptr);
  w32::hook::fail_nth(Call::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::glob_add_path(&vector, "copy"), rt::GLOB_NOSPACE);
  EXPECT_EQ(rt::glob_add_path(&vector, "eighth"), 0);
  EXPECT_EQ(vector.gl_alloc, 16u);
  EXPECT_EQ(names(vector).back(), "eighth");
  release(vector);

  make({"a"});
  w32::hook::fail_nth(Call::HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  rt::glob_t fresh{};
  EXPECT_EQ(rt::glob("*", 0, nullptr, &fresh), rt::GLOB_NOSPACE);

  // The path the expansion builds: its first block, then its growth for a
  // directory's names.
  w32::hook::fail_nth(Call::HeapAlloc, 2, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::glob("*", 0, nullptr, &fresh), rt::GLOB_NOSPACE);
  release(fresh);
  w32::hook::fail_nth(Call::HeapReAlloc, 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(rt::glob("*", 0, nullptr, &fresh), rt::GLOB_NOSPACE);
  EXPECT_EQ(names(fresh), Names());
  release(fresh);
  EXPECT_EQ(expand("*", 0), Names({"a"}));
}

TEST_F(Glob, DirectoryStreams) {
  make({"one", "Two/"});
  rt::errno = 0;
  EXPECT_EQ(rt::opendir(std::string(257, 'n').c_str()), nullptr);
  EXPECT_EQ(rt::errno, rt::ERR_NAME_TOO_LONG);
  EXPECT_EQ(rt::opendir("one"), nullptr);
  EXPECT_EQ(rt::errno, ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(rt::opendir("none"), nullptr);
  EXPECT_EQ(rt::errno, ERROR_PATH_NOT_FOUND);

  rt::DIR* stream = rt::opendir(".");
  ASSERT_NE(stream, nullptr);
  std::set<std::string> seen;
  while (const char* name = rt::readdir(stream)) seen.insert(name);
  EXPECT_EQ(seen, std::set<std::string>({".", "..", "one", "Two"}));
  EXPECT_EQ(rt::readdir(stream), nullptr);
  EXPECT_EQ(rt::closedir(stream), 0);
  EXPECT_EQ(w32::hook::calls(Call::FindClose), 1u);

  // Where the volume cannot be asked, names are shown in lower case.
  w32::hook::fail_nth(Call::GetVolumeInformationA, 1, ERROR_BAD_NETPATH);
  stream = rt::opendir(dir.path().string().c_str());
  seen.clear();
  while (const char* name = rt::readdir(stream)) seen.insert(name);
  EXPECT_EQ(seen, std::set<std::string>({".", "..", "one", "two"}));
  rt::closedir(stream);
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
  char* relative = rt::volume_root_of("relative\\path");
  ASSERT_NE(relative, nullptr);
  EXPECT_EQ(relative[0], 'A' + rt::current_drive_index());
  EXPECT_STREQ(relative + 1, ":\\");
  rt::free(relative);
}

TEST(Volumes, WhichVolumesShowLowerCaseNames) {
  const struct {
    std::uint32_t length;
    std::uint32_t flags;
    const char* file_system;
    bool folds;
  } cases[] = {
      {12, 0, "FAT", true},
      {12, FILE_CASE_PRESERVED_NAMES, "FAT", false},
      {12, 0, "AS400", false},
      {255, 0, "FAT32", false},
      {255, FILE_CASE_PRESERVED_NAMES | FILE_CASE_SENSITIVE_SEARCH, "NTFS", false},
  };
  for (const auto& c : cases) EXPECT_EQ(rt::volume_folds(c.length, c.flags, c.file_system), c.folds) << c.file_system;
  char name[] = "ReadMe.TXT \x80\x8E\x87";
  rt::fold_to_lower(name);
  EXPECT_STREQ(name, "readme.txt \x87\x84\x87");
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
  // Elements of an odd size are swapped whole.
  char triples[][3] = {{'c', '1', '!'}, {'a', '2', '@'}, {'b', '3', '#'}};
  rt::qsort(triples, 3, 3, [](const void* a, const void* b) { return std::memcmp(a, b, 1); });
  EXPECT_EQ(std::string(&triples[0][0], 9), "a2@b3#c1!");
}

}  // namespace
