// The user's interface language, as the desktop session sets it.
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

}  // namespace platform
