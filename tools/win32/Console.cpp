#include "tools/Console.h"

#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

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
    std::function<void()> restore;
    // Without it a console prints "\x1b[K" as it stands. Both streams may share one console.
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0 &&
        ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
      restore = [handle, mode] { ::SetConsoleMode(handle, mode); };
    }
    redirects_.push_back({stream, previous, std::move(buffer), std::move(restore)});
  }
}

Utf8Console::~Utf8Console() {
  // Undone in reverse: where both streams share a console, the first mode seen is the original.
  for (auto redirect = redirects_.rbegin(); redirect != redirects_.rend(); ++redirect) {
    redirect->stream->flush();
    redirect->stream->rdbuf(redirect->previous);
    if (redirect->restore) redirect->restore();
  }
}

}  // namespace tools
