#include "toolkit/qt/QtUiServices.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

#include "toolkit/qt/Text.h"

namespace toolkit::qt {
namespace {

QMessageBox::Icon IconOf(unsigned flags) {
  switch (flags & mb::kIconMask) {
    case mb::kIconError:
      return QMessageBox::Critical;
    case mb::kIconWarning:
      return QMessageBox::Warning;
    case mb::kIconInformation:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

}  // namespace

int QtUiServices::ShowMessageBox(const std::string& text, const std::string& caption,
                                 unsigned flags) {
  QMessageBox box(IconOf(flags), Q(caption), Q(text), QMessageBox::NoButton, owner_.data());
  box.setTextFormat(Qt::PlainText);
  if ((flags & mb::kButtonsMask) == mb::kYesNo) {
    QPushButton* yes = box.addButton(QMessageBox::Yes);
    QPushButton* no = box.addButton(QMessageBox::No);
    box.setDefaultButton((flags & mb::kDefButton2) != 0 ? no : yes);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes ? mb::kIdYes : mb::kIdNo;
  }
  box.setDefaultButton(box.addButton(QMessageBox::Ok));
  box.exec();
  return mb::kIdOk;
}

QString QtNameFilters(const std::string& filter) {
  const QStringList parts = Q(filter).split(u'|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString patterns = QString(parts[i + 1]).replace(u';', u' ');
    // Qt reads the patterns from the last parentheses of the description.
    filters << (parts[i].endsWith(u')') ? parts[i] : parts[i] + " (" + patterns + ")");
  }
  return filters.join(";;");
}

std::optional<std::string> QtUiServices::OpenFileDialog(const FileDialogRequest& request) {
  const QString path = QFileDialog::getOpenFileName(
      owner_.data(), QString(), Q(request.initialPath), QtNameFilters(request.filter));
  if (path.isEmpty()) return std::nullopt;
  // Qt hands back "C:/..." on Windows; the label shows and the settings file keeps the path as the
  // system writes it.
  return S(QDir::toNativeSeparators(path));
}

Cursor QtUiServices::CurrentCursor() {
  const QCursor* cursor = QGuiApplication::overrideCursor();
  return cursor != nullptr && cursor->shape() == Qt::WaitCursor ? Cursor::Wait : Cursor::Default;
}

void QtUiServices::SetCursor(Cursor cursor) {
  while (QGuiApplication::overrideCursor() != nullptr)
    QGuiApplication::restoreOverrideCursor();
  if (cursor == Cursor::Wait) QGuiApplication::setOverrideCursor(Qt::WaitCursor);
}

KeyboardState QtUiServices::KeyboardSnapshot() {
  KeyboardState state{};
  // Qt does not tell the two Shift keys apart; a held Shift reads as the left one.
  if ((QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier) != 0) {
    state[vk::kShift] = 0x80;
    state[vk::kLShift] = 0x80;
  }
  return state;
}

}  // namespace toolkit::qt
