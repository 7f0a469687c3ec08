#include "app/UsbConfiguration.h"

#include "resources/TextCatalog.h"

namespace app {
namespace {

std::string PartAfter(std::string_view text, std::string_view tag, std::string_view extension,
                      std::string_view shownExtension) {
  const auto at = text.find(tag);
  if (at == std::string_view::npos) return {};
  std::string_view part = text.substr(at + tag.size());
  const auto end = part.find(extension);
  if (end == std::string_view::npos) return std::string(part);
  return std::string(part.substr(0, end)) + std::string(shownExtension);
}

}  // namespace

ConfigurationParts SplitConfiguration(std::string_view text) {
  return {PartAfter(text, "FW:", ".XPV", ".xpv/.xdv"), PartAfter(text, "PSR:", ".PSR", ".psr")};
}

std::string ConfigurationLine(std::string_view text) {
  const ConfigurationParts parts = SplitConfiguration(text);
  return resources::LoadText(resources::kTextFirmwareFileField) + " : " + parts.firmware +
         "        " + resources::LoadText(resources::kTextPsrFileField) + " : " + parts.psr;
}

}  // namespace app
