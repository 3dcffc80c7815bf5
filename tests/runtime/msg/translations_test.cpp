// The translations against the message table: each one gives every message,
// none the table lacks, and texts whose conversions the English text of
// their number takes (the runtime uses a catalogue text only then).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tools/catalog/catalog_writer.h"
#include "runtime/msg/format.h"
#include "runtime/msg/message_table.h"

namespace {

// What is wrong with a translation's message source, a line a problem.
std::vector<std::string> translation_problems(const std::string& source) {
  std::vector<std::string> problems;
  std::set<std::int32_t> translated;
  for (const catalog::Set& set : catalog::parse_source(source).sets) {
    if (set.number != 1) {
      problems.push_back("set " + std::to_string(set.number) + " is not used");
      continue;
    }
    for (const catalog::Message& message : set.messages) {
      translated.insert(message.number);
      bool known = false;
      bool fits = false;  // a text is used where its conversions fit
      for (const rt::Message& english : rt::kMessages) {
        if (english.number != message.number) continue;
        known = true;
        fits = fits || rt::same_conversions(message.text.c_str(), english.text);
      }
      const std::string name = "message " + std::to_string(message.number);
      if (!known) problems.push_back(name + " is not in the table");
      if (known && !fits) problems.push_back(name + " takes other conversions than its English text");
    }
  }
  std::set<std::int32_t> missing;
  for (const rt::Message& english : rt::kMessages) {
    if (!translated.count(english.number)) missing.insert(english.number);
  }
  for (const std::int32_t number : missing) problems.push_back("message " + std::to_string(number) + " is missing");
  return problems;
}

// A message source line giving `text` to `number`.
std::string source_line(std::int32_t number, const std::string& text) {
  std::string line = std::to_string(number) + " \"";
  for (const char c : text) {
    if (c == '\n') {
      line += "\\n";
    } else {
      if (c == '"' || c == '\\') line += '\\';
      line += c;
    }
  }
  return line + "\"\n";
}

// A source that gives every message its English text, but for the changes.
std::string english_source(std::int32_t left_out, const std::string& extra, std::int32_t changed,
                           const std::string& changed_text) {
  std::string source = "$quote \"\n$set 1\n";
  std::set<std::int32_t> given;
  for (const rt::Message& message : rt::kMessages) {
    if (message.number == left_out || !given.insert(message.number).second) continue;
    source += source_line(message.number, message.number == changed ? changed_text : message.text);
  }
  return source + extra;
}

TEST(Translations, TheCheckFindsWhatATranslationGetsWrong) {
  const struct {
    const char* what;
    std::string source;
    std::vector<std::string> problems;
  } cases[] = {
      {"every message", english_source(-1, "", -1, ""), {}},
      {"a message left out", english_source(261, "", -1, ""), {"message 261 is missing"}},
      {"a message the table lacks", english_source(-1, source_line(9999, "extra"), -1, ""),
       {"message 9999 is not in the table"}},
      {"other conversions", english_source(-1, "", 261, "read error on file %d"),
       {"message 261 takes other conversions than its English text"}},
  };
  for (const auto& c : cases) EXPECT_EQ(translation_problems(c.source), c.problems) << c.what;
}

TEST(Translations, TheCataloguesOfTheProgramAreComplete) {
  for (const char* language : {"de", "fr"}) {
    std::ifstream in(std::string(TAIL_NLS_SOURCES) + "/" + language + ".msg", std::ios::binary);
    ASSERT_TRUE(in) << language;
    const std::string source{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(translation_problems(source), std::vector<std::string>{}) << language;
  }
}

}  // namespace
