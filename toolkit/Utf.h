// Text encodings: UTF-8, the program's own, and UTF-16, which the serial component's wide strings
// and USB string descriptors use.
//
// Malformed input never stops a conversion and never passes through: each maximal piece that is
// not a well-formed character becomes U+FFFD. In UTF-8 that piece is one byte (a stray
// continuation byte, a lead byte without its continuation bytes, an overlong form, a surrogate, a
// value above U+10FFFF); in UTF-16 it is one unpaired surrogate. Utf8CharSize walks text by the
// same rule, so cutting text at its boundaries and decoding it agree on what a character is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace toolkit {

inline constexpr char32_t kReplacementChar = 0xFFFD;

// The size in bytes of the character that starts at `text[pos]`: 1 to 4 for a well-formed one, 1
// for a byte that starts none (decoded as one U+FFFD). 0 when `pos` is at or past the end.
std::size_t Utf8CharSize(std::string_view text, std::size_t pos);

// Appends one code point; a surrogate or a value above U+10FFFF is appended as U+FFFD.
void AppendUtf8(std::string& out, char32_t c);

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace toolkit
