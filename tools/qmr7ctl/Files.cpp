#include "tools/qmr7ctl/Files.h"

#include "toolkit/AtomicFile.h"

namespace qmr7ctl {

toolkit::Error WriteFileInPlace(const std::string& path, std::string_view contents, bool replace) {
  // A backup holds the user's phone numbers and the headset's address: the owner's alone.
  return toolkit::WriteFileAtomically(
      path, contents, 0600, replace ? toolkit::Existing::Replace : toolkit::Existing::Keep);
}

}  // namespace qmr7ctl
