#include "toolkit/qt/ListBox.h"

#include <QPainter>
#include <QRegion>
#include <QStyleOptionFocusRect>

namespace toolkit::qt {

void ListBox::paintEvent(QPaintEvent* event) {
  QListWidget::paintEvent(event);
  if (!hasFocus()) return;
  QPainter painter(viewport());
  QStyleOptionFocusRect option;
  option.initFrom(this);
  option.state |= QStyle::State_HasFocus | QStyle::State_KeyboardFocusChange;
  option.rect = viewport()->rect().adjusted(1, 1, -1, -1);
  // Only the frame: styles that tint the whole focus rectangle would tint the lines too.
  const QRegion frame = QRegion(option.rect) - QRegion(option.rect.adjusted(2, 2, -2, -2));
  painter.setClipRegion(frame);
  option.backgroundColor = palette().color(QPalette::Base);
  style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}

void ListBox::focusInEvent(QFocusEvent* event) {
  QListWidget::focusInEvent(event);
  viewport()->update();
}

void ListBox::focusOutEvent(QFocusEvent* event) {
  QListWidget::focusOutEvent(event);
  viewport()->update();
}

}  // namespace toolkit::qt
