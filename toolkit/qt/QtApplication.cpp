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
  if (!LoadQtTexts(qtTexts_, language, QtTextFolders())) return false;
  return installTranslator(&qtTexts_);
}

bool LoadQtTexts(QTranslator& translator, const QString& language, const QStringList& folders) {
  for (const QString& folder : folders) {
    for (const QString& catalogue : {QStringLiteral("qt_"), QStringLiteral("qtbase_")}) {
      if (translator.load(catalogue + language, folder)) return true;
    }
  }
  return false;
}

QStringList QtTextFolders() {
  return {QLibraryInfo::path(QLibraryInfo::TranslationsPath),
          QCoreApplication::applicationDirPath() + "/translations"};
}

}  // namespace toolkit::qt
