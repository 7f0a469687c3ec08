// The Windows atomic writer with its chance and its waits supplied by the caller, so that tests can
// hand it a temporary name already in use and stand in for a program that holds the file a moment.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "toolkit/AtomicFile.h"

namespace toolkit::win32 {

struct AtomicWriteSeams {
  std::function<std::uint32_t()> nameNumber;             // the number in a temporary file's name
  std::function<void(std::uint32_t milliseconds)> wait;  // before a refused move is tried again
};

// The waits between attempts of a move the system refuses because someone holds a file for a
// moment (virus scanners, indexers, backup programs): about 0.6 s in all, then the move fails.
inline constexpr std::uint32_t kMoveWaitsMs[] = {10, 20, 40, 80, 160, 320};

Error WriteFileAtomically(const std::string& path, std::string_view contents, Existing existing,
                          const AtomicWriteSeams& seams);

}  // namespace toolkit::win32
