#include "toolkit/qt/UpDown.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>

namespace toolkit::qt {
namespace {

// An arrow of the control. The control draws nothing of its own beneath them, so the arrows draw
// its focus frame, each the part of it that falls on them.
class ArrowButton final : public QToolButton {
 public:
  ArrowButton(QWidget* control, Qt::ArrowType arrow) : QToolButton(control), control_(control) {
    setArrowType(arrow);
    setAutoRepeat(true);
    setFocusPolicy(Qt::NoFocus);
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QToolButton::paintEvent(event);
    if (!control_->hasFocus()) return;
    QPainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(control_);
    // Styles that draw focus only after keyboard use are given it: this control takes the focus
    // from the keyboard alone.
    option.state |= QStyle::State_HasFocus | QStyle::State_KeyboardFocusChange;
    option.rect = QRect(mapFrom(control_, QPoint(0, 0)), control_->size()).adjusted(1, 1, -1, -1);
    option.backgroundColor = palette().color(QPalette::Button);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
  }

 private:
  QWidget* control_;
};

class UpDownAccessible final : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit UpDownAccessible(UpDown* control)
      : QAccessibleWidget(control, QAccessible::SpinBox), control_(control) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) {
      return control_->ValueText ? control_->ValueText() : QString::number(control_->Position());
    }
    return QAccessibleWidget::text(t);
  }

  QVariant currentValue() const override { return int{control_->Position()}; }
  void setCurrentValue(const QVariant& value) override { control_->SetPosition(value.toInt()); }
  QVariant maximumValue() const override { return control_->Max(); }
  QVariant minimumValue() const override { return control_->Min(); }
  QVariant minimumStepSize() const override { return 1; }

 private:
  UpDown* control_;
};

QAccessibleInterface* UpDownInterface(const QString& /*className*/, QObject* object) {
  // No moc for this class: it is known by its type, not by a class name.
  if (auto* control = dynamic_cast<UpDown*>(object)) return new UpDownAccessible(control);
  return nullptr;
}

}  // namespace

UpDown::UpDown(QWidget* parent)
    : QWidget(parent),
      up_(new ArrowButton(this, Qt::UpArrow)),
      down_(new ArrowButton(this, Qt::DownArrow)) {
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(&UpDownInterface);
    return true;
  }();
  (void)factoryInstalled;
  connect(up_, &QToolButton::clicked, this, [this] { Step(UDBtnType::btNext); });
  connect(down_, &QToolButton::clicked, this, [this] { Step(UDBtnType::btPrev); });
  setFocusPolicy(Qt::TabFocus);
}

void UpDown::SetRange(int min, int max) {
  min_ = min;
  max_ = max;
}

bool UpDown::SetPosition(int position) {
  const auto next = static_cast<short>(position);
  if (next == position_) return false;
  bool allow = true;
  if (OnChanging) OnChanging(allow);
  if (!allow) return false;
  position_ = next;
  ShowInBuddy();
  QAccessibleValueChangeEvent changed(this, int{position_});
  QAccessible::updateAccessibility(&changed);
  return true;
}

void UpDown::Step(UDBtnType direction) {
  const int target = position_ + (direction == UDBtnType::btNext ? 1 : -1);
  if (target < min_ || target > max_) return;
  if (SetPosition(target) && OnClick) OnClick(direction);
}

void UpDown::SetBuddy(QLineEdit* buddy) {
  if (buddyAlive_ != nullptr) buddyAlive_->removeEventFilter(this);
  buddy_ = buddy;
  buddyAlive_ = buddy;
  if (buddy != nullptr) buddy->installEventFilter(this);
  ShowInBuddy();
}

void UpDown::ShowInBuddy() {
  if (buddyAlive_ != nullptr) buddy_->setText(QString::number(position_));
}

void UpDown::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Up) {
    Step(UDBtnType::btNext);
  } else if (event->key() == Qt::Key_Down) {
    Step(UDBtnType::btPrev);
  } else {
    QWidget::keyPressEvent(event);
  }
}

bool UpDown::eventFilter(QObject* watched, QEvent* event) {
  // The arrow keys in the buddy edit step the position, as the arrows do.
  if (watched == buddyAlive_.data() && event->type() == QEvent::KeyPress && isEnabled()) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      Step(key == Qt::Key_Up ? UDBtnType::btNext : UDBtnType::btPrev);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void UpDown::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  up_->update();
  down_->update();
}

void UpDown::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  up_->update();
  down_->update();
}

void UpDown::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int half = height() / 2;
  up_->setGeometry(0, 0, width(), half);
  down_->setGeometry(0, half, width(), height() - half);
}

}  // namespace toolkit::qt
