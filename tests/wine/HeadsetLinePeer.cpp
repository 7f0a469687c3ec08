// The Linux side of the stepped headset's line for the Windows tests under wine: the headset's
// pseudo-terminal, held and stepped on request as tests/app/posix/PtyHeadsetLine holds it for the
// Linux tests (tests/app/HeadsetLine.h says why).
//
//   qmr7-headset-line LINE_LINK CONTROL_LINK
//
// Makes the control pty and points CONTROL_LINK at its slave; for each device it is asked to make,
// a fresh pty with LINE_LINK pointing at its slave (wine's port mapping names both links). Takes
// one request at a time on the control pty (tests/app/HeadsetLineWire.h) and answers it once done.
// Prints "ready" once the control link is in place; runs until its standard input closes or it is
// terminated. It keeps the control slave open, so that the master sees no hang-up between two
// opens of the control port.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "tests/app/HeadsetLineWire.h"
#include "tests/app/posix/PtyHeadsetLine.h"

namespace {

namespace wire = app::testing::wire;

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("writing an answer: " + std::string(std::strerror(errno)));
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

void Link(const std::string& target, const char* link) {
  ::unlink(link);
  if (::symlink(target.c_str(), link) != 0) {
    throw std::runtime_error(std::string("linking ") + link + ": " + std::strerror(errno));
  }
}

class Peer {
 public:
  explicit Peer(const char* lineLink) : lineLink_(lineLink) {}
  ~Peer() { ::unlink(lineLink_); }

  // The answer to one request.
  std::string Answer(char kind, const std::string& payload) {
    try {
      return wire::Message(wire::kOk, Do(kind, payload));
    } catch (const std::exception& e) {
      std::string reason = e.what();
      reason.resize(std::max(reason.size(), wire::LeastAnswer(kind)), '.');
      return wire::Message(wire::kFailed, reason);
    }
  }

 private:
  std::string Do(char kind, const std::string& payload) {
    if (kind == wire::kNew) {
      line_.reset();
      line_ = std::make_unique<app::testing::PtyHeadsetLine>();
      Link(line_->Path(), lineLink_);
      return wire::Number(++number_);
    }
    const auto number = wire::NumberOf(payload);
    if (!number) throw std::runtime_error("a request without a device number");
    const bool current = line_ != nullptr && *number == number_;
    if (kind == wire::kHangUp) {
      if (current) {
        // Gone as a device leaves: its port's name goes with it.
        ::unlink(lineLink_);
        line_.reset();
      }
      return {};
    }
    if (!current) throw std::runtime_error("the device has gone");
    if (kind == wire::kStep && payload.size() >= 5) {
      const auto exchange = line_->Step(std::string_view(payload).substr(5), payload[4] == '1');
      return (exchange.toolHasUnread ? "1" : "0") + exchange.taken;
    }
    throw std::runtime_error(std::string("an unknown request '") + kind + "'");
  }

  const char* lineLink_;
  std::unique_ptr<app::testing::PtyHeadsetLine> line_;
  std::uint32_t number_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s LINE_LINK CONTROL_LINK\n", argv[0]);
    return 2;
  }
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
    std::perror("qmr7-headset-line: pty");
    return 1;
  }
  const std::string slaveName = ::ptsname(master);
  const int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw{};
  if (slave < 0 || ::tcgetattr(slave, &raw) != 0) {
    std::perror("qmr7-headset-line: slave");
    return 1;
  }
  ::cfmakeraw(&raw);
  ::tcsetattr(slave, TCSANOW, &raw);

  Peer peer(argv[1]);
  try {
    Link(slaveName, argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmr7-headset-line: %s\n", e.what());
    return 1;
  }
  std::printf("ready %s\n", slaveName.c_str());
  std::fflush(stdout);

  std::string received;
  pollfd fds[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  char buffer[4096];
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[1].revents != 0 && ::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) continue;
    received.append(buffer, static_cast<std::size_t>(n));
    while (received.size() >= wire::kHeaderSize) {
      const auto size = wire::PayloadSize(received);
      if (!size) {
        // Left over from a test that stopped halfway: what follows is a new one's.
        received.clear();
        break;
      }
      const std::size_t whole = wire::kHeaderSize + *size * 2;
      if (received.size() < whole) break;
      const auto payload =
          wire::Unhex(std::string_view(received).substr(wire::kHeaderSize, *size * 2));
      const std::string answer = payload
                                     ? peer.Answer(received[0], *payload)
                                     : wire::Message(wire::kFailed, "a request not in hexadecimal");
      received.erase(0, whole);
      try {
        WriteAll(master, answer);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "qmr7-headset-line: %s\n", e.what());
        return 1;
      }
    }
  }
  ::unlink(argv[2]);
  return 0;
}
