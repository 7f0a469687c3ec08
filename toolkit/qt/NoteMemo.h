// A read-only note on a page: no border, in the page's colour, long lines wrapped, no scroll bars.
// Lines are set as close as the font allows, so a note fills no more height than the design gave
// it in either language (the CJK fonts here come with a generous line gap).
#pragma once

#include <QTextEdit>

namespace toolkit::qt {

class NoteMemo final : public QTextEdit {
 public:
  explicit NoteMemo(QWidget* parent);

  // Appends one line; the note shows from its first line.
  void AddLine(const QString& line);
  QStringList Lines() const;

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void SetLineHeight();

  // An empty document and a note of one empty line look alike; this tells them apart.
  bool hasLines_ = false;
};

}  // namespace toolkit::qt
