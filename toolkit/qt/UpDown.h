// A spin control: up and down arrows that step an integer position by 1 between Min and Max,
// without wrapping. OnChanging comes before every position change, also one the program makes,
// and may refuse it; OnClick comes after a step made with the arrows, with its direction. When a
// buddy edit is attached it shows the position.
//
// Screen readers meet it as a spin box: its accessible name and description are the widget's,
// its value is ValueText (the position when unset), and every change of the position is
// announced. With the keyboard focus the arrows carry the style's focus frame.
#pragma once

#include <QLineEdit>
#include <QPointer>
#include <QToolButton>
#include <QWidget>
#include <functional>

namespace toolkit::qt {

enum class UDBtnType { btNext, btPrev };

class UpDown final : public QWidget {
 public:
  explicit UpDown(QWidget* parent);

  int Min() const { return min_; }
  int Max() const { return max_; }
  void SetRange(int min, int max);

  short Position() const { return position_; }
  // Raises OnChanging; returns whether the position changed.
  bool SetPosition(int position);

  // Steps as one click on an arrow: changing, the step, then click.
  void Step(UDBtnType direction);

  QLineEdit* Buddy() const { return buddyAlive_ != nullptr ? buddy_ : nullptr; }
  void SetBuddy(QLineEdit* buddy);

  std::function<void(bool& allowChange)> OnChanging;
  std::function<void(UDBtnType button)> OnClick;
  // What the position means to a listener, when the number alone does not say it.
  std::function<QString()> ValueText;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ShowInBuddy();

  QToolButton* up_;
  QToolButton* down_;
  // Tracked as a QObject: the buddy may be mid-destruction when its last events arrive.
  QPointer<QObject> buddyAlive_;
  QLineEdit* buddy_ = nullptr;
  int min_ = 0;
  int max_ = 100;
  short position_ = 0;
};

}  // namespace toolkit::qt
