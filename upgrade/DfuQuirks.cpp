#include "upgrade/DfuQuirks.h"

namespace dfu {
namespace {

constexpr Quirk kQuirks[] = {
    {0x1209, 0x7207, 0x7208,
     "the QM-R7's boot loader enumerates with its own product id, and files name the run-time "
     "id: a headset left in DFU mode by an interrupted upgrade must still take its file"},
};

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

}  // namespace dfu
