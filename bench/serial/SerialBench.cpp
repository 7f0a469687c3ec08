// Serial port latency and round trips on pseudo-terminal pairs: this component in its two ways of
// delivering events against the peer that delivers the same way. Synchronised (as the tool runs
// it: the Qt event loop watches the device and runs OnRxChar on the UI thread) against QSerialPort
// (readyRead in the same event loop); unsynchronised (the component's worker waits and runs
// OnRxChar itself) against libserialport (sp_wait, then a non-blocking read, on one thread).
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
#include <future>
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

// Synchronised: the Qt event loop delivers; unsynchronised: the worker runs the handler and the
// main thread only waits for the end.
class Finish {
 public:
  explicit Finish(bool loop) : loop_(loop) {}
  void Done() {
    if (loop_) {
      QCoreApplication::quit();
    } else {
      done_.set_value();
    }
  }
  void Await() {
    if (loop_) {
      QCoreApplication::exec();
    } else {
      done_.get_future().wait();
    }
  }

 private:
  const bool loop_;
  std::promise<void> done_;
};

void OurLatency(toolkit::qt::QtDispatcher& ui, bool synchronise, Result& r) {
  Pty pty;
  LatencyProbe probe(pty);
  Finish finish(synchronise);
  comport::TComPort port(nullptr, ui);
  SetToolLine(port, pty.Slave());
  port.SetSynchronizeEvents(synchronise);
  port.SetOnRxChar([&](toolkit::Component*) {
    const bool more = probe.Arrived();
    Drain(port);
    probe.Consumed();
    if (!more) finish.Done();
  });
  port.Open();
  probe.Start();
  finish.Await();
  probe.Join();
  port.Close();
  Collect(r, probe);
}

void OurRoundTrips(toolkit::qt::QtDispatcher& ui, bool synchronise, Result& r) {
  Pty pty;
  Finish finish(synchronise);
  comport::TComPort port(nullptr, ui);
  SetToolLine(port, pty.Slave());
  port.SetSynchronizeEvents(synchronise);
  RoundTrips trips([&] { port.WriteString("q"); });
  port.SetOnRxChar([&](toolkit::Component*) {
    Drain(port);
    if (!trips.Echoed()) finish.Done();
  });
  port.Open();
  Responder responder(pty);
  trips.Start();
  finish.Await();
  port.Close();
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

void PrintRow(const Result& r, const Result& peer) {
  std::printf("%-22s %11.1f us %7.2f %11.1f us %7.2f %16.0f %7.2f\n", r.name.c_str(), r.median,
              r.median / peer.median, r.p99, r.p99 / peer.p99, r.roundTrips,
              r.roundTrips / peer.roundTrips);
}

// Each way of delivering beside the peer that delivers the same way; ratios are to that peer.
void Print(const std::vector<Result>& results) {
  std::printf(
      "serial: %d events per figure and implementation, in %d interleaved rounds, on "
      "pseudo-terminal pairs\n(ratio: to the peer that delivers the same way; below 1 is better "
      "for latency, above 1 for round trips)\n\n",
      gEvents, kRounds);
  std::printf("%-22s %14s %7s %14s %7s %16s %7s\n", "", "median latency", "ratio", "p99 latency",
              "ratio", "round trips/s", "ratio");
  std::printf("on the UI thread\n");
  PrintRow(results[0], results[2]);
  PrintRow(results[2], results[2]);
  std::printf("on the waiting thread\n");
  PrintRow(results[1], results[3]);
  PrintRow(results[3], results[3]);
  const double synchronised = results[0].median / results[2].median;
  const double unsynchronised = results[1].median / results[3].median;
  const double p99 = std::max(results[0].p99, results[1].p99);
  std::printf(
      "\ntargets: synchronised median %.2f of QSerialPort's (at most 0.90): %s\n"
      "         unsynchronised median %.2f of libserialport's (at most 1.10): %s\n"
      "         the component's p99 %.1f us (under 1000 us): %s\n",
      synchronised, synchronised <= 0.9 ? "met" : "missed", unsynchronised,
      unsynchronised <= 1.1 ? "met" : "missed", p99, p99 < 1000 ? "met" : "missed");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) gEvents = std::max(kRounds * 100, std::atoi(argv[1]));
  gRunEvents = gEvents / kRounds;
  QCoreApplication app(argc, argv);
  toolkit::qt::QtDispatcher ui;
  std::vector<Result> results(4);
  results[0].name = "TComPort synchronised";
  results[1].name = "TComPort on its worker";
  results[2].name = "QSerialPort";
  results[3].name = "libserialport";
  const std::function<void()> runs[] = {
      [&] {
        OurLatency(ui, true, results[0]);
        OurRoundTrips(ui, true, results[0]);
      },
      [&] {
        OurLatency(ui, false, results[1]);
        OurRoundTrips(ui, false, results[1]);
      },
      [&] {
        QtLatency(results[2]);
        QtRoundTrips(results[2]);
      },
      [&] {
        SpLatency(results[3]);
        SpRoundTrips(results[3]);
      },
  };
  constexpr int kRuns = static_cast<int>(std::size(runs));
  for (int round = 0; round < kRounds; ++round) {
    for (int k = 0; k < kRuns; ++k)
      runs[(round + k) % kRuns]();
  }
  for (auto& r : results)
    Summarise(r);
  Print(results);
  return 0;
}
