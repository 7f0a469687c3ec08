#include "platform/DeviceNotifier.h"

namespace platform {

class ManualDeviceNotifier::ManualRegistration final : public Registration {
 public:
  explicit ManualRegistration(ManualDeviceNotifier& owner) : owner_(owner) {}
  ~ManualRegistration() override { owner_.handler_ = nullptr; }

 private:
  ManualDeviceNotifier& owner_;
};

std::unique_ptr<DeviceNotifier::Registration> ManualDeviceNotifier::Register(Handler handler) {
  handler_ = std::move(handler);
  return std::make_unique<ManualRegistration>(*this);
}

void ManualDeviceNotifier::Notify(unsigned eventCode) {
  if (handler_) handler_(eventCode);
}

}  // namespace platform
