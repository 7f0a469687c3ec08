#include "upgrade/FirmwareRules.h"

#include <algorithm>
#include <string>

namespace dfu {
namespace {

#ifdef _WIN32
constexpr char kPathSeparators[] = "\\/";
#else
constexpr char kPathSeparators[] = "/";
#endif

// Only ASCII letters change: the texts are compared without regard to ASCII case and nothing else.
std::string AsciiUpper(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  return upper;
}

}  // namespace

bool HasProductFamilyMarker(std::string_view description) {
  const std::string text = AsciiUpper(description);
  return text.find("FARPOINT") != std::string::npos || text.find("FAR POINT") != std::string::npos;
}

bool FileNameMatchesModel(std::string_view path, std::string_view modelName) {
  const std::string upper = AsciiUpper(path);
  const auto separator = upper.find_last_of(kPathSeparators);
  const std::string name = separator == std::string::npos ? upper : upper.substr(separator + 1);
  const std::string prefix = AsciiUpper(std::string(modelName) + "_");
  return name.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace dfu
