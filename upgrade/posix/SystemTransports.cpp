#include "upgrade/DfuTransport.h"

namespace dfu {

std::vector<std::shared_ptr<DfuTransport>> SystemTransports(const std::string& registryDirectory) {
  std::vector<std::shared_ptr<DfuTransport>> transports;
  if (auto usb = MakeLibusbTransport()) transports.push_back(std::move(usb));
  transports.push_back(MakeSocketTransport(registryDirectory));
  return transports;
}

}  // namespace dfu
