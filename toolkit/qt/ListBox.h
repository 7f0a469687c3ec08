// A list box whose keyboard focus shows also while no line is current (an empty list, or one the
// program cleared): styles draw the focus on the current line only, which would leave a keyboard
// user nothing to see.
#pragma once

#include <QListWidget>

namespace toolkit::qt {

class ListBox final : public QListWidget {
 public:
  explicit ListBox(QWidget* parent) : QListWidget(parent) {}

 protected:
  void paintEvent(QPaintEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
};

}  // namespace toolkit::qt
