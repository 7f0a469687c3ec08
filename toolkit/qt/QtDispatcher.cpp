#include "toolkit/qt/QtDispatcher.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>

#include "toolkit/Application.h"

namespace toolkit::qt {
namespace {

const QEvent::Type kPumpEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

QtDispatcher::QtDispatcher() : queue_(std::make_unique<DispatchQueue>([this] { Wake(); }, false)) {}

QtDispatcher::~QtDispatcher() {
  queue_->Shutdown();
}

void QtDispatcher::Wake() {
  if (wakePending_.exchange(true, std::memory_order_acq_rel)) return;
  QCoreApplication::postEvent(this, new QEvent(kPumpEvent), Qt::HighEventPriority);
}

void QtDispatcher::Watch(int fd, std::function<void()> ready) {
  Unwatch(fd);
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                   [ready = std::move(ready)] { RunGuarded(ready); });
  notifiers_[fd] = notifier;
}

void QtDispatcher::Unwatch(int fd) {
  const auto it = notifiers_.find(fd);
  if (it == notifiers_.end()) return;
  // Possibly from inside its own activation: disabled now, deleted once that has returned.
  it->second->setEnabled(false);
  it->second->deleteLater();
  notifiers_.erase(it);
}

bool QtDispatcher::event(QEvent* e) {
  if (e->type() != kPumpEvent) return QObject::event(e);
  // Cleared before pumping: a hand-over that arrives during the pump posts a fresh wake.
  wakePending_.store(false, std::memory_order_release);
  queue_->Pump();
  return true;
}

}  // namespace toolkit::qt
