// A single-line edit with a label on its left. The label is as wide as its text, its right edge
// stands 3 px left of the edit and it is centred vertically on the edit; when its text changes it
// keeps that place and grows or shrinks to the left. OnChange follows every change of the text,
// whether the user or the program makes it.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <functional>

namespace toolkit::qt {

class LabeledEdit final : public QLineEdit {
 public:
  static constexpr int kLabelSpacing = 3;

  explicit LabeledEdit(QWidget* parent);

  QLabel* EditLabel() const { return label_; }
  void SetLabelText(const QString& text);

  std::function<void()> OnChange;

 protected:
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void PlaceLabel();

  QLabel* label_;
};

}  // namespace toolkit::qt
