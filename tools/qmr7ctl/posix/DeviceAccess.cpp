#include "tools/qmr7ctl/Ports.h"

namespace qmr7ctl {

bool DeviceAccessByUdevRules() {
  return true;
}

}  // namespace qmr7ctl
