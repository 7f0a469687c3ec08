#include "tools/Console.h"

namespace tools {

// Terminals here take the locale's encoding, UTF-8 on every system the tool supports.
Utf8Console::Utf8Console() = default;

Utf8Console::~Utf8Console() = default;

}  // namespace tools
