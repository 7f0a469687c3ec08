#include "toolkit/Utf.h"

namespace toolkit {
namespace {

bool IsSurrogate(char32_t c) {
  return c >= 0xD800 && c < 0xE000;
}
bool IsHighSurrogate(char32_t c) {
  return c >= 0xD800 && c < 0xDC00;
}
bool IsLowSurrogate(char32_t c) {
  return c >= 0xDC00 && c < 0xE000;
}

// The sequence length a lead byte announces, 0 for a byte that cannot lead (a continuation byte,
// C0 and C1, which could only start overlong forms, and F5 to FF, beyond U+10FFFF).
std::size_t AnnouncedLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead < 0xE0) return 2;
  if (lead >= 0xE0 && lead < 0xF0) return 3;
  if (lead >= 0xF0 && lead < 0xF5) return 4;
  return 0;
}

// The code point of the well-formed character at `pos` and its size, or size 0 when there is none.
struct Decoded {
  char32_t c = 0;
  std::size_t size = 0;
};

Decoded DecodeAt(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  const std::size_t length = AnnouncedLength(lead);
  if (length == 0 || pos + length > text.size()) return {};
  if (length == 1) return {lead, 1};
  char32_t c = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[pos + k]);
    if ((next & 0xC0) != 0x80) return {};
    c = (c << 6) | (next & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMin[length] || c > 0x10FFFF || IsSurrogate(c)) return {};
  return {c, length};
}

}  // namespace

std::size_t Utf8CharSize(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return 0;
  const std::size_t size = DecodeAt(text, pos).size;
  return size == 0 ? 1 : size;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (IsSurrogate(c) || c > 0x10FFFF) c = kReplacementChar;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Decoded d = DecodeAt(text, i);
    if (d.size == 0) {
      out += static_cast<char16_t>(kReplacementChar);
      ++i;
      continue;
    }
    i += d.size;
    if (d.c < 0x10000) {
      out += static_cast<char16_t>(d.c);
    } else {
      out += static_cast<char16_t>(0xD800 + ((d.c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((d.c - 0x10000) & 0x3FF));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    AppendUtf8(out, c);  // an unpaired surrogate becomes U+FFFD there
  }
  return out;
}

}  // namespace toolkit
