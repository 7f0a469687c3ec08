// Fitting a control's one line of text into the room the control gives it. The layout's places
// and sizes are fixed and the fonts differ by language and platform, so a text that would run past
// its control gets a narrower font, and only if that is not enough a smaller one.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>
#include <QStringList>

class QWidget;

namespace toolkit::qt {

// Where a control draws its line of text, in its own coordinates, and how it aligns it there.
struct TextRoom {
  QRect rect;
  Qt::Alignment alignment;
};

// A label's contents; a button's contents less the margins its style keeps beside a caption; an
// edit's text area; the width of an item view's lines.
TextRoom TextRoomOf(const QWidget* control);

// Whether `text` set in `font` fits `room`: no wider than it, and its ink, where the alignment puts
// the line, inside it from top to bottom.
bool TextFits(const QFont& font, const QString& text, const TextRoom& room);

// Narrows the font, down to kMinStretch percent of its width, and only when that is not enough
// makes it smaller, down to kMinPixelSize, until every one of `texts` fits `room`. Returns the
// font (the given one when the texts fit it) and whether they fit.
struct FittedFont {
  QFont font;
  bool fits;
};
FittedFont FitFont(const QFont& font, const QStringList& texts, const TextRoom& room);

// FitFont for a control's own room, applied to the control. Returns whether the texts fit.
bool FitControlFont(QWidget* control, const QStringList& texts);

inline constexpr int kMinStretch = 80;
inline constexpr int kMinPixelSize = 9;

}  // namespace toolkit::qt
