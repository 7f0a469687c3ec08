// What a headset's USB configuration string says it runs: the text after "FW:" names its firmware
// file, the text after "PSR:" its PSR file. The string comes from the USB tree walk, upper case.
#pragma once

#include <string>
#include <string_view>

namespace app {

struct ConfigurationParts {
  std::string firmware;
  std::string psr;
};

// Each part runs from its tag to the end of the text, cut at its file extension when there is one
// (".XPV", shown as ".xpv/.xdv"; ".PSR", shown as ".psr"). A missing tag gives an empty part.
ConfigurationParts SplitConfiguration(std::string_view text);

// The line the firmware page shows for a configuration string, in the active language.
std::string ConfigurationLine(std::string_view text);

}  // namespace app
