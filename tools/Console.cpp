#include "tools/Console.h"

#include <utility>

#include "toolkit/Utf.h"

namespace tools {
namespace {

// How much of `text` is whole characters: all of it, unless its last bytes begin a character
// that needs more bytes than are there. Cutting there decodes as the whole text would.
std::size_t WholeCharacters(std::string_view text) {
  const std::size_t size = text.size();
  for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
    const auto byte = static_cast<unsigned char>(text[size - back]);
    if ((byte & 0xC0) == 0x80) continue;
    // A byte that never starts a character (0xF8 and above) is one on its own.
    const std::size_t needs = byte >= 0xF8   ? 1
                              : byte >= 0xF0 ? 4
                              : byte >= 0xE0 ? 3
                              : byte >= 0xC0 ? 2
                                             : 1;
    return needs > back ? size - back : size;
  }
  return size;
}

}  // namespace

Utf16StreamBuffer::Utf16StreamBuffer(Sink sink) : sink_(std::move(sink)) {}

Utf16StreamBuffer::~Utf16StreamBuffer() {
  Pass(true);
}

Utf16StreamBuffer::int_type Utf16StreamBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  held_.push_back(traits_type::to_char_type(c));
  return Pass(false) ? c : traits_type::eof();
}

std::streamsize Utf16StreamBuffer::xsputn(const char* s, std::streamsize n) {
  held_.append(s, static_cast<std::size_t>(n));
  return Pass(false) ? n : 0;
}

bool Utf16StreamBuffer::Pass(bool all) {
  const std::size_t whole = all ? held_.size() : WholeCharacters(held_);
  if (whole == 0) return true;
  const std::u16string text = toolkit::Utf8ToUtf16(std::string_view(held_).substr(0, whole));
  held_.erase(0, whole);
  return sink_(text);
}

}  // namespace tools
