// The main window as data: every control's name, parent, role, place, size, tab order, design text
// and the catalogue text it shows once start-up has run, plus the window's timers and its signal
// indicator. The window is
// built from these tables; what each control does lives with its handlers.
#pragma once

#include <span>
#include <string_view>

#include "resources/TextIds.h"

namespace resources {

enum class Role {
  StaticText,
  ClickArea,
  PageControl,
  ListBox,
  Button,
  Memo,      // multi-line text with scroll bars
  NoteMemo,  // read-only note without border, in the page's colour
  LabeledEdit,
  UpDown,
  ProgressBar,
};

inline constexpr int kNoTabStop = -1;
inline constexpr TextId kNoText = 0;

struct ControlLayout {
  std::string_view name;
  std::string_view parent;  // empty: the window; otherwise the name of a tab sheet
  Role role;
  int left, top, width, height;
  int tabOrder;                     // within the parent, or kNoTabStop
  std::string_view designText;      // caption, or a labelled edit's label
  std::string_view designEditText;  // a labelled edit's edit text
  TextId textAtStart;               // the catalogue text start-up puts on it, or kNoText
};

struct TabSheetLayout {
  std::string_view name;
  std::string_view designCaption;
  TextId caption;
};

struct UpDownLayout {
  std::string_view name;
  std::string_view buddy;  // empty: attached to nothing
  int min, max, position;
};

struct TimerLayout {
  std::string_view name;
  bool enabled;
  unsigned interval;
};

// A signal indicator: its delay in milliseconds and its signal (the ordinal of its TSignal member,
// 0 for none). The window's one is bound to no port and no control.
struct SignalIndicatorLayout {
  std::string_view name;
  int delay;
  int signal;
};

struct WindowLayout {
  int clientWidth;
  int clientHeight;
  std::string_view designCaption;
  std::string_view fontFamily;
  int fontPixelHeight;
  int designActivePage;
  std::string_view openDialogFilter;
  std::span<const ControlLayout> controls;  // in creation order; later ones lie above
  std::span<const TabSheetLayout> pages;
  std::span<const UpDownLayout> upDowns;
  std::span<const TimerLayout> timers;
  std::span<const SignalIndicatorLayout> indicators;
};

const WindowLayout& MainWindowLayout();

// The control of that name, or nullptr.
const ControlLayout* FindControl(std::string_view name);

}  // namespace resources
