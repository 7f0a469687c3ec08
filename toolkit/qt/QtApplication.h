// The application object. It is the one place where an exception escaping any event handler,
// timer or dispatched call is caught: it goes to the standard exception report and the loop goes
// on.
#pragma once

#include <QApplication>
#include <QString>
#include <QStringList>
#include <QTranslator>

namespace toolkit::qt {

class QtApplication final : public QApplication {
 public:
  QtApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;

  // Qt's own texts (a question's Yes and No, an edit's menu, the file dialog) in `language`
  // ("ja"), so that they match the tool's. False when Qt's translations for it are not installed;
  // they then stay in English.
  bool UseQtTexts(const QString& language);

 private:
  QTranslator qtTexts_;
};

// Loads Qt's own translations for `language` into `translator` from the first of `folders` that
// has them: the catalogue of all Qt's modules ("qt_ja", which is what a Windows installation
// ships, merged into one file), else the base module's alone ("qtbase_ja").
bool LoadQtTexts(QTranslator& translator, const QString& language, const QStringList& folders);

// Where Qt's translations are: Qt's own folder, then a "translations" folder beside the program,
// where a Windows installation keeps them.
QStringList QtTextFolders();

}  // namespace toolkit::qt
