#include "comport/qt/SignalLamp.h"

#include <QPainter>
#include <algorithm>

namespace comport::qt {

QColor ToQColor(TColor color) {
  return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                static_cast<int>((color >> 16) & 0xFF));
}

TSignalLamp::TSignalLamp(QWidget* parent, toolkit::Component* owner)
    : QWidget(parent), TControl(owner) {
  setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void TSignalLamp::SetColor(TColor color) {
  if (color == color_) return;
  color_ = color;
  update();
}

void TSignalLamp::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(palette().color(QPalette::Dark), 1));
  painter.setBrush(ToQColor(color_));
  const int side = std::min(width(), height()) - 2;
  painter.drawEllipse((width() - side) / 2, (height() - side) / 2, side, side);
}

}  // namespace comport::qt
