#include "toolkit/qt/QtApplication.h"

#include <QLibraryInfo>

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

bool QtApplication::UseQtTexts(const QString& language) {
  if (!LoadQtTexts(qtTexts_, language)) return false;
  return installTranslator(&qtTexts_);
}

bool LoadQtTexts(QTranslator& translator, const QString& language) {
  const QString name = QStringLiteral("qtbase_") + language;
  return translator.load(name, QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
         translator.load(name, QCoreApplication::applicationDirPath() + "/translations");
}

}  // namespace toolkit::qt
