// How long the window takes for the whole read chain (codes 7, 8, 9, 10, 1, 2, 3, 4, 5) against
// the virtual headset on a pseudo-terminal, beside the floor on this machine: a minimal loop doing
// the same nine exchanges on a raw descriptor to the same headset.
//
//   qmr7-bench-chain [RUNS]     (default 300)
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Mainform.h"
#include "platform/DeviceNotifier.h"
#include "platform/PortEnumerator.h"
#include "sim/VirtualHeadset.h"
#include "toolkit/qt/QtClock.h"
#include "toolkit/qt/QtDispatcher.h"
#include "toolkit/testing/ScriptedUiServices.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChain[] = {7, 8, 9, 10, 1, 2, 3, 4, 5};

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One exchange on a raw descriptor: the command out, then lines in until the status line.
void Exchange(int fd, int code) {
  const std::string line = "AT+FPCMD1=" + std::to_string(code) + "\r";
  if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::abort();
  std::string got;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) std::abort();
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) std::abort();
    got.append(buf, static_cast<std::size_t>(n));
    const auto status = got.find("+FPSTS1=");
    if (status != std::string::npos && got.find('\n', status) != std::string::npos) return;
  }
}

std::vector<double> Floor(const std::string& path, int runs) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) std::abort();
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::cfsetspeed(&t, B115200);
  ::tcsetattr(fd, TCSANOW, &t);
  std::vector<double> times;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = Clock::now();
    for (int code : kChain)
      Exchange(fd, code);
    times.push_back(Micros(Clock::now() - t0));
  }
  ::close(fd);
  return times;
}

std::vector<double> Window(const std::string& path, int runs) {
  toolkit::qt::QtClock clock;
  toolkit::qt::QtDispatcher dispatcher;
  toolkit::testing::ScriptedUiServices ui;
  platform::FixedPortEnumerator ports({{path, sim::kDefaultDescription}});
  platform::ManualDeviceNotifier notifier;
  app::TMajorForm form(
      {clock, ui, dispatcher, ports, notifier, "bench", "/nonexistent", nullptr, {}, {}});
  if (!form.OpenComPort(path)) std::abort();
  std::vector<double> times;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = Clock::now();
    form.PendingCommand = 7;
    form.SendDeviceCommand();
    while (form.PendingCommand != app::kIdleCommand) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    times.push_back(Micros(Clock::now() - t0));
  }
  form.CloseComPort();
  dispatcher.Shutdown();
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication application(argc, argv);
  sim::VirtualHeadset headset(sim::HeadsetState{}, sim::VirtualHeadset::Options{});
  const std::string path = headset.SlavePath();

  // Alternate the two so that both see the same machine.
  std::vector<double> floor;
  std::vector<double> window;
  for (int round = 0; round < 5; ++round) {
    for (double t : Floor(path, runs / 5))
      floor.push_back(t);
    for (double t : Window(path, runs / 5))
      window.push_back(t);
  }
  const double f = Median(floor);
  const double w = Median(window);
  std::printf("read chain, 9 exchanges, median of %zu runs each\n", floor.size());
  std::printf("  raw descriptor (floor)  %9.1f us\n", f);
  std::printf("  the window              %9.1f us\n", w);
  std::printf("  ratio                   %9.2f  (target <= 1.50)\n", w / f);
  return 0;
}
