// qmr7ctl's JSON reader and settings backups on arbitrary bytes: never a crash, and whatever it
// reads, it writes back as JSON that reads the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/qmr7ctl/Json.h"
#include "tools/qmr7ctl/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = qmr7ctl::json::Parse(text);
  if (const auto* value = std::get_if<qmr7ctl::json::Value>(&parsed)) {
    const auto again = qmr7ctl::json::Parse(qmr7ctl::json::Write(*value));
    const auto* same = std::get_if<qmr7ctl::json::Value>(&again);
    if (same == nullptr || !(*same == *value)) std::abort();
  }
  qmr7ctl::DeviceSettings settings;
  std::optional<std::int64_t> newer;
  if (qmr7ctl::ReadBackup(text, settings, newer).empty() &&
      !qmr7ctl::CheckSettings(settings).empty()) {
    std::abort();  // a backup that reads must hold only values the window would send
  }
  return 0;
}
