#include "upgrade/DfuQuirks.h"

#include <charconv>

namespace dfu {
namespace {

constexpr Quirk kQuirks[] = {
    {0x1209, 0x7207, 0x7208,
     "the QM-R7's boot loader enumerates with its own product id, and files name the run-time "
     "id: a headset left in DFU mode by an interrupted upgrade must still take its file"},
};

std::optional<std::uint16_t> Hex16(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  unsigned value = 0;
  if (text.empty() || text.size() > 4) return std::nullopt;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

bool IdPair(std::string_view text, std::uint16_t& vendor, std::uint16_t& product) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const auto v = Hex16(text.substr(0, colon));
  const auto p = Hex16(text.substr(colon + 1));
  if (!v || !p) return false;
  vendor = *v;
  product = *p;
  return true;
}

}  // namespace

std::span<const Quirk> Quirks() {
  return kQuirks;
}

const Quirk* FindQuirk(std::uint16_t vendor, std::uint16_t product) {
  for (const Quirk& q : kQuirks) {
    if (q.vendor == vendor && (q.runtimeProduct == product || q.dfuProduct == product)) return &q;
  }
  return nullptr;
}

std::optional<DeviceIds> ParseDeviceIds(std::string_view text) {
  DeviceIds ids;
  const auto comma = text.find(',');
  if (!IdPair(text.substr(0, comma), ids.vendor, ids.product)) return std::nullopt;
  ids.dfuVendor = ids.vendor;
  ids.dfuProduct = ids.product;
  if (comma != std::string_view::npos &&
      !IdPair(text.substr(comma + 1), ids.dfuVendor, ids.dfuProduct)) {
    return std::nullopt;
  }
  return ids;
}

std::vector<DeviceIds> KnownHeadsets(std::span<const DeviceIds> extra) {
  std::vector<DeviceIds> all;
  for (const Quirk& q : kQuirks)
    all.push_back({q.vendor, q.runtimeProduct, q.vendor, q.dfuProduct});
  all.insert(all.end(), extra.begin(), extra.end());
  return all;
}

std::optional<DeviceIds> HeadsetWithIds(std::uint16_t vendor, std::uint16_t product,
                                        std::span<const DeviceIds> extra) {
  for (const DeviceIds& ids : KnownHeadsets(extra)) {
    if ((ids.vendor == vendor && ids.product == product) ||
        (ids.dfuVendor == vendor && ids.dfuProduct == product)) {
      return ids;
    }
  }
  return std::nullopt;
}

bool IsHeadsetInDfuMode(std::uint16_t vendor, std::uint16_t product,
                        std::span<const DeviceIds> extra) {
  for (const DeviceIds& ids : KnownHeadsets(extra)) {
    if (ids.dfuVendor == vendor && ids.dfuProduct == product) return true;
  }
  return false;
}

}  // namespace dfu
