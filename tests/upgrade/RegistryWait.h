// Waiting in tests for a virtual device to appear in the registry.
#pragma once

#include <poll.h>

#include <optional>
#include <string>

#include "platform/VirtualDeviceRegistry.h"

namespace dfu::testing {

// The next arrival of a device of `kind`; nothing when none comes within `timeoutMs`.
inline std::optional<platform::VirtualDevice> NextArrival(platform::VirtualDeviceWatcher& watcher,
                                                          const std::string& kind, int timeoutMs) {
  for (;;) {
    pollfd p{watcher.Fd(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return std::nullopt;
    for (const auto& event : watcher.ReadEvents()) {
      if (event.kind == platform::VirtualDeviceEvent::Kind::Arrived && event.device.kind == kind) {
        return event.device;
      }
    }
  }
}

}  // namespace dfu::testing
