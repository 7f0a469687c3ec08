#include "tools/Console.h"

#include <windows.h>

#include <algorithm>
#include <iostream>

namespace tools {
namespace {

bool WriteToConsole(HANDLE console, std::u16string_view text) {
  while (!text.empty()) {
    // Bounded pieces, never splitting a surrogate pair between two of them.
    std::size_t piece = std::min<std::size_t>(text.size(), 8192);
    if (piece < text.size() && text[piece - 1] >= 0xD800 && text[piece - 1] <= 0xDBFF) --piece;
    DWORD written = 0;
    if (!::WriteConsoleW(console, text.data(), static_cast<DWORD>(piece), &written, nullptr) ||
        written == 0) {
      return false;
    }
    text.remove_prefix(std::min<std::size_t>(written, text.size()));
  }
  return true;
}

}  // namespace

Utf8Console::Utf8Console() {
  const std::pair<std::ostream*, DWORD> streams[] = {{&std::cout, STD_OUTPUT_HANDLE},
                                                     {&std::cerr, STD_ERROR_HANDLE}};
  for (const auto& [stream, which] : streams) {
    const HANDLE handle = ::GetStdHandle(which);
    DWORD mode = 0;
    // Only a console has a mode; a file or a pipe keeps the bytes as they are.
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode)) {
      continue;
    }
    auto buffer = std::make_unique<Utf16StreamBuffer>(
        [handle](std::u16string_view text) { return WriteToConsole(handle, text); });
    stream->flush();
    std::streambuf* previous = stream->rdbuf(buffer.get());
    redirects_.push_back({stream, previous, std::move(buffer)});
  }
}

Utf8Console::~Utf8Console() {
  for (Redirect& redirect : redirects_) {
    redirect.stream->flush();
    redirect.stream->rdbuf(redirect.previous);
  }
}

}  // namespace tools
