// The one application object a test binary needs for widgets, created on first use. It is the
// program's own (exceptions escaping events go to the standard report), on whatever platform
// QT_QPA_PLATFORM names (offscreen under ctest).
#pragma once

#include <QApplication>

#include "toolkit/qt/QtApplication.h"

namespace testsupport {

inline void EnsureQtApplication() {
  static int argc = 1;
  static char name[] = "qmr7-test";
  static char* argv[] = {name, nullptr};
  if (QApplication::instance() == nullptr) new toolkit::qt::QtApplication(argc, argv);
}

}  // namespace testsupport
