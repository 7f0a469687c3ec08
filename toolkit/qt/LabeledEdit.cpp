#include "toolkit/qt/LabeledEdit.h"

#include <QEvent>
#include <QFontMetrics>

#include "toolkit/Application.h"

namespace toolkit::qt {

LabeledEdit::LabeledEdit(QWidget* parent) : QLineEdit(parent), label_(new QLabel(parent)) {
  label_->setBuddy(this);
  label_->setTextFormat(Qt::PlainText);
  connect(this, &QLineEdit::textChanged, this, [this] {
    if (OnChange) OnChange();
  });
}

void LabeledEdit::SetLabelText(const QString& text) {
  label_->setText(text);
  PlaceLabel();
}

void LabeledEdit::PlaceLabel() {
  const QFontMetrics metrics(label_->font());
  const int width = metrics.horizontalAdvance(label_->text());
  const int height = metrics.height();
  label_->setGeometry(x() - kLabelSpacing - width, y() + (this->height() - height) / 2, width,
                      height);
}

void LabeledEdit::moveEvent(QMoveEvent* event) {
  QLineEdit::moveEvent(event);
  PlaceLabel();
}

void LabeledEdit::resizeEvent(QResizeEvent* event) {
  QLineEdit::resizeEvent(event);
  PlaceLabel();
}

void LabeledEdit::changeEvent(QEvent* event) {
  QLineEdit::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    label_->setFont(font());
    PlaceLabel();
  } else if (event->type() == QEvent::EnabledChange) {
    label_->setEnabled(isEnabled());
  }
}

void LabeledEdit::showEvent(QShowEvent* event) {
  QLineEdit::showEvent(event);
  label_->setVisible(true);
}

void LabeledEdit::hideEvent(QHideEvent* event) {
  QLineEdit::hideEvent(event);
  if (isHidden()) label_->setVisible(false);
}

}  // namespace toolkit::qt
