// Hot-plug notification: the port hears device changes through the application's notifier (or,
// where the application gives none, one of the platform's own) while an arrival or removal
// handler is assigned.
#include "comport/ComPort.h"
#include "comport/backend/SideServices.h"

namespace comport {

void TCustomComPort::SetOnDeviceArrival(TDeviceArrivalEvent value) {
  if (value == onDeviceArrival_) return;
  onDeviceArrival_ = std::move(value);
  DeviceHandlersChanged();
}

void TCustomComPort::SetOnDeviceRemoved(TDeviceRemovedEvent value) {
  if (value == onDeviceRemoved_) return;
  onDeviceRemoved_ = std::move(value);
  DeviceHandlersChanged();
}

void TCustomComPort::DeviceHandlersChanged() {
  if (Designing()) return;
  if (onDeviceArrival_ || onDeviceRemoved_) {
    StartNotification();
  } else {
    StopNotification();
  }
}

bool TCustomComPort::StartNotification() {
  if (FNotification != nullptr) return true;
  platform::DeviceNotifier* notifier = services_.notifier;
  if (notifier == nullptr) {
    ownNotifier_ = backend::OwnDeviceNotifier(ui_);
    notifier = ownNotifier_.get();
  }
  if (notifier == nullptr) return false;
  // The registration is the hook: it ends with it.
  FNotification =
      notifier->Register([this](const platform::DeviceChange& change) { WindowHook(change); });
  if (FNotification == nullptr) ownNotifier_.reset();
  return FNotification != nullptr;
}

bool TCustomComPort::StopNotification() {
  if (FNotification == nullptr) return true;
  // The registration before the notifier it belongs to.
  FNotification.reset();
  ownNotifier_.reset();
  return true;
}

bool TCustomComPort::WindowHook(const platform::DeviceChange& change) {
  const TDeviceArrivalEvent* handler = nullptr;
  if (change.eventCode == platform::kDeviceArrival) handler = &onDeviceArrival_;
  if (change.eventCode == platform::kDeviceRemoveComplete) handler = &onDeviceRemoved_;
  if (handler == nullptr) return false;
  if (change.kind != platform::DeviceKind::Port && change.kind != platform::DeviceKind::Interface) {
    return false;
  }
  if (*handler) {
    // A copy, so that a handler that clears or replaces itself does not end itself while it runs.
    const TDeviceArrivalEvent call = *handler;
    call(this, change.name);
  }
  return false;
}

}  // namespace comport
