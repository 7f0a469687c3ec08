// UiServices on Qt: QMessageBox owned by the main window, QFileDialog, the override cursor.
#pragma once

#include <QPointer>
#include <QWidget>

#include "toolkit/UiServices.h"

namespace toolkit::qt {

class QtUiServices final : public UiServices {
 public:
  // Message boxes and dialogs are owned by `owner` (the main window, once it exists).
  void SetOwner(QWidget* owner) { owner_ = owner; }

  int ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  std::optional<std::string> OpenFileDialog(const FileDialogRequest& request) override;
  Cursor CurrentCursor() override;
  void SetCursor(Cursor cursor) override;
  KeyboardState KeyboardSnapshot() override;

 private:
  QPointer<QWidget> owner_;
};

// "description|pattern|description|pattern..." as a Qt name filter list.
QString QtNameFilters(const std::string& filter);

}  // namespace toolkit::qt
