// The four enumerators: what each finds is the platform's (backend/*/SideServices).
#include "comport/ComPort.h"
#include "comport/backend/SideServices.h"

namespace comport {

void TCustomComPort::EnumDevices(std::vector<std::string>& list) {
  backend::AppendDevices(list, services_);
}

void TCustomComPort::EnumComDevices(std::vector<std::string>& list) {
  backend::AppendComDevices(list, services_);
}

void TCustomComPort::EnumComDevicesFromRegistry(std::vector<std::string>& list) {
  backend::AppendComDevicesFromRegistry(list, services_);
}

void TCustomComPort::EnumComFriendlyNames(std::vector<std::string>& list) {
  backend::AppendComFriendlyNames(list, services_);
}

}  // namespace comport
