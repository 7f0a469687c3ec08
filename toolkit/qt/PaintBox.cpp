#include "toolkit/qt/PaintBox.h"

#include <QMouseEvent>

namespace toolkit::qt {

void PaintBox::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && OnClick) {
    OnClick();
  }
  QWidget::mouseReleaseEvent(event);
}

}  // namespace toolkit::qt
