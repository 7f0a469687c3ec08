#include "toolkit/qt/NoteMemo.h"

#include <QEvent>
#include <QFontInfo>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace toolkit::qt {

NoteMemo::NoteMemo(QWidget* parent) : QTextEdit(parent) {
  setReadOnly(true);
  setAcceptRichText(false);
  setFrameShape(QFrame::NoFrame);
  setLineWrapMode(QTextEdit::WidgetWidth);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFocusPolicy(Qt::ClickFocus);
  document()->setDocumentMargin(1);
  QPalette p = palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    p.setColor(group, QPalette::Base, Qt::transparent);
  }
  setPalette(p);
}

void NoteMemo::AddLine(const QString& line) {
  if (!hasLines_) {
    setPlainText(line);
    hasLines_ = true;
  } else {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertBlock();
    cursor.insertText(line);
  }
  SetLineHeight();
  verticalScrollBar()->setValue(0);
}

QStringList NoteMemo::Lines() const {
  if (!hasLines_) return {};
  return toPlainText().split(QChar::LineFeed);
}

void NoteMemo::changeEvent(QEvent* event) {
  QTextEdit::changeEvent(event);
  if (event->type() == QEvent::FontChange) SetLineHeight();
}

void NoteMemo::SetLineHeight() {
  QTextBlockFormat format;
  format.setLineHeight(QFontInfo(font()).pixelSize() + 1, QTextBlockFormat::FixedHeight);
  QTextCursor all(document());
  all.select(QTextCursor::Document);
  all.mergeBlockFormat(format);
  verticalScrollBar()->setValue(0);
}

}  // namespace toolkit::qt
