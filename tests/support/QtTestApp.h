// The one application object a test binary needs for widgets, created on first use. It is the
// program's own (exceptions escaping events go to the standard report), on whatever platform
// QT_QPA_PLATFORM names (offscreen under ctest).
#pragma once

#include <QApplication>
#include <cstdlib>

#include "tests/support/TempDir.h"
#include "toolkit/qt/QtApplication.h"

namespace testsupport {

inline void EnsureQtApplication() {
#ifndef _WIN32
  // Without a runtime folder Qt makes <temporary folder>/runtime-<user>, which would outlive the
  // test: this process gets a private one instead, removed at exit. Windows has no such folder.
  if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
    static const TempDir runtime;
    ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
  }
#endif
  static int argc = 1;
  static char name[] = "qmr7-test";
  static char* argv[] = {name, nullptr};
  if (QApplication::instance() == nullptr) new toolkit::qt::QtApplication(argc, argv);
}

}  // namespace testsupport
