// A device that floods the tool's port: does the window's memory stay bounded, and does the window
// go on responding? The window is built as the program builds it (ToolWindow.h), shown offscreen;
// the device is a child process on a pseudo-terminal, registered as a USB headset, that answers
// like the headset until it is told to flood:
//
//   bytes    M MiB without a line end, as fast as the window takes them, then one line end;
//   lines    M MiB of short lines ("OK", status lines for commands nobody asked), as fast, then
//            one line end;
//   pending  the window opens the port and sends its first command; the device never answers it,
//            flooding lines instead, until the window's response time-out closes the port.
//
// Measured in the window's process: resident memory before, highest during (sampled every 10 ms)
// and after; the longest gap between the ticks of a 10 ms timer on the window's event loop (a
// frozen window shows the whole flood as one gap); for `pending`, when the time-out came. After
// each flood the port is opened again and the read chain must run. A flood cut off in the middle
// of a line leaves that line's start in the window's receive buffer, where an unfinished line
// stays across closing and opening the port; the first answer's "OK" then completes that line and
// is lost, so the chain may need a second opening: the table says which.
// Targets: memory grows by less than 1 MiB; the longest gap stays within 250 ms of what the same
// timer shows with no flood; the time-out comes within 250 ms of its 1000 ms.
//
//   qmr7-flood [--megabytes M] [--markdown]       (default 64 MiB)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/DeviceCommands.h"
#include "sim/Headset.h"
#include "tests/reliability/Reliability.h"
#include "tests/reliability/ToolWindow.h"
#include "tests/support/TempDir.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/Text.h"

namespace reliability {
namespace {

using namespace std::chrono_literals;
using toolkit::qt::S;

constexpr char kDescription[] = "USB Serial Device (QM-R7 flooding headset)";
constexpr long kRssTargetKiB = 1024;
constexpr auto kGapAllowance = 250ms;
constexpr auto kTimeoutAllowance = 250ms;
constexpr auto kResponseTimeout = 1000ms;
constexpr std::size_t kPiece = 16 * 1024;
constexpr char kTimeoutText[] = "Time out for the device to respond. Please start over again!";

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// --- The device ----------------------------------------------------------------------------------

// Commands from the measuring side, one per line on a socket:
//   A        answer as the headset does
//   B n      flood n bytes without a line end, then "\r\n"; report "done" when all are written
//   L n      flood n bytes of lines, then "\r\n"; report "done"
//   P        answer nothing; once a command comes, flood lines until X
//   X        stop flooding, forget what is queued for the port, answer again
//   N        let the port be opened again (a pty keeps the tool's exclusive flag, a port does not)
class FloodDevice {
 public:
  FloodDevice(int control, const platform::VirtualDeviceRegistry& registry)
      : control_(control), registry_(registry) {}

  int Run() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return 1;
    const std::string path = ::ptsname(master_);
    // Held open, so the tool may close and open the port again without the pty going away.
    slave_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return 1;
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    platform::VirtualDevice device;
    device.kind = platform::kSerialKind;
    device.path = path;
    device.description = kDescription;
    const platform::ScopedRegistration registration(registry_, device);
    Report("port " + path);

    for (;;) {
      const bool flooding = mode_ == Mode::Bytes || mode_ == Mode::Lines || floodingPending_;
      pollfd fds[2] = {
          {control_, POLLIN, 0},
          {master_, static_cast<short>(POLLIN | (out_.empty() && !flooding ? 0 : POLLOUT)), 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if ((fds[0].revents & (POLLIN | POLLHUP)) != 0 && !TakeCommands()) return 0;
      if ((fds[1].revents & POLLIN) != 0) Receive();
      if ((fds[1].revents & POLLOUT) != 0) Send();
    }
  }

 private:
  enum class Mode { Answer, Bytes, Lines, Pending };

  void Report(const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t n = ::write(control_, text.data(), text.size());
  }

  bool TakeCommands() {
    char buffer[256];
    const ssize_t n = ::read(control_, buffer, sizeof buffer);
    if (n <= 0) return false;
    commands_.append(buffer, static_cast<std::size_t>(n));
    std::size_t lf;
    while ((lf = commands_.find('\n')) != std::string::npos) {
      const std::string command = commands_.substr(0, lf);
      commands_.erase(0, lf + 1);
      const long long count = command.size() > 2 ? std::stoll(command.substr(2)) : 0;
      switch (command.empty() ? ' ' : command[0]) {
        case 'A':
          mode_ = Mode::Answer;
          break;
        case 'B':
        case 'L':
          mode_ = command[0] == 'B' ? Mode::Bytes : Mode::Lines;
          left_ = count;
          break;
        case 'P':
          mode_ = Mode::Pending;
          floodingPending_ = false;
          break;
        case 'X':
          mode_ = Mode::Answer;
          floodingPending_ = false;
          out_.clear();
          ::tcflush(slave_, TCIOFLUSH);
          headset_ = sim::Headset();
          break;
        case 'N':
          ::ioctl(slave_, TIOCNXCL);
          break;
        default:
          break;
      }
    }
    return true;
  }

  void Receive() {
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return;
    if (mode_ == Mode::Answer) {
      out_ += headset_.Receive(std::string_view(buffer, static_cast<std::size_t>(n))).Bytes();
    } else if (mode_ == Mode::Pending) {
      floodingPending_ = true;
    }
  }

  void Refill() {
    if (out_.size() >= kPiece) return;
    if (floodingPending_) {
      while (out_.size() < kPiece)
        out_ += kNoise;
      return;
    }
    if (left_ <= 0) return;
    const std::size_t room = kPiece - out_.size();
    const auto n =
        static_cast<std::size_t>(std::min<long long>(left_, static_cast<long long>(room)));
    if (mode_ == Mode::Bytes) {
      out_.append(n, 'A');
    } else {
      for (std::size_t i = 0; i < n; ++i)
        out_ += kNoise[(sent_ + out_.size()) % (sizeof kNoise - 1)];
    }
    left_ -= static_cast<long long>(n);
    if (left_ == 0) out_ += "\r\n";
  }

  void Send() {
    Refill();
    if (out_.empty()) return;
    const ssize_t n = ::write(master_, out_.data(), out_.size());
    if (n <= 0) return;
    out_.erase(0, static_cast<std::size_t>(n));
    sent_ += n;
    if ((mode_ == Mode::Bytes || mode_ == Mode::Lines) && left_ == 0 && out_.empty()) {
      mode_ = Mode::Answer;
      Report("done");
    }
  }

  // Lines the window must read and pass over: an OK, and status lines of commands not pending.
  static constexpr char kNoise[] = "OK\r\n+FPSTS1=4,20\r\n+FPSTS1=5,20,1\r\nERROR\r\n";

  int control_;
  const platform::VirtualDeviceRegistry& registry_;
  int master_ = -1;
  int slave_ = -1;
  Mode mode_ = Mode::Answer;
  bool floodingPending_ = false;
  long long left_ = 0;
  long long sent_ = 0;
  std::string out_;
  std::string commands_;
  sim::Headset headset_;
};

// --- The measuring side
// ----------------------------------------------------------------------------

// A 10 ms timer on the window's event loop, and the process's memory at each tick.
class Heartbeat {
 public:
  Heartbeat() {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
    timer_.start(10);
    Reset();
  }
  void Reset() {
    last_ = Clock::now();
    longest_ = Clock::duration::zero();
    peakKiB_ = ResidentKiB();
  }
  Clock::duration Longest() {
    Tick();
    return longest_;
  }
  long PeakKiB() const { return peakKiB_; }

 private:
  void Tick() {
    const auto now = Clock::now();
    longest_ = std::max(longest_, now - last_);
    last_ = now;
    peakKiB_ = std::max(peakKiB_, ResidentKiB());
  }
  QTimer timer_;
  Clock::time_point last_;
  Clock::duration longest_{};
  long peakKiB_ = 0;
};

struct Row {
  std::string flood;
  long long bytes = 0;  // sent by the device
  long long taken = 0;  // taken by the window
  double seconds = 0;
  long beforeKiB = 0;
  long peakKiB = 0;
  long afterKiB = 0;
  double longestGapMs = 0;
  std::optional<double> timeoutMs;
  int openingsAfter = 0;  // openings the read chain needed afterwards; 0: it never ran
  bool met = false;
};

class Flood {
 public:
  Flood(ToolWindow& window, int control) : w_(window), control_(control) {
    ::fcntl(control_, F_SETFL, O_NONBLOCK);
  }

  void Tell(const std::string& command) {
    const std::string line = command + "\n";
    [[maybe_unused]] const ssize_t n = ::write(control_, line.data(), line.size());
  }

  bool Done() {
    char buffer[256];
    ssize_t n;
    while ((n = ::read(control_, buffer, sizeof buffer)) > 0)
      replies_.append(buffer, static_cast<std::size_t>(n));
    const auto at = replies_.find("done\n");
    if (at == std::string::npos) return false;
    replies_.erase(0, at + 5);
    return true;
  }

  // The openings the read chain needs after a flood (see the top of the file); 0 when two fail.
  int ReadAgain() {
    for (int opening = 1; opening <= 2; ++opening) {
      if (OpenAndRead()) return opening;
    }
    return 0;
  }

  // Opens the port as the user does and runs the read chain; true when the headset's values came.
  bool OpenAndRead() {
    app::TMajorForm& form = w_.Form();
    if (form.PortReady) form.CloseComPortButton->click();
    Tell("N");
    Tell("A");
    const int boxes = w_.Ui().Boxes();
    form.OpenComPortButton->click();
    const bool idle = w_.PumpUntil([&] { return form.PendingCommand == app::kIdleCommand; }, 10s);
    return idle && form.PortReady && w_.Ui().Boxes() == boxes &&
           S(form.FWVerLabel->text()) == "Firmware version: V1.23" &&
           form.DeviceModelName == sim::DeviceInfo{}.modelName;
  }

  Row Baseline(Heartbeat& beat) {
    Row row;
    row.flood = "none (the timer's own gaps on this machine)";
    row.beforeKiB = ResidentKiB();
    beat.Reset();
    const auto t0 = Clock::now();
    w_.PumpFor(2s);
    row.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    row.longestGapMs = Ms(beat.Longest());
    row.peakKiB = beat.PeakKiB();
    row.afterKiB = ResidentKiB();
    row.openingsAfter = 1;
    return row;
  }

  // An idle open port, flooded with `bytes` of one kind.
  Row Idle(const std::string& name, char kind, long long bytes, Heartbeat& beat) {
    Row row;
    row.flood = name;
    row.bytes = bytes + 2;
    if (!OpenAndRead()) return row;
    w_.PumpFor(100ms);
    row.beforeKiB = ResidentKiB();
    const long long taken0 = w_.BytesReceived();
    beat.Reset();
    const auto t0 = Clock::now();
    Tell(std::string(1, kind) + " " + std::to_string(bytes));
    bool done = false;
    const bool all = w_.PumpUntil(
        [&] {
          done = done || Done();
          return done && w_.BytesReceived() - taken0 >= row.bytes;
        },
        5min);
    if (!all) {
      std::fprintf(stderr, "qmr7-flood: %s: the device %s, the window took %lld of %lld bytes\n",
                   name.c_str(), done ? "sent everything" : "was still sending",
                   w_.BytesReceived() - taken0, row.bytes);
    }
    row.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    row.longestGapMs = Ms(beat.Longest());
    row.peakKiB = beat.PeakKiB();
    row.taken = w_.BytesReceived() - taken0;
    w_.PumpFor(200ms);
    row.afterKiB = ResidentKiB();
    row.openingsAfter = ReadAgain();
    return row;
  }

  // A command pending while the device floods instead of answering.
  Row Pending(Heartbeat& beat) {
    Row row;
    row.flood = "lines instead of the answer to a command";
    app::TMajorForm& form = w_.Form();
    if (!OpenAndRead()) return row;
    form.CloseComPortButton->click();
    w_.PumpFor(100ms);
    Tell("N");
    Tell("P");
    row.beforeKiB = ResidentKiB();
    const int boxes = w_.Ui().Boxes();
    const long long taken0 = w_.BytesReceived();
    beat.Reset();
    const auto t0 = Clock::now();
    form.OpenComPortButton->click();
    const bool ended = w_.PumpUntil([&] { return w_.Ui().Boxes() > boxes; }, 30s);
    row.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    row.longestGapMs = Ms(beat.Longest());
    row.peakKiB = beat.PeakKiB();
    row.taken = w_.BytesReceived() - taken0;
    row.bytes = row.taken;
    if (ended && w_.Ui().LastText() == kTimeoutText && !form.PortReady) {
      row.timeoutMs = row.seconds * 1000;
    }
    Tell("X");
    w_.PumpFor(200ms);
    row.afterKiB = ResidentKiB();
    row.openingsAfter = ReadAgain();
    return row;
  }

 private:
  ToolWindow& w_;
  int control_;
  std::string replies_;
};

void Judge(Row& row, double baselineGapMs) {
  const bool memory = row.peakKiB - row.beforeKiB < kRssTargetKiB;
  const bool responsive = row.longestGapMs < baselineGapMs + Ms(kGapAllowance);
  const bool timeout = !row.flood.starts_with("lines instead") ||
                       (row.timeoutMs && *row.timeoutMs < Ms(kResponseTimeout + kTimeoutAllowance));
  const bool complete = row.flood.starts_with("none") || row.taken >= row.bytes;
  row.met = memory && responsive && timeout && complete && row.openingsAfter > 0;
}

std::string Size(long long bytes) {
  char text[32];
  if (bytes >= 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  } else {
    std::snprintf(text, sizeof text, "%.0f KiB", static_cast<double>(bytes) / 1024.0);
  }
  return text;
}

std::string After(const Row& r) {
  switch (r.openingsAfter) {
    case 1:
      return "as usual";
    case 2:
      return "at the second opening";
    default:
      return "FAILED";
  }
}

void Print(const std::vector<Row>& rows, bool markdown) {
  if (markdown) {
    std::printf(
        "| flood | bytes | time | rate | resident memory before | highest during | after "
        "| longest gap of a 10 ms timer | response time-out | read chain afterwards | "
        "targets |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---|---|\n");
  }
  for (const Row& r : rows) {
    const bool none = r.flood.starts_with("none");
    const std::string rate =
        none || r.seconds <= 0
            ? ""
            : Size(static_cast<long long>(static_cast<double>(r.taken) / r.seconds)) + "/s";
    char timeout[32] = "";
    if (r.flood.starts_with("lines instead")) {
      if (r.timeoutMs) {
        std::snprintf(timeout, sizeof timeout, "%.0f ms", *r.timeoutMs);
      } else {
        std::snprintf(timeout, sizeof timeout, "none");
      }
    }
    if (markdown) {
      std::printf(
          "| %s | %s | %.2f s | %s | %ld KiB | %ld KiB (%+ld) | %ld KiB | %.0f ms | %s | %s | %s "
          "|\n",
          r.flood.c_str(), none ? "" : Size(r.taken).c_str(), r.seconds, rate.c_str(), r.beforeKiB,
          r.peakKiB, r.peakKiB - r.beforeKiB, r.afterKiB, r.longestGapMs, timeout,
          none ? "" : After(r).c_str(), r.met ? "met" : "MISSED");
    } else {
      std::printf(
          "%-44s %10s %7.2f s %13s  RSS %ld / peak %+ld / after %+ld KiB  gap %.0f ms  %s%s%s\n",
          r.flood.c_str(), none ? "" : Size(r.taken).c_str(), r.seconds, rate.c_str(), r.beforeKiB,
          r.peakKiB - r.beforeKiB, r.afterKiB - r.beforeKiB, r.longestGapMs,
          timeout[0] != 0 ? (std::string("time-out ") + timeout + "  ").c_str() : "",
          none ? "" : ("chain " + After(r) + "  ").c_str(), r.met ? "met" : "MISSED");
    }
  }
}

int Main(int argc, char** argv) {
  long long megabytes = 64;
  bool markdown = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--megabytes" && i + 1 < argc) {
      megabytes = std::max(1LL, std::atoll(argv[++i]));
    } else if (a == "--markdown") {
      markdown = true;
    } else {
      std::fprintf(stderr, "usage: qmr7-flood [--megabytes M] [--markdown]\n");
      return 2;
    }
  }
  testsupport::TempDir root;
  const std::string runtimeDir = root / "run";
  std::filesystem::create_directories(runtimeDir);
  std::filesystem::permissions(runtimeDir, std::filesystem::perms::owner_all);
  const platform::VirtualDeviceRegistry registry(runtimeDir + "/qmr7");
  registry.EnsureDirectory();

  // The device before any thread exists in this process: it is forked.
  int sockets[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return 1;
  const pid_t device = ::fork();
  if (device < 0) return 1;
  if (device == 0) {
    ::close(sockets[0]);
    ::_exit(FloodDevice(sockets[1], registry).Run());
  }
  ::close(sockets[1]);
  {
    // Its registration first, so that the window lists it from the start.
    std::string hello;
    char c;
    while (hello.find('\n') == std::string::npos && ::read(sockets[0], &c, 1) == 1)
      hello += c;
    if (hello.rfind("port ", 0) != 0) return 1;
  }

  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
  toolkit::qt::QtApplication application(argc, argv);
  std::vector<Row> rows;
  {
    ToolWindow window(registry, root / "appdata");
    window.Form().show();
    window.PumpUntil([&] { return window.Ui().Boxes() >= 1; }, 10s);  // the first-show prompt
    Heartbeat beat;
    Flood flood(window, sockets[0]);
    const long long bytes = megabytes * 1024 * 1024;
    rows.push_back(flood.Baseline(beat));
    rows.push_back(flood.Idle("bytes without a line end, port idle", 'B', bytes, beat));
    rows.push_back(flood.Idle("short lines, port idle", 'L', bytes, beat));
    rows.push_back(flood.Pending(beat));
    if (window.Form().PortReady) window.Form().CloseComPortButton->click();
  }
  ::close(sockets[0]);
  ::waitpid(device, nullptr, 0);

  bool met = true;
  for (Row& r : rows) {
    Judge(r, rows.front().longestGapMs);
    met = met && r.met;
  }
  Print(rows, markdown);
  if (markdown) {
    std::printf(
        "\nLoad average %s at the end. Targets: highest resident memory less than 1 MiB "
        "above the start; longest gap within %lld ms of the first row's; the time-out "
        "within %lld ms of its %lld ms; the read chain afterwards, at the latest at the second "
        "opening.\n",
        LoadAverage().c_str(), static_cast<long long>(kGapAllowance.count()),
        static_cast<long long>(kTimeoutAllowance.count()),
        static_cast<long long>(kResponseTimeout.count()));
  }
  return met ? 0 : 1;
}

}  // namespace
}  // namespace reliability

int main(int argc, char** argv) {
  return reliability::Main(argc, argv);
}
