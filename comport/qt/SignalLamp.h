// A small round lamp that a signal indicator colours: a Qt widget and the indicator's control.
// Destroyed with its parent widget like any other; an indicator bound to it forgets it then.
#pragma once

#include <QWidget>

#include "comport/ComSignal.h"

namespace comport::qt {

class TSignalLamp final : public QWidget, public TControl {
 public:
  explicit TSignalLamp(QWidget* parent = nullptr, toolkit::Component* owner = nullptr);

  TColor Color() const override { return color_; }
  void SetColor(TColor color) override;
  QSize sizeHint() const override { return {12, 12}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  TColor color_ = clGreen;
};

// 0x00BBGGRR as Qt's colour.
QColor ToQColor(TColor color);

}  // namespace comport::qt
