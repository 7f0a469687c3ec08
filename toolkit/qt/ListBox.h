// A list box whose keyboard focus shows as a frame inside its edge. Styles mark the focus on the
// current line only: nothing shows while no line is current (an empty list), and some styles draw
// it so faintly on a selected line that the focused list looks like any other.
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
