// Device arrivals and removals, delivered on the UI thread with the classic device-change event
// codes, for as long as the registration lives.
#pragma once

#include <functional>
#include <memory>

namespace platform {

inline constexpr unsigned kDeviceArrival = 0x8000;
inline constexpr unsigned kDeviceRemoveComplete = 0x8004;

class DeviceNotifier {
 public:
  using Handler = std::function<void(unsigned eventCode)>;

  // Ends the registration when destroyed.
  class Registration {
   public:
    virtual ~Registration() = default;
  };

  virtual ~DeviceNotifier() = default;
  virtual std::unique_ptr<Registration> Register(Handler handler) = 0;
};

// Delivers what a test tells it to.
class ManualDeviceNotifier final : public DeviceNotifier {
 public:
  std::unique_ptr<Registration> Register(Handler handler) override;
  // Calls the registered handler, if any.
  void Notify(unsigned eventCode);
  bool Registered() const { return static_cast<bool>(handler_); }

 private:
  class ManualRegistration;
  Handler handler_;
};

}  // namespace platform
