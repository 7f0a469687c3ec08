#include "toolkit/qt/PageControl.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

namespace toolkit::qt {
namespace {

// Routes every page change that comes from the user through PageControl::RequestPage.
class VetoTabBar final : public QTabBar {
 public:
  explicit VetoTabBar(PageControl* pages) : QTabBar(pages), pages_(pages) {}

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    const int index = tabAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && index >= 0 && index != currentIndex()) {
      pages_->RequestPage(index);
      event->accept();
      return;
    }
    QTabBar::mousePressEvent(event);
  }

  void keyPressEvent(QKeyEvent* event) override {
    const int step = event->key() == Qt::Key_Left ? -1 : event->key() == Qt::Key_Right ? 1 : 0;
    if (step == 0) {
      QTabBar::keyPressEvent(event);
      return;
    }
    for (int i = currentIndex() + step; i >= 0 && i < count(); i += step) {
      if (isTabEnabled(i)) {
        pages_->RequestPage(i);
        break;
      }
    }
    event->accept();
  }

  void wheelEvent(QWheelEvent* event) override { event->ignore(); }

 private:
  PageControl* pages_;
};

}  // namespace

PageControl::PageControl(QWidget* parent) : QTabWidget(parent) {
  setTabBar(new VetoTabBar(this));
}

bool PageControl::RequestPage(int index) {
  if (index == currentIndex() || index < 0 || index >= count()) return false;
  bool allow = true;
  if (OnChanging) OnChanging(allow);
  if (!allow) return false;
  setCurrentIndex(index);
  return true;
}

void PageControl::keyPressEvent(QKeyEvent* event) {
  const bool ctrlTab = (event->modifiers() & Qt::ControlModifier) != 0 &&
                       (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab);
  if (ctrlTab && count() > 0) {
    const int step = event->key() == Qt::Key_Backtab ? -1 : 1;
    RequestPage((currentIndex() + step + count()) % count());
    event->accept();
    return;
  }
  QTabWidget::keyPressEvent(event);
}

}  // namespace toolkit::qt
