#include "platform/DeviceNotifier.h"

#include <algorithm>

namespace platform {

class ManualDeviceNotifier::ManualRegistration final : public Registration {
 public:
  explicit ManualRegistration(ManualDeviceNotifier& owner) : owner_(owner) {}
  ~ManualRegistration() override {
    auto& list = owner_.handlers_;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [this](const Entry& e) { return e.owner == this; }),
               list.end());
  }

 private:
  ManualDeviceNotifier& owner_;
};

std::unique_ptr<DeviceNotifier::Registration> ManualDeviceNotifier::Register(Handler handler) {
  if (refuseRegistrations) return nullptr;
  auto registration = std::make_unique<ManualRegistration>(*this);
  handlers_.push_back({registration.get(), std::make_shared<Handler>(std::move(handler))});
  return registration;
}

void ManualDeviceNotifier::Notify(const DeviceChange& change) {
  // A handler may end its own or another registration: those still registered when their turn
  // comes are called.
  const std::vector<Entry> snapshot = handlers_;
  for (const Entry& entry : snapshot) {
    const bool live = std::any_of(handlers_.begin(), handlers_.end(),
                                  [&](const Entry& e) { return e.handler == entry.handler; });
    if (live && *entry.handler) (*entry.handler)(change);
  }
}

}  // namespace platform
