#include "toolkit/qt/QtDispatcher.h"

#include <QCoreApplication>
#include <QEvent>

namespace toolkit::qt {
namespace {

const QEvent::Type kPumpEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

QtDispatcher::QtDispatcher() : queue_(std::make_unique<DispatchQueue>([this] { Wake(); })) {}

QtDispatcher::~QtDispatcher() { queue_->Shutdown(); }

void QtDispatcher::Wake() {
  if (wakePending_.exchange(true, std::memory_order_acq_rel)) return;
  QCoreApplication::postEvent(this, new QEvent(kPumpEvent), Qt::HighEventPriority);
}

bool QtDispatcher::event(QEvent* e) {
  if (e->type() != kPumpEvent) return QObject::event(e);
  // Cleared before pumping: a hand-over that arrives during the pump posts a fresh wake.
  wakePending_.store(false, std::memory_order_release);
  queue_->Pump();
  return true;
}

}  // namespace toolkit::qt
