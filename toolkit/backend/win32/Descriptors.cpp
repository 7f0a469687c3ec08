// Windows has no descriptors to watch: the dispatch queue offers no watcher there.
#include "toolkit/Descriptors.h"

namespace toolkit::descriptors {

bool Available() {
  return false;
}

bool MakeWakePipe(int (&fds)[2]) {
  fds[0] = fds[1] = -1;
  return false;
}

void Close(int) {}
void Wake(int) {}
void Drain(int) {}

void PollReadable(std::span<const int> fds, std::vector<bool>& ready, int) {
  ready.assign(fds.size(), false);
}

}  // namespace toolkit::descriptors
