// Reading a small file whole, safely whatever stands at its path: opening never blocks (a named
// pipe or a device in the file's place is refused, not waited on), only a regular file is read,
// and never more than a limit (a link to an endless file cannot exhaust memory). POSIX systems.
#pragma once

#include <cstddef>
#include <string>

#include "toolkit/Error.h"

namespace toolkit {

// The whole of the regular file at `path`, at most `limit` bytes, into `text`. On failure `text`
// is empty and the error says why: the system's code and text (ENOENT for a file that is not
// there), or "not a regular file" (EISDIR for a folder, else EINVAL) or "larger than <limit>
// bytes" (EFBIG).
Error ReadSmallFile(const std::string& path, std::size_t limit, std::string& text);

}  // namespace toolkit
