// Linux: the test holds the pseudo-terminal itself.
#include "tests/app/posix/PtyHeadsetLine.h"

namespace app::testing {

std::optional<std::string> HeadsetLineUnavailable() {
  return std::nullopt;
}

std::unique_ptr<HeadsetLine> MakeHeadsetLine() {
  return std::make_unique<PtyHeadsetLine>();
}

}  // namespace app::testing
