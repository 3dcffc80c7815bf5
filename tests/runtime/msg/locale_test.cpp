// Locale selection: names, the environment's precedence, failures.
#include <string>
#include <vector>

#include "tests/support/runtime_test.h"
#include "runtime/msg/locale.h"

namespace {

using w32::hook::Call;

class Locale : public support::RuntimeTest {
 protected:
  void SetUp() override {
    RuntimeTest::SetUp();
    ASSERT_STREQ(rt::setlocale(rt::LC_ALL, "POSIX"), "POSIX");
  }

  // The values of LC_CTYPE ... LC_MESSAGES and LC_ALL, joined by ','.
  static std::string values() {
    std::string all;
    for (int category = rt::LC_CTYPE; category <= rt::LC_ALL; ++category) {
      all.append(category == rt::LC_CTYPE ? "" : ",").append(rt::setlocale(category, nullptr));
    }
    return all;
  }
};

TEST_F(Locale, SelectionFromTheEnvironment) {
  // values: LC_CTYPE ... LC_MESSAGES and LC_ALL afterwards.
  const struct { std::vector<std::string> environment; int category; const char* result; const char* values; } cases[] = {
      {{}, rt::LC_ALL, "POSIX", "POSIX,POSIX,POSIX,POSIX,POSIX,POSIX,POSIX"},
      {{"LANG=de_DE"}, rt::LC_ALL, "de_DE", "de_DE,de_DE,de_DE,de_DE,de_DE,de_DE,de_DE"},
      {{"LANG=de_DE", "LC_MESSAGES=fr_FR"}, rt::LC_ALL, "de_DE", "de_DE,de_DE,de_DE,de_DE,de_DE,fr_FR,de_DE"},
      {{"LC_CTYPE=it_IT", "LC_TIME=C"}, rt::LC_ALL, "it_IT", "it_IT,POSIX,C,POSIX,POSIX,POSIX,it_IT"},
      {{"LC_ALL=es_ES", "LANG=de_DE", "LC_MESSAGES=fr_FR"}, rt::LC_ALL, "es_ES", "es_ES,es_ES,es_ES,es_ES,es_ES,es_ES,es_ES"},
      {{"LC_ALL=es_ES", "LC_MESSAGES=fr_FR"}, rt::LC_MESSAGES, "es_ES", "POSIX,POSIX,POSIX,POSIX,POSIX,es_ES,POSIX"},
      // An empty LC_ALL is used by a single category, ignored for LC_ALL.
      {{"LC_ALL=", "LC_MESSAGES=fr_FR"}, rt::LC_MESSAGES, "", "POSIX,POSIX,POSIX,POSIX,POSIX,,POSIX"},
      {{"LC_ALL=", "LC_MESSAGES=fr_FR", "LANG=de_DE"}, rt::LC_ALL, "de_DE", "de_DE,de_DE,de_DE,de_DE,de_DE,fr_FR,de_DE"},
      // An empty LANG is a name like any other.
      {{"LANG="}, rt::LC_COLLATE, "", "POSIX,,POSIX,POSIX,POSIX,POSIX,POSIX"},
      {{"LANG="}, rt::LC_ALL, "", ",,,,,,"},
      {{"LC_NUMERIC=nl_NL"}, rt::LC_NUMERIC, "nl_NL", "POSIX,POSIX,POSIX,nl_NL,POSIX,POSIX,POSIX"},
  };
  for (const auto& c : cases) {
    ASSERT_STREQ(rt::setlocale(rt::LC_ALL, "POSIX"), "POSIX");
    const support::Environment environment(c.environment);
    const char* result = rt::setlocale(c.category, "");
    ASSERT_NE(result, nullptr);
    EXPECT_STREQ(result, c.result) << c.values;
    EXPECT_EQ(values(), c.values);
  }
}

TEST_F(Locale, NamesAndQueries) {
  EXPECT_STREQ(rt::setlocale(rt::LC_MESSAGES, nullptr), "POSIX");
  EXPECT_STREQ(rt::setlocale(rt::LC_ALL, "xx_YY"), "xx_YY");
  EXPECT_EQ(values(), "xx_YY,xx_YY,xx_YY,xx_YY,xx_YY,xx_YY,xx_YY");
  EXPECT_STREQ(rt::setlocale(rt::LC_TIME, "de_DE"), "de_DE");
  EXPECT_STREQ(rt::setlocale(rt::LC_ALL, nullptr), "xx_YY");  // not derived from the others
  for (const int category : {7, -1, 100}) {
    EXPECT_EQ(rt::setlocale(category, "de_DE"), nullptr);
    EXPECT_EQ(rt::setlocale(category, nullptr), nullptr);
  }
  // Selecting the value a category has keeps the very same copy.
  const char* before = rt::setlocale(rt::LC_TIME, nullptr);
  EXPECT_EQ(rt::setlocale(rt::LC_TIME, "de_DE"), before);
}

TEST_F(Locale, NoMemoryKeepsTheOldValue) {
  ASSERT_STREQ(rt::setlocale(rt::LC_CTYPE, "de_DE"), "de_DE");
  for (const unsigned nth : {2u, 1u}) {  // the copy, after the validity check; the check itself
    w32::hook::fail_nth(Call::HeapAlloc, nth, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(rt::setlocale(rt::LC_CTYPE, "fr_FR"), nullptr);
    EXPECT_STREQ(rt::setlocale(rt::LC_CTYPE, nullptr), "de_DE");
  }
  EXPECT_STREQ(rt::setlocale(rt::LC_CTYPE, "POSIX"), "POSIX");  // needs no memory
}

}  // namespace
