// The application object. It is the one place where an exception escaping any event handler,
// timer or dispatched call is caught: it goes to the standard exception report and the loop goes
// on.
#pragma once

#include <QApplication>
#include <QString>
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

// Loads Qt's own translations for `language` into `translator`: from Qt's translations folder, or
// from a "translations" folder beside the program, where a Windows installation keeps them.
bool LoadQtTexts(QTranslator& translator, const QString& language);

}  // namespace toolkit::qt
