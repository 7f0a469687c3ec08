// UiServices for tests: records every message box and answers from a script.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/UiServices.h"

namespace toolkit::testing {

struct ShownBox {
  std::string text;
  std::string caption;
  unsigned flags = 0;
  friend bool operator==(const ShownBox&, const ShownBox&) = default;
};

class ScriptedUiServices final : public UiServices {
 public:
  int ShowMessageBox(const std::string& text, const std::string& caption,
                     unsigned flags) override;
  std::optional<std::string> OpenFileDialog(const FileDialogRequest& request) override;
  Cursor CurrentCursor() override { return cursor; }
  void SetCursor(Cursor c) override;
  KeyboardState KeyboardSnapshot() override { return keyboard; }

  // Answers for Yes/No boxes, used in order; when none is left a Yes/No box answers No.
  std::deque<int> answers;
  // Runs while a box is shown (the box is modal: the test may act as the user would meanwhile).
  std::function<void(const ShownBox&)> onBox;
  std::vector<ShownBox> boxes;

  std::deque<std::optional<std::string>> fileChoices;
  std::vector<FileDialogRequest> fileRequests;

  Cursor cursor = Cursor::Default;
  std::vector<Cursor> cursorHistory;
  KeyboardState keyboard{};

  void PressShift(bool down);
};

}  // namespace toolkit::testing
