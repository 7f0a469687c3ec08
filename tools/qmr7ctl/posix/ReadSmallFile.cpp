#include "toolkit/SmallFile.h"
#include "tools/qmr7ctl/Files.h"

namespace qmr7ctl {

std::string ReadSmallFile(const std::string& path, std::size_t limit, std::string& contents) {
  return toolkit::ReadSmallFile(path, limit, contents).text;
}

}  // namespace qmr7ctl
