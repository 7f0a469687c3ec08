// Serial port latency and round trips on pseudo-terminal pairs: this component (worker thread and
// synchronous hand-over to a Qt event loop, as the tool runs it) against QSerialPort (readyRead in
// the same event loop) and libserialport (sp_wait, then a non-blocking read, on one thread).
//
// Latency: the master side writes one byte and records the time; the receiver records when its
// handler starts (OnRxChar, readyRead, or the return of sp_wait), reads the byte and lets the
// master send the next one 100 us later, so that each byte finds the receiver waiting, as a
// device's answers do. Round trips: the receiver writes one byte, a responder thread on the master
// side echoes it, and the receiver's handler sends the next at once.
#include <fcntl.h>
#include <libserialport.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSerialPort>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comport/ComPort.h"
#include "toolkit/qt/QtDispatcher.h"

namespace {

using Clock = std::chrono::steady_clock;

int gEvents = 10000;         // per implementation and figure, over all rounds
constexpr int kRounds = 10;  // rounds interleave the implementations, so load affects them alike
int gRunEvents = 1000;       // per round
constexpr int kWarmUp = 50;  // per round, not counted
constexpr std::chrono::microseconds kGap{100};

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "bench serial: %s\n", what.c_str());
  std::exit(1);
}

class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) Die("no pty");
    slave_ = ::ptsname(master_);
  }
  ~Pty() { ::close(master_); }
  int Master() const { return master_; }
  const std::string& Slave() const { return slave_; }

  void Send(char c) const {
    if (::write(master_, &c, 1) != 1) Die("master write");
  }
  char Receive() const {
    char c = 0;
    if (::read(master_, &c, 1) != 1) Die("master read");
    return c;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// A one-way "go on" signal between two threads that blocks in the kernel, as a device would.
class Gate {
 public:
  Gate() : fd_(::eventfd(0, EFD_CLOEXEC)) {}
  ~Gate() { ::close(fd_); }
  void Open() const {
    const std::uint64_t one = 1;
    if (::write(fd_, &one, sizeof one) != sizeof one) Die("gate");
  }
  void Pass() const {
    std::uint64_t value = 0;
    if (::read(fd_, &value, sizeof value) != sizeof value) Die("gate");
  }

 private:
  int fd_;
};

// The master side of the latency measurement and what the receiver reports back.
class LatencyProbe {
 public:
  explicit LatencyProbe(const Pty& pty) : pty_(pty) { samples_.reserve(kWarmUp + gRunEvents); }

  void Start() {
    sender_ = std::thread([this] {
      for (int i = 0; i < kWarmUp + gRunEvents; ++i) {
        sent_.store(NowNs(), std::memory_order_release);
        pty_.Send('x');
        next_.Pass();
        // Bytes come apart, as a device's answers do: each one finds the receiver waiting.
        std::this_thread::sleep_for(kGap);
      }
    });
  }
  // On the receiver, when its handler starts. True while more bytes come.
  bool Arrived() {
    samples_.push_back(NowNs() - sent_.load(std::memory_order_acquire));
    return static_cast<int>(samples_.size()) < kWarmUp + gRunEvents;
  }
  // On the receiver, after it has read the byte.
  void Consumed() { next_.Open(); }
  void Join() { sender_.join(); }

  std::vector<double> Microseconds() const {
    std::vector<double> us;
    for (std::size_t i = kWarmUp; i < samples_.size(); ++i)
      us.push_back(samples_[i] / 1000.0);
    return us;
  }

 private:
  const Pty& pty_;
  Gate next_;
  std::atomic<std::int64_t> sent_{0};
  std::vector<std::int64_t> samples_;
  std::thread sender_;
};

class Responder {
 public:
  explicit Responder(const Pty& pty)
      : thread_([&pty] {
          for (int i = 0; i < kWarmUp + gRunEvents; ++i)
            pty.Send(pty.Receive());
        }) {}
  ~Responder() { thread_.join(); }

 private:
  std::thread thread_;
};

struct Result {
  std::string name;
  std::vector<double> latencies;  // microseconds
  double tripSeconds = 0;
  int trips = 0;
  double median = 0;
  double p99 = 0;
  double roundTrips = 0;
};

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const auto index = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[index];
}

void Collect(Result& r, const LatencyProbe& probe) {
  const auto us = probe.Microseconds();
  r.latencies.insert(r.latencies.end(), us.begin(), us.end());
}

void Summarise(Result& r) {
  r.median = Percentile(r.latencies, 0.5);
  r.p99 = Percentile(r.latencies, 0.99);
  r.roundTrips = r.trips / r.tripSeconds;
}

// Round trips: `send` writes one byte; the receiver's handler calls `Echoed` for each reply.
class RoundTrips {
 public:
  explicit RoundTrips(std::function<void()> send) : send_(std::move(send)) {}
  void Start() { send_(); }
  bool Echoed() {
    if (++count_ == kWarmUp) start_ = Clock::now();
    if (count_ == kWarmUp + gRunEvents) {
      end_ = Clock::now();
      return false;
    }
    send_();
    return true;
  }
  void AddTo(Result& r) const {
    r.tripSeconds += std::chrono::duration<double>(end_ - start_).count();
    r.trips += gRunEvents;
  }

 private:
  std::function<void()> send_;
  int count_ = 0;
  Clock::time_point start_, end_;
};

// This component, as the tool runs it.

void SetToolLine(comport::TComPort& port, const std::string& name) {
  port.SetDeviceName(name);
  port.SetBaudRate(comport::br115200);
  port.SetDataBits(comport::db8);
  port.SetParity(comport::paNone);
  port.SetStopBits(comport::sb1);
}

void Drain(comport::TComPort& port) {
  char buffer[256];
  for (int n = port.InputCount(); n > 0; n = port.InputCount()) {
    port.Read(buffer, std::min(n, 256), true);
  }
}

void OurLatency(toolkit::qt::QtDispatcher& ui, Result& r) {
  Pty pty;
  LatencyProbe probe(pty);
  comport::TComPort port(nullptr, ui);
  SetToolLine(port, pty.Slave());
  port.SetOnRxChar([&](toolkit::Component*) {
    const bool more = probe.Arrived();
    Drain(port);
    probe.Consumed();
    if (!more) QCoreApplication::quit();
  });
  port.Open();
  probe.Start();
  QCoreApplication::exec();
  probe.Join();
  Collect(r, probe);
}

void OurRoundTrips(toolkit::qt::QtDispatcher& ui, Result& r) {
  Pty pty;
  comport::TComPort port(nullptr, ui);
  SetToolLine(port, pty.Slave());
  RoundTrips trips([&] { port.WriteString("q"); });
  port.SetOnRxChar([&](toolkit::Component*) {
    Drain(port);
    if (!trips.Echoed()) QCoreApplication::quit();
  });
  port.Open();
  Responder responder(pty);
  trips.Start();
  QCoreApplication::exec();
  trips.AddTo(r);
}

// QSerialPort, readyRead in the same kind of event loop.

void OpenQt(QSerialPort& port, const std::string& name) {
  port.setPortName(QString::fromStdString(name));
  if (!port.open(QIODevice::ReadWrite)) Die("QSerialPort: " + port.errorString().toStdString());
  port.setBaudRate(115200);
  port.setDataBits(QSerialPort::Data8);
  port.setParity(QSerialPort::NoParity);
  port.setStopBits(QSerialPort::OneStop);
}

void QtLatency(Result& r) {
  Pty pty;
  LatencyProbe probe(pty);
  QSerialPort port;
  OpenQt(port, pty.Slave());
  QObject::connect(&port, &QSerialPort::readyRead, [&] {
    const bool more = probe.Arrived();
    port.readAll();
    probe.Consumed();
    if (!more) QCoreApplication::quit();
  });
  probe.Start();
  QCoreApplication::exec();
  probe.Join();
  Collect(r, probe);
}

void QtRoundTrips(Result& r) {
  Pty pty;
  QSerialPort port;
  OpenQt(port, pty.Slave());
  RoundTrips trips([&] { port.write("q", 1); });
  QObject::connect(&port, &QSerialPort::readyRead, [&] {
    port.readAll();
    if (!trips.Echoed()) QCoreApplication::quit();
  });
  Responder responder(pty);
  trips.Start();
  QCoreApplication::exec();
  trips.AddTo(r);
}

// libserialport: sp_wait, then a non-blocking read.

class SpPort {
 public:
  explicit SpPort(const std::string& slave) {
    // libserialport looks up port details in sysfs, which has none for pseudo-terminals; a path
    // that reaches the pty through a symlink both under /dev and under /sys/class/tty gets it
    // past that look-up to the real open.
    link_ = "/tmp/qmr7-bench-sp-" + std::to_string(::getpid());
    ::unlink(link_.c_str());
    if (::symlink(slave.c_str(), link_.c_str()) != 0) Die("symlink");
    const std::string name = "/dev/../../.." + link_;
    if (sp_get_port_by_name(name.c_str(), &port_) != SP_OK) Die("sp_get_port_by_name");
    if (sp_open(port_, SP_MODE_READ_WRITE) != SP_OK)
      Die(std::string("sp_open: ") + sp_last_error_message());
    sp_set_baudrate(port_, 115200);
    sp_set_bits(port_, 8);
    sp_set_parity(port_, SP_PARITY_NONE);
    sp_set_stopbits(port_, 1);
    sp_new_event_set(&events_);
    sp_add_port_events(events_, port_, SP_EVENT_RX_READY);
  }
  ~SpPort() {
    sp_free_event_set(events_);
    sp_close(port_);
    sp_free_port(port_);
    ::unlink(link_.c_str());
  }
  void Wait() {
    if (sp_wait(events_, 0) != SP_OK) Die("sp_wait");
  }
  void Drain() {
    char buffer[256];
    while (sp_nonblocking_read(port_, buffer, sizeof buffer) > 0) {
    }
  }
  void Send() {
    if (sp_nonblocking_write(port_, "q", 1) != 1) Die("sp write");
  }

 private:
  std::string link_;
  sp_port* port_ = nullptr;
  sp_event_set* events_ = nullptr;
};

void SpLatency(Result& r) {
  Pty pty;
  LatencyProbe probe(pty);
  SpPort port(pty.Slave());
  probe.Start();
  for (bool more = true; more;) {
    port.Wait();
    more = probe.Arrived();
    port.Drain();
    probe.Consumed();
  }
  probe.Join();
  Collect(r, probe);
}

void SpRoundTrips(Result& r) {
  Pty pty;
  SpPort port(pty.Slave());
  RoundTrips trips([&] { port.Send(); });
  Responder responder(pty);
  trips.Start();
  for (bool more = true; more;) {
    port.Wait();
    port.Drain();
    more = trips.Echoed();
  }
  trips.AddTo(r);
}

void Print(const std::vector<Result>& results) {
  // Ratios are to the best of the peers (the first entry is ours).
  double bestMedian = 1e300, bestP99 = 1e300, bestTrips = 0;
  for (std::size_t i = 1; i < results.size(); ++i) {
    bestMedian = std::min(bestMedian, results[i].median);
    bestP99 = std::min(bestP99, results[i].p99);
    bestTrips = std::max(bestTrips, results[i].roundTrips);
  }
  std::printf(
      "serial: %d events per figure and implementation, in %d interleaved rounds, on "
      "pseudo-terminal pairs\n(ratio: to the best peer; below 1 is better for latency, "
      "above 1 for round trips)\n\n",
      gEvents, kRounds);
  std::printf("%-16s %14s %7s %14s %7s %16s %7s\n", "", "median latency", "ratio", "p99 latency",
              "ratio", "round trips/s", "ratio");
  for (const auto& r : results) {
    std::printf("%-16s %11.1f us %7.2f %11.1f us %7.2f %16.0f %7.2f\n", r.name.c_str(), r.median,
                r.median / bestMedian, r.p99, r.p99 / bestP99, r.roundTrips,
                r.roundTrips / bestTrips);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) gEvents = std::max(kRounds * 100, std::atoi(argv[1]));
  gRunEvents = gEvents / kRounds;
  QCoreApplication app(argc, argv);
  toolkit::qt::QtDispatcher ui;
  std::vector<Result> results(3);
  results[0].name = "TComPort";
  results[1].name = "QSerialPort";
  results[2].name = "libserialport";
  const std::function<void()> runs[] = {
      [&] {
        OurLatency(ui, results[0]);
        OurRoundTrips(ui, results[0]);
      },
      [&] {
        QtLatency(results[1]);
        QtRoundTrips(results[1]);
      },
      [&] {
        SpLatency(results[2]);
        SpRoundTrips(results[2]);
      },
  };
  for (int round = 0; round < kRounds; ++round) {
    for (int k = 0; k < 3; ++k)
      runs[(round + k) % 3]();
  }
  for (auto& r : results)
    Summarise(r);
  Print(results);
  return 0;
}
