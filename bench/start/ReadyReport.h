// How a started program tells the start-up benchmark that it is ready: once its window has been
// painted and the event loop is about to wait for input, it writes one byte to the descriptor the
// benchmark passed as its first argument. Both programs measured use the same report.
#pragma once

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <QAbstractEventDispatcher>
#include <QEvent>
#include <QObject>
#include <QWidget>
#include <cstdlib>
#include <string>

namespace bench {

class ReadyReport final : public QObject {
 public:
  ReadyReport(QWidget& window, int fd) : fd_(fd) { window.installEventFilter(this); }

  // The descriptor named by the first argument; -1 when there is none.
  static int FdFromArguments(int argc, char** argv) { return argc > 1 ? std::atoi(argv[1]) : -1; }

 protected:
  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    if (event->type() == QEvent::Paint && !painted_) {
      painted_ = true;
      // The loop blocks only when everything queued so far (the rest of the first paint, the
      // posted events of start-up) has been handled.
      connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
              [this] { Report(); });
    }
    return false;
  }

 private:
  void Report() {
    if (reported_ || fd_ < 0) return;
    reported_ = true;
    const char ready = 'r';
    // A failed write leaves the benchmark waiting, which reports it.
#ifdef _WIN32
    [[maybe_unused]] const int n = ::_write(fd_, &ready, 1);
#else
    [[maybe_unused]] const ssize_t n = ::write(fd_, &ready, 1);
#endif
  }

  int fd_;
  bool painted_ = false;
  bool reported_ = false;
};

}  // namespace bench
