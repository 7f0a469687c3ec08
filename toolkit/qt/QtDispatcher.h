// The UI-thread dispatcher of the running program: a DispatchQueue pumped by Qt's event loop, and
// a descriptor watcher on the same loop (socket notifiers). Create it on the UI thread after the
// application object.
#pragma once

#include <QObject>
#include <atomic>
#include <map>
#include <memory>

#include "toolkit/Dispatcher.h"

class QSocketNotifier;

namespace toolkit::qt {

class QtDispatcher final : public QObject, public UiDispatcher, public FdWatcher {
 public:
  QtDispatcher();
  ~QtDispatcher() override;

  bool IsUiThread() const override { return queue_->IsUiThread(); }
  bool Synchronize(const std::function<void()>& call) override { return queue_->Synchronize(call); }
  void Post(std::function<void()> call) override { queue_->Post(std::move(call)); }
  FdWatcher* Watcher() override { return this; }

  void Watch(int fd, std::function<void()> ready) override;
  void Unwatch(int fd) override;

  // Lets blocked workers go; called before the objects they serve are destroyed.
  void Shutdown() { queue_->Shutdown(); }

 protected:
  bool event(QEvent* e) override;

 private:
  void Wake();

  std::unique_ptr<DispatchQueue> queue_;
  std::map<int, QSocketNotifier*> notifiers_;
  // One wake event in flight is enough: its Pump runs everything queued up to then.
  std::atomic<bool> wakePending_{false};
};

}  // namespace toolkit::qt
