// The application object. It is the one place where an exception escaping any event handler,
// timer or dispatched call is caught: it goes to the standard exception report and the loop goes on.
#pragma once

#include <QApplication>

namespace toolkit::qt {

class QtApplication final : public QApplication {
 public:
  QtApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace toolkit::qt
