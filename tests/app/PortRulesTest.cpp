#include <gtest/gtest.h>

#include <string>

#include "app/PortRules.h"

namespace app {
namespace {

TEST(PortRulesTest, TheDevicePathFormOfEachKindOfName) {
  const std::pair<const char*, const char*> cases[] = {
      {"COM12", "\\\\.\\COM12"},         // above COM9 Windows opens only this way
      {"com3", "\\\\.\\com3"},           // names are not case-sensitive there
      {"\\\\.\\COM12", "\\\\.\\COM12"},  // already the device path
      {"ttyACM0", "/dev/ttyACM0"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"COMX", "/dev/COMX"},  // not a Windows port name
      {"COM", "/dev/COM"},
  };
  for (const auto& [name, path] : cases)
    EXPECT_EQ(DevicePathForm(name), path) << name;
}

}  // namespace
}  // namespace app
