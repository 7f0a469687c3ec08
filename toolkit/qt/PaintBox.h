// A click area that draws nothing.
#pragma once

#include <QWidget>
#include <functional>

namespace toolkit::qt {

class PaintBox final : public QWidget {
 public:
  explicit PaintBox(QWidget* parent) : QWidget(parent) {}

  std::function<void()> OnClick;

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

}  // namespace toolkit::qt
