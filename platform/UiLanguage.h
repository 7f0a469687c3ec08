// The user's interface language: on Linux as the desktop session sets it, on Windows as the
// user's UI language setting says.
#pragma once

#include <functional>
#include <string>

#include "resources/TextCatalog.h"

namespace platform {

using EnvLookup = std::function<const char*(const char* name)>;

// Japanese when the session's message language is Japanese, English in every other case. The
// message language is the first of LANGUAGE (a colon-separated list, ignored when the locale is
// C or POSIX), LC_ALL, LC_MESSAGES and LANG that is set; `systemLocale` (for example Qt's
// "ja_JP") decides when none is.
resources::Language DetectUiLanguage(const EnvLookup& env, const std::string& systemLocale);

// Japanese when a Windows language identifier's primary language is Japanese (0x11), whatever
// its sub-language; English in every other case.
resources::Language LanguageOfLangId(unsigned langId);

// The language of the user running the program. Linux: DetectUiLanguage over the environment,
// with `toolkitLocale` (the toolkit's system locale) as its last word. Windows: the user's UI
// language (GetUserDefaultUILanguage); `toolkitLocale` is not needed there.
resources::Language SystemUiLanguage(const std::string& toolkitLocale);

}  // namespace platform
