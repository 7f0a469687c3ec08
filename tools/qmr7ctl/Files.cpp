#include "tools/qmr7ctl/Files.h"

#include "toolkit/AtomicFile.h"

namespace qmr7ctl {

toolkit::Error WriteFileInPlace(const std::string& path, std::string_view contents, bool replace) {
  return toolkit::WriteFileAtomically(
      path, contents, 0644, replace ? toolkit::Existing::Replace : toolkit::Existing::Keep);
}

}  // namespace qmr7ctl
