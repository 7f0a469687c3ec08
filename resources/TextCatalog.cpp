#include "resources/TextCatalog.h"

#include <algorithm>

#include "toolkit/Utf.h"

namespace resources {
namespace {

Language gLanguage = Language::English;

}  // namespace

void SetLanguage(Language language) {
  gLanguage = language;
}
Language ActiveLanguage() {
  return gLanguage;
}

std::string LoadText(TextId id) {
  const auto it = std::lower_bound(kCatalog.begin(), kCatalog.end(), id,
                                   [](const CatalogEntry& e, TextId key) { return e.id < key; });
  if (it == kCatalog.end() || it->id != id) return {};
  std::string_view text = gLanguage == Language::Japanese ? it->japanese : it->english;
  return std::string(TruncateBytes(text, kMaxTextBytes));
}

std::vector<std::string> SplitNoteLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' && text[i] != '\r') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::string FitText(std::string_view text, int width,
                    const std::function<int(std::string_view line)>& measure) {
  std::string out;
  out.reserve(2 * text.size() + 1);
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t len = toolkit::Utf8CharSize(text, i);
    const std::size_t charStart = out.size();
    out.append(text.substr(i, len));
    i += len;
    const std::size_t lastBreak = out.rfind('\n');
    const std::size_t lineStart = lastBreak == std::string::npos ? 0 : lastBreak + 1;
    if (width < measure(std::string_view(out).substr(lineStart))) out.insert(charStart, 1, '\n');
  }
  return out;
}

std::string_view TruncateBytes(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t end = 0;
  for (std::size_t next = 0; next <= maxBytes; next += toolkit::Utf8CharSize(text, next))
    end = next;
  return text.substr(0, end);
}

std::size_t CharCount(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++count) {
    i += toolkit::Utf8CharSize(text, i);
  }
  return count;
}

std::string TruncateChars(std::string_view text, std::size_t maxChars) {
  std::size_t i = 0;
  for (std::size_t n = 0; n < maxChars && i < text.size(); ++n) {
    i += toolkit::Utf8CharSize(text, i);
  }
  return std::string(text.substr(0, i));
}

}  // namespace resources
