#include "toolkit/testing/ScriptedUiServices.h"

namespace toolkit::testing {

int ScriptedUiServices::ShowMessageBox(const std::string& text, const std::string& caption,
                                       unsigned flags) {
  boxes.push_back({text, caption, flags});
  if (onBox) onBox(boxes.back());
  if ((flags & mb::kButtonsMask) != mb::kYesNo) return mb::kIdOk;
  if (answers.empty()) return mb::kIdNo;
  const int answer = answers.front();
  answers.pop_front();
  return answer;
}

std::optional<std::string> ScriptedUiServices::OpenFileDialog(const FileDialogRequest& request) {
  fileRequests.push_back(request);
  if (fileChoices.empty()) return std::nullopt;
  auto choice = fileChoices.front();
  fileChoices.pop_front();
  return choice;
}

void ScriptedUiServices::SetCursor(Cursor c) {
  cursor = c;
  cursorHistory.push_back(c);
}

void ScriptedUiServices::PressShift(bool down) {
  const std::uint8_t state = down ? 0x80 : 0x00;
  keyboard[vk::kShift] = state;
  keyboard[vk::kLShift] = state;
}

}  // namespace toolkit::testing
