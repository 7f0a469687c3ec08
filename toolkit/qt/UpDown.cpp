#include "toolkit/qt/UpDown.h"

#include <QEvent>
#include <QKeyEvent>

namespace toolkit::qt {

UpDown::UpDown(QWidget* parent)
    : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this)) {
  up_->setArrowType(Qt::UpArrow);
  down_->setArrowType(Qt::DownArrow);
  for (QToolButton* b : {up_, down_}) {
    b->setAutoRepeat(true);
    b->setFocusPolicy(Qt::NoFocus);
  }
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

void UpDown::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int half = height() / 2;
  up_->setGeometry(0, 0, width(), half);
  down_->setGeometry(0, half, width(), height() - half);
}

}  // namespace toolkit::qt
