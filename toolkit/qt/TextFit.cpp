#include "toolkit/qt/TextFit.h"

#include <QAbstractItemView>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>

namespace toolkit::qt {
namespace {

// The space QLineEdit keeps between its contents and its text.
constexpr int kEditHorizontalMargin = 2;
constexpr int kEditVerticalMargin = 1;

TextRoom ButtonRoom(const QPushButton* button) {
  QStyleOptionButton option;
  option.initFrom(button);
  option.text = button->text();
  const QStyle* style = button->style();
  const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
  const QRect contents = style->subElementRect(QStyle::SE_PushButtonContents, &option, button);
  return {contents.adjusted(margin, 0, -margin, 0), Qt::AlignCenter};
}

TextRoom EditRoom(const QLineEdit* edit) {
  QStyleOptionFrame option;
  option.initFrom(edit);
  option.lineWidth = edit->hasFrame()
                         ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit)
                         : 0;
  const QRect contents = edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
  const QMargins margins = edit->textMargins();
  return {contents.adjusted(
              kEditHorizontalMargin + margins.left(), kEditVerticalMargin + margins.top(),
              -kEditHorizontalMargin - margins.right(), -kEditVerticalMargin - margins.bottom()),
          edit->alignment()};
}

}  // namespace

TextRoom TextRoomOf(const QWidget* control) {
  if (const auto* button = qobject_cast<const QPushButton*>(control)) return ButtonRoom(button);
  if (const auto* edit = qobject_cast<const QLineEdit*>(control)) return EditRoom(edit);
  if (const auto* view = qobject_cast<const QAbstractItemView*>(control)) {
    // Item views keep a margin beside each line's text.
    const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    const QRect lines(QPoint(0, 0), view->contentsRect().size());
    return {lines.adjusted(margin, 0, -margin, 0), Qt::AlignLeft | Qt::AlignVCenter};
  }
  if (const auto* label = qobject_cast<const QLabel*>(control)) {
    return {label->contentsRect(), label->alignment()};
  }
  return {control->contentsRect(), Qt::AlignLeft | Qt::AlignVCenter};
}

bool TextFits(const QFont& font, const QString& text, const TextRoom& room) {
  const QFontMetricsF metrics(font);
  if (metrics.horizontalAdvance(text) > room.rect.width()) return false;
  if (text.isEmpty()) return true;
  // Placed as QPainter places one line in a rectangle.
  qreal top = room.rect.top();
  const qreal spare = room.rect.height() - metrics.height();
  if ((room.alignment & Qt::AlignBottom) != 0) {
    top += spare;
  } else if ((room.alignment & Qt::AlignVCenter) != 0) {
    top += spare / 2;
  }
  // Glyph boxes come rounded out to whole pixels: half a pixel past the room is no ink past it.
  constexpr qreal kRounding = 0.5;
  const QRectF ink = metrics.tightBoundingRect(text).translated(0, top + metrics.ascent());
  return ink.top() >= room.rect.top() - kRounding &&
         ink.bottom() <= room.rect.top() + room.rect.height() + kRounding;
}

FittedFont FitFont(const QFont& font, const QStringList& texts, const TextRoom& room) {
  auto allFit = [&](const QFont& f) {
    for (const QString& text : texts) {
      if (!TextFits(f, text, room)) return false;
    }
    return true;
  };
  if (allFit(font)) return {font, true};
  // The size is kept as long as a narrower font will do.
  const int ownSize = QFontInfo(font).pixelSize();
  QFont fitted = font;
  for (int size = ownSize; size >= kMinPixelSize; --size) {
    if (size != ownSize) fitted.setPixelSize(size);
    for (int stretch = 100; stretch >= kMinStretch; stretch -= 5) {
      fitted.setStretch(stretch);
      if (allFit(fitted)) return {fitted, true};
    }
  }
  return {fitted, false};
}

bool FitControlFont(QWidget* control, const QStringList& texts) {
  const FittedFont fitted = FitFont(control->font(), texts, TextRoomOf(control));
  if (fitted.font != control->font()) control->setFont(fitted.font);
  return fitted.fits;
}

}  // namespace toolkit::qt
