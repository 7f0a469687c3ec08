#include "toolkit/qt/QtDispatcher.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>

#include "toolkit/Application.h"

namespace toolkit::qt {
namespace {

const QEvent::Type kPumpEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Runs the watch straight from the loop's activation event, without the notifier's signals: this
// is the path of every received byte.
class Notifier final : public QSocketNotifier {
 public:
  Notifier(int fd, std::function<void()> ready, QObject* parent)
      : QSocketNotifier(fd, QSocketNotifier::Read, parent), ready_(std::move(ready)) {}

 protected:
  bool event(QEvent* e) override {
    if (e->type() != QEvent::SockAct) return QSocketNotifier::event(e);
    RunGuarded(ready_);
    return true;
  }

 private:
  const std::function<void()> ready_;
};

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
  notifiers_[fd] = new Notifier(fd, std::move(ready), this);
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
