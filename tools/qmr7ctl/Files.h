// The files qmr7ctl reads and writes: small ones, whole, with the platform's reason on failure.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "toolkit/Error.h"

namespace qmr7ctl {

// Reads a regular file of at most `limit` bytes. Returns the reason it could not, empty on success.
std::string ReadSmallFile(const std::string& path, std::size_t limit, std::string& contents);

// Writes a backup atomically: a temporary file in the same folder, flushed, then put in place. A
// new file is its owner's alone (0600, less what the umask takes); a replaced one keeps its mode.
// Without `replace`, an existing file is never touched, also one that appears meanwhile: the new
// file is linked in place, which fails when the name exists. The failure carries the platform's
// code and text; a file that exists fails with EEXIST on every platform.
toolkit::Error WriteFileInPlace(const std::string& path, std::string_view contents, bool replace);

}  // namespace qmr7ctl
