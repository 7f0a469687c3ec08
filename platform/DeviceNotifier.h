// Device arrivals and removals, delivered on the UI thread with the classic device-change event
// codes, for as long as the registration lives. Several registrations may live at once; each hears
// every change.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

inline constexpr unsigned kDeviceArrival = 0x8000;
inline constexpr unsigned kDeviceRemoveComplete = 0x8004;

// What kind of device changed, numbered as the classic broadcast's device types.
enum class DeviceKind : unsigned {
  Other = 0,
  Port = 3,       // a serial port: a tty
  Interface = 5,  // a USB device
};

struct DeviceChange {
  unsigned eventCode = kDeviceArrival;  // kDeviceArrival or kDeviceRemoveComplete
  DeviceKind kind = DeviceKind::Other;
  // A port: the tty's device node (/dev/ttyACM0). A USB device: its device node
  // (/dev/bus/usb/001/004), or its sysfs path when it has none; for a virtual device, the path
  // it registered.
  std::string name;

  friend bool operator==(const DeviceChange&, const DeviceChange&) = default;
};

class DeviceNotifier {
 public:
  using Handler = std::function<void(const DeviceChange& change)>;

  // Ends the registration when destroyed.
  class Registration {
   public:
    virtual ~Registration() = default;
  };

  virtual ~DeviceNotifier() = default;
  // Null when the platform refused the registration.
  virtual std::unique_ptr<Registration> Register(Handler handler) = 0;
};

// Delivers what a test tells it to.
class ManualDeviceNotifier final : public DeviceNotifier {
 public:
  std::unique_ptr<Registration> Register(Handler handler) override;
  // Calls every registered handler, oldest registration first.
  void Notify(const DeviceChange& change);
  // A change of a device of no particular kind.
  void Notify(unsigned eventCode) { Notify(DeviceChange{eventCode, DeviceKind::Other, {}}); }
  bool Registered() const { return !handlers_.empty(); }
  std::size_t Registrations() const { return handlers_.size(); }

  // While set, Register refuses.
  bool refuseRegistrations = false;

 private:
  class ManualRegistration;
  struct Entry {
    const Registration* owner;
    std::shared_ptr<Handler> handler;
  };
  std::vector<Entry> handlers_;
};

}  // namespace platform
