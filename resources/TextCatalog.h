// Looking texts up in the catalogue, and shaping them for the window.
//
// The language is chosen once, at start-up, from the user's interface language; every text is
// fetched by id at the moment of use. Texts are UTF-8.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "resources/TextIds.h"

namespace resources {

enum class Language { English, Japanese };

struct CatalogEntry {
  TextId id;
  const char* english;
  const char* japanese;
};

inline constexpr std::size_t kCatalogSize = 73;
// Sorted by id.
extern const std::array<CatalogEntry, kCatalogSize> kCatalog;

// The lookup buffer holds 1024 bytes with its terminator, so a text is delivered up to this many.
inline constexpr std::size_t kMaxTextBytes = 1023;

void SetLanguage(Language language);
Language ActiveLanguage();

// The text of `id` in the active language; the empty text for an id not in the catalogue. A text
// over kMaxTextBytes is cut to the last whole character that fits.
std::string LoadText(TextId id);

// A note as memo lines: a line ends at LF, CR or CR LF; an empty piece between two breaks is an
// empty line; a break at the very end adds no line. Spaces stay.
std::vector<std::string> SplitNoteLines(std::string_view text);

// Breaks `text` at character boundaries so that no line measures wider than `width`: after each
// character, if the current line is wider, a line feed goes in front of that character. Line feeds
// in the text start new lines. `measure` gives a line's width in the label's font.
std::string FitText(std::string_view text, int width,
                    const std::function<int(std::string_view line)>& measure);

// Characters here are those of toolkit/Utf.h: a byte that starts no well-formed character counts as
// one, as the decoder turns it into one U+FFFD.

// `text` cut to at most `maxBytes` bytes, never inside a character.
std::string_view TruncateBytes(std::string_view text, std::size_t maxBytes);

// `text` cut to at most `maxChars` characters, never inside one.
std::string TruncateChars(std::string_view text, std::size_t maxChars);
std::size_t CharCount(std::string_view text);

}  // namespace resources
