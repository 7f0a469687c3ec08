#include "platform/UiLanguage.h"

#include <string_view>

namespace platform {
namespace {

bool IsJapanese(std::string_view locale) {
  return locale.substr(0, 2) == "ja" && (locale.size() == 2 || locale[2] == '_' ||
                                         locale[2] == '.' || locale[2] == '@' || locale[2] == '-');
}

bool IsSet(const char* v) {
  return v != nullptr && v[0] != '\0';
}

}  // namespace

resources::Language DetectUiLanguage(const EnvLookup& env, const std::string& systemLocale) {
  std::string locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char* v = env(name); IsSet(v)) {
      locale = v;
      break;
    }
  }
  const bool plainC = locale == "C" || locale == "POSIX" || locale.rfind("C.", 0) == 0;
  if (const char* list = env("LANGUAGE"); IsSet(list) && !plainC) {
    std::string_view first(list);
    first = first.substr(0, first.find(':'));
    if (!first.empty()) locale = std::string(first);
  }
  if (locale.empty()) locale = systemLocale;
  return IsJapanese(locale) ? resources::Language::Japanese : resources::Language::English;
}

resources::Language LanguageOfLangId(unsigned langId) {
  constexpr unsigned kPrimaryJapanese = 0x11;
  return (langId & 0x3FF) == kPrimaryJapanese ? resources::Language::Japanese
                                              : resources::Language::English;
}

}  // namespace platform
