#include "toolkit/qt/QtApplication.h"

#include "toolkit/Application.h"

namespace toolkit::qt {

QtApplication::QtApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool QtApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleException(std::current_exception());
    return false;
  }
}

}  // namespace toolkit::qt
