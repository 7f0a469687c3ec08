#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/UiLanguage.h"

namespace platform {
namespace {

using resources::Language;

struct LanguageCase {
  const char* name;
  std::map<std::string, std::string> env;
  std::string systemLocale;
  Language expected;
};

TEST(UiLanguageTest, JapaneseOnlyWhenTheSessionSpeaksJapanese) {
  const LanguageCase cases[] = {
      {"nothing set, English system", {}, "en_US", Language::English},
      {"nothing set, Japanese system", {}, "ja_JP", Language::Japanese},
      {"LANG", {{"LANG", "ja_JP.UTF-8"}}, "en_US", Language::Japanese},
      {"LC_ALL wins over LANG",
       {{"LC_ALL", "en_GB.UTF-8"}, {"LANG", "ja_JP.UTF-8"}},
       "",
       Language::English},
      {"LC_MESSAGES", {{"LC_MESSAGES", "ja_JP.eucJP"}, {"LANG", "C"}}, "", Language::Japanese},
      {"LANGUAGE list first",
       {{"LANGUAGE", "ja:en"}, {"LANG", "en_US.UTF-8"}},
       "",
       Language::Japanese},
      {"LANGUAGE ignored under C", {{"LANGUAGE", "ja"}, {"LANG", "C"}}, "", Language::English},
      {"other languages are English", {{"LANG", "de_DE.UTF-8"}}, "ja_JP", Language::English},
      {"not a prefix match", {{"LANG", "jam_JM"}}, "", Language::English},
  };
  for (const auto& c : cases) {
    const auto lookup = [&](const char* name) -> const char* {
      const auto it = c.env.find(name);
      return it == c.env.end() ? nullptr : it->second.c_str();
    };
    EXPECT_EQ(DetectUiLanguage(lookup, c.systemLocale), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace platform
