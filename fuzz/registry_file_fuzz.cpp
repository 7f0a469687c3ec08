// Registration files of the virtual-device registry on arbitrary bytes: the parser, and a listing
// of a folder that holds them. A registration that parses must come back the same through the
// writer, and a listing may only give what parses, as it parses.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzFolder.h"
#include "platform/VirtualDeviceRegistry.h"

namespace {

const std::string& RegistryFolder() {
  static const std::string path = [] {
    std::string folder = fuzzing::FuzzFolder() + "/registry";
    if (::mkdir(folder.c_str(), 0700) != 0) std::abort();
    return folder;
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using platform::VirtualDevice;
  using platform::VirtualDeviceRegistry;
  const std::string text(reinterpret_cast<const char*>(data), size);
  VirtualDevice device;
  const bool parses = VirtualDeviceRegistry::Parse(text, device);
  if (parses) {
    VirtualDevice again;
    if (!VirtualDeviceRegistry::Parse(VirtualDeviceRegistry::Format(device), again) ||
        !(again == device)) {
      std::abort();
    }
  }

  const std::string file = RegistryFolder() + "/1-fuzz.reg";
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  ::close(fd);
  const auto listed = VirtualDeviceRegistry(RegistryFolder()).List();
  if (listed.size() > 1 || (!listed.empty() && !parses)) std::abort();
  if (!listed.empty()) {
    VirtualDevice expected = device;
    expected.id = "1-fuzz";
    if (!(listed[0] == expected)) std::abort();
  }
  ::unlink(file.c_str());
  return 0;
}
