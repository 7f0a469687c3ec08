// The program keeps its texts as UTF-8 std::string; Qt wants QString.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace toolkit::qt {

inline QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string S(const QString& text) { return text.toUtf8().toStdString(); }

}  // namespace toolkit::qt
