// What the window asks of the desktop: modal message boxes, the file-open dialog, the mouse
// cursor and the keyboard state. The flag and answer values are the classic message-box ones, so
// that callers and tests speak of a box exactly as the texts' tables do.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace toolkit {

namespace mb {
inline constexpr unsigned kOk = 0x0;
inline constexpr unsigned kYesNo = 0x4;
inline constexpr unsigned kIconError = 0x10;
inline constexpr unsigned kIconWarning = 0x30;
inline constexpr unsigned kIconInformation = 0x40;
inline constexpr unsigned kDefButton2 = 0x100;
inline constexpr unsigned kButtonsMask = 0xF;
inline constexpr unsigned kIconMask = 0xF0;

inline constexpr int kIdOk = 1;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;
}  // namespace mb

// Virtual-key numbers of the keys the window looks at.
namespace vk {
inline constexpr int kShift = 0x10;
inline constexpr int kLShift = 0xA0;
inline constexpr int kRShift = 0xA1;
}  // namespace vk

// One byte per virtual key; the top bit is set while the key is down.
using KeyboardState = std::array<std::uint8_t, 256>;

enum class Cursor { Default, Wait };

struct FileDialogRequest {
  std::string filter;  // "description|pattern", for example "firmware file (*.dfu)|*.dfu"
  std::string initialPath;
};

class UiServices {
 public:
  virtual ~UiServices() = default;

  // A modal box owned by the main window; returns the button pressed (kIdOk, kIdYes, kIdNo).
  // Closing a Yes/No box without choosing answers No.
  virtual int ShowMessageBox(const std::string& text, const std::string& caption,
                             unsigned flags) = 0;

  // The chosen file's full path, or nothing when the user cancelled.
  virtual std::optional<std::string> OpenFileDialog(const FileDialogRequest& request) = 0;

  virtual Cursor CurrentCursor() = 0;
  virtual void SetCursor(Cursor cursor) = 0;

  virtual KeyboardState KeyboardSnapshot() = 0;
};

}  // namespace toolkit
