#include "tools/qmr7ctl/Ports.h"

namespace qmr7ctl {

bool DeviceAccessByUdevRules() {
  return false;
}

}  // namespace qmr7ctl
