#include "toolkit/Descriptors.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace toolkit::descriptors {

bool Available() {
  return true;
}

bool MakeWakePipe(int (&fds)[2]) {
  return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0;
}

void Close(int fd) {
  ::close(fd);
}

void Wake(int writeEnd) {
  const char byte = 0;
  [[maybe_unused]] const ssize_t n = ::write(writeEnd, &byte, 1);
}

void Drain(int readEnd) {
  char bytes[64];
  while (::read(readEnd, bytes, sizeof bytes) > 0) {
  }
}

void PollReadable(std::span<const int> fds, std::vector<bool>& ready, int timeoutMs) {
  std::vector<pollfd> polled;
  for (const int fd : fds)
    polled.push_back({fd, POLLIN, 0});
  int n = 0;
  do {
    n = ::poll(polled.data(), polled.size(), timeoutMs);
  } while (n < 0 && errno == EINTR);
  ready.assign(fds.size(), false);
  for (std::size_t i = 0; n > 0 && i < polled.size(); ++i)
    ready[i] = (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

}  // namespace toolkit::descriptors
