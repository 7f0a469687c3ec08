// Line events on a real pseudo-terminal, in each way they can be delivered: watched by the UI
// thread's loop, waited for by a worker that hands them over, or run on the worker itself. The
// test thread is the UI thread.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "PtyFixture.h"
#include "toolkit/Application.h"

namespace comport::testing {
namespace {

class EventsTest : public PortTest {
 protected:
  explicit EventsTest(bool watcher = true) : PortTest(watcher) {}

  // Takes everything queued, as the tool's handler does.
  std::string Drain() {
    std::string bytes(static_cast<std::size_t>(port_->InputCount()), '\0');
    if (!bytes.empty()) port_->Read(bytes.data(), static_cast<int>(bytes.size()), true);
    return bytes;
  }

  // Pumps until the port has seen `count` bytes queued, so that a single wake-up sees them.
  void AwaitQueued(int count) {
    const auto deadline = std::chrono::steady_clock::now() + kSafety;
    while (port_->InputCount() < count) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "bytes did not arrive";
      std::this_thread::yield();
    }
  }

  const std::thread::id ui_thread_ = std::this_thread::get_id();
};

// What handlers saw, from whichever thread they run on.
class Recorder {
 public:
  void Add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t Size() const {
    std::lock_guard lock(mutex_);
    return events_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

enum class Delivery { Watched, HandedOver, OnWorker };

std::string DeliveryName(const ::testing::TestParamInfo<Delivery>& info) {
  switch (info.param) {
    case Delivery::Watched:
      return "WatchedByTheUiLoop";
    case Delivery::HandedOver:
      return "HandedOverByAWorker";
    case Delivery::OnWorker:
      return "RunOnTheWorker";
  }
  return "";
}

// The rules every way of delivering keeps.
class DeliveryTest : public EventsTest, public ::testing::WithParamInterface<Delivery> {
 protected:
  DeliveryTest() : EventsTest(GetParam() != Delivery::HandedOver) {
    port_->SetSynchronizeEvents(GetParam() != Delivery::OnWorker);
  }

  void ExpectHandlerThread() const {
    if (GetParam() == Delivery::OnWorker) {
      EXPECT_NE(std::this_thread::get_id(), ui_thread_);
    } else {
      EXPECT_EQ(std::this_thread::get_id(), ui_thread_);
    }
  }
};

INSTANTIATE_TEST_SUITE_P(Modes, DeliveryTest,
                         ::testing::Values(Delivery::Watched, Delivery::HandedOver,
                                           Delivery::OnWorker),
                         DeliveryName);

TEST_P(DeliveryTest, ABurstGivesOneRxCharThatSeesEveryByte) {
  Recorder received;
  port_->SetOnRxChar([&](toolkit::Component* sender) {
    EXPECT_EQ(sender, port_.get());
    ExpectHandlerThread();
    received.Add(Drain());
  });
  port_->Open();
  pty_.Write("0123456789");
  PumpUntil([&] { return received.Size() >= 1; });
  pty_.Write("!");
  PumpUntil([&] { return received.Size() >= 2; });
  EXPECT_EQ(received.Events(), (std::vector<std::string>{"0123456789", "!"}));
}

TEST_P(DeliveryTest, BytesAHandlerLeavesQueuedDoNotRaiseTheEventAgain) {
  std::atomic<int> calls{0};
  port_->SetOnRxChar([&](toolkit::Component*) { ++calls; });
  port_->Open();
  pty_.Write("abc");
  PumpUntil([&] { return calls == 1; });
  pty_.Write("d");  // only new bytes raise it again
  PumpUntil([&] { return calls == 2; });
  EXPECT_EQ(port_->InputCount(), 4);
  EXPECT_EQ(calls, 2);
}

// A handler assigned to the open port is waited for from then on, also when what the loop
// watches has to change with it.
TEST_P(DeliveryTest, AHandlerAssignedWhileOpenGetsItsEvents) {
  std::atomic<int> received{0};
  std::atomic<bool> txEmpty{false};
  port_->SetOnRxChar([&](toolkit::Component*) { received += static_cast<int>(Drain().size()); });
  port_->Open();
  pty_.Write("a");
  PumpUntil([&] { return received == 1; });
  port_->SetOnTxEmpty([&](toolkit::Component*) { txEmpty = true; });
  port_->WriteString("x");
  PumpUntil([&] { return txEmpty.load(); });
  pty_.Write("b");
  PumpUntil([&] { return received == 2; });
}

TEST_P(DeliveryTest, RxCharComesBeforeTxEmptyInOneWakeUp) {
  const std::string log = TempPath("events.log");
  port_->SetLogFile(log);
  Recorder events;
  int rx = 0;
  port_->SetOnRxChar([&](toolkit::Component*) {
    events.Add("RxChar");
    if (++rx > 1) return;
    Drain();
    // While this delivery runs: a byte arrives and a write ends, so that the next wake-up finds
    // both at once.
    pty_.Write("b");
    AwaitQueued(1);
    port_->WriteString("x");
  });
  port_->SetOnTxEmpty([&](toolkit::Component*) { events.Add("TxEmpty"); });
  port_->Open();
  pty_.Write("a");
  PumpUntil([&] { return events.Size() >= 3; });
  EXPECT_EQ(events.Events(), (std::vector<std::string>{"RxChar", "RxChar", "TxEmpty"}));
  port_.reset();
  std::vector<std::string> eventLines;
  for (const auto& line : LogMessages(log)) {
    if (line.find(" event") != std::string::npos) eventLines.push_back(line);
  }
  EXPECT_EQ(eventLines,
            (std::vector<std::string>{"RxChar event", "RxChar event", "TxEmpty event"}));
  std::remove(log.c_str());
}

TEST_P(DeliveryTest, AHandlersExceptionIsReportedAndTheRestOfItsWakeUpIsDropped) {
  std::atomic<int> calls{0};
  std::atomic<bool> txEmpty{false};
  port_->SetOnRxChar([&](toolkit::Component*) {
    Drain();
    ++calls;
    if (calls == 1) {
      // The next wake-up carries RxChar and TxEmpty together.
      pty_.Write("b");
      AwaitQueued(1);
      port_->WriteString("x");
    } else if (calls == 2) {
      throw std::runtime_error("handler failed");
    }
  });
  port_->SetOnTxEmpty([&](toolkit::Component*) { txEmpty = true; });
  port_->Open();
  pty_.Write("a");
  PumpUntil([&] { return !Reports().empty(); });
  EXPECT_EQ(Reports(), (std::vector<std::string>{"handler failed."}));
  // Events go on.
  pty_.Write("c");
  PumpUntil([&] { return calls == 3; });
  EXPECT_FALSE(txEmpty);
  EXPECT_TRUE(port_->Active());
}

TEST_P(DeliveryTest, CloseInsideAHandlerClosesAtOnceOnTheUiThread) {
  Recorder events;
  port_->SetBeforeClose([&](TCustomComPort*) {
    EXPECT_EQ(std::this_thread::get_id(), ui_thread_);
    events.Add("BeforeClose");
  });
  port_->SetAfterClose(
      [&](TCustomComPort* p) { events.Add(p->Active() ? "AfterClose open" : "AfterClose"); });
  port_->SetOnRxChar([&](toolkit::Component*) {
    events.Add("RxChar");
    port_->Close();  // on a worker: returns once the UI thread has closed the port
    events.Add("returned");
  });
  port_->Open();
  pty_.Write("x");
  PumpUntil([&] { return events.Size() >= 4; });
  EXPECT_EQ(events.Events(),
            (std::vector<std::string>{"RxChar", "BeforeClose", "AfterClose", "returned"}));
  EXPECT_FALSE(port_->Active());
  // The device was let go: it opens again and events come again.
  port_->Open();
  pty_.Write("y");
  PumpUntil([&] { return events.Size() >= 8; });
  EXPECT_FALSE(port_->Active());
}

TEST_P(DeliveryTest, TheOtherSideGoingAwayClosesThePortThroughOnError) {
  Recorder events;
  port_->SetOnError([&](TCustomComPort*, EComError& e, TComAction&) {
    EXPECT_EQ(std::this_thread::get_id(), ui_thread_);
    events.Add("OnError " + std::to_string(e.ErrorCode) + " " + e.Message());
  });
  port_->SetBeforeClose([&](TCustomComPort*) { events.Add("BeforeClose"); });
  port_->SetAfterClose([&](TCustomComPort*) { events.Add("AfterClose"); });
  port_->SetOnRxChar([&](toolkit::Component*) { Drain(); });
  port_->Open();
  pty_.CloseMaster();
  PumpUntil([&] { return !port_->Active() && events.Size() >= 3; });
  EXPECT_EQ(events.Events(), (std::vector<std::string>{"OnError 5 Input/output error",
                                                       "BeforeClose", "AfterClose"}));
  EXPECT_TRUE(Reports().empty());  // OnError saw it; the user gets no report from the component
}

// A handler that runs a nested message loop does not get a second delivery of its port inside the
// first: at most one delivery is in progress, as with a worker blocked in its hand-over.
TEST_P(DeliveryTest, ANestedLoopInsideAHandlerDeliversNothingOfThePortUntilItReturns) {
  if (GetParam() == Delivery::OnWorker) GTEST_SKIP() << "handlers on the worker run no UI loop";
  int calls = 0;
  bool nested = false;
  port_->SetOnRxChar([&](toolkit::Component*) {
    ++calls;
    Drain();
    if (calls > 1) return;
    pty_.Write("b");
    AwaitQueued(1);
    for (int i = 0; i < 20; ++i)
      ui_.Pump();
    nested = calls > 1;
  });
  port_->Open();
  pty_.Write("a");
  PumpUntil([&] { return calls == 2; });
  EXPECT_FALSE(nested);
}

TEST_F(EventsTest, AHandlerMayCloseAndDestroyItsPortAndTheRestOfTheWakeUpIsDropped) {
  bool destroyed = false;
  int rx = 0;
  port_->SetOnRxChar([&](toolkit::Component*) {
    Drain();
    if (++rx == 1) {
      // The next wake-up carries RxChar and TxEmpty together.
      pty_.Write("b");
      AwaitQueued(1);
      port_->WriteString("x");
      return;
    }
    port_->Close();
    port_.reset();
    destroyed = true;
  });
  port_->SetOnTxEmpty([&](toolkit::Component*) { ADD_FAILURE() << "TxEmpty came alone"; });
  port_->Open();
  pty_.Write("a");
  PumpUntil([&] { return destroyed; });
  ui_.Pump();
  // Another port gets the device: nothing of the old one holds it.
  TComPort next(nullptr, ui_);
  next.SetDeviceName(pty_.SlaveName());
  next.Open();
  EXPECT_TRUE(next.Active());
}

// The handler runs to its end with what it captured, though it replaced itself on the way.
TEST_F(EventsTest, AHandlerMayReplaceItselfWhileItRuns) {
  std::vector<std::string> seen;
  const std::string name(64, 'h');  // captured by value, beyond any small-buffer storage
  port_->SetOnRxChar([this, &seen, name](toolkit::Component*) {
    Drain();
    port_->SetOnRxChar([&seen](toolkit::Component*) { seen.push_back("second"); });
    seen.push_back(name);
  });
  port_->Open();
  pty_.Write("a");
  PumpUntil([&] { return seen.size() == 1; });
  pty_.Write("b");
  PumpUntil([&] { return seen.size() == 2; });
  EXPECT_EQ(seen, (std::vector<std::string>{name, "second"}));
}

// Bytes left queued keep the port readable; the loop must not run the port's watch at every
// round for them, only again when something new arrives.
TEST_F(EventsTest, BytesLeftQueuedDoNotKeepTheLoopBusy) {
  int calls = 0;
  port_->SetOnRxChar([&](toolkit::Component*) { ++calls; });
  port_->Open();
  for (const char* bytes : {"abc", "d"}) {
    const int before = calls;
    pty_.Write(bytes);
    PumpUntil([&] { return calls == before + 1; });
    ui_.Pump();  // may look once more and find nothing new
    EXPECT_EQ(ui_.Pump(), 0u);
    EXPECT_EQ(ui_.Pump(), 0u);
  }
  EXPECT_EQ(port_->InputCount(), 4);
  EXPECT_EQ(calls, 2);
}

// The threads of this process.
std::size_t ThreadCount() {
  const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

TEST_F(EventsTest, SynchronisedEventsWatchedByTheUiLoopNeedNoWorkerThread) {
  const std::size_t before = ThreadCount();
  int calls = 0;
  port_->SetOnRxChar([&](toolkit::Component*) {
    ++calls;
    Drain();
  });
  port_->Open();
  EXPECT_EQ(ThreadCount(), before);
  pty_.Write("x");
  PumpUntil([&] { return calls == 1; });
  EXPECT_EQ(ThreadCount(), before);
}

// The port closes itself because its device has gone, and says so: the window reads the kind.
TEST_F(EventsTest, AHangUpIsReportedAsTheDeviceGone) {
  toolkit::ErrorKind seenByOnError = toolkit::ErrorKind::None;
  port_->SetOnError([&](TCustomComPort*, EComError& e, TComAction&) { seenByOnError = e.Kind(); });
  toolkit::ErrorKind seenAfterClose = toolkit::ErrorKind::None;
  port_->SetAfterClose([&](TCustomComPort* p) { seenAfterClose = p->ThreadError().kind; });
  port_->SetOnRxChar([&](toolkit::Component*) { Drain(); });
  port_->Open();
  EXPECT_EQ(port_->ThreadError().kind, toolkit::ErrorKind::None);
  pty_.CloseMaster();
  PumpUntil([&] { return !port_->Active(); });
  EXPECT_EQ(seenByOnError, toolkit::ErrorKind::DeviceGone);
  EXPECT_EQ(seenAfterClose, toolkit::ErrorKind::DeviceGone);
  EXPECT_EQ(port_->ThreadError().code, EIO);
}

TEST_F(EventsTest, RemovingTheLastHandlerStopsEventsAndAssigningOneStartsThemAgain) {
  std::string received;
  const TNotifyEvent handler = [&](toolkit::Component*) { received += Drain(); };
  port_->Open();
  port_->SetOnRxChar(handler);
  pty_.Write("1");
  PumpUntil([&] { return !received.empty(); });
  port_->SetOnRxChar(nullptr);
  pty_.Write("2");
  AwaitQueued(1);
  EXPECT_EQ(ui_.Pump(), 0u);  // no worker hands anything over
  EXPECT_EQ(received, "1");
  port_->SetOnRxChar(handler);
  // The new worker reports the byte that waited as an arrival of its own; "3" may come with it or
  // in a wake-up after it. Either way every byte reaches the handler.
  pty_.Write("3");
  PumpUntil([&] { return received.size() >= 3; });
  EXPECT_EQ(received, "123");
  EXPECT_EQ(port_->InputCount(), 0);
}

TEST_F(EventsTest, WithoutSynchronisationHandlersRunOnTheWorkerAndCloseIsHandedToTheUi) {
  std::atomic<bool> closed{false};
  std::atomic<bool> onWorker{false};
  std::atomic<bool> handled{false};
  port_->SetSynchronizeEvents(false);
  port_->SetAfterClose([&](TCustomComPort*) {
    EXPECT_EQ(std::this_thread::get_id(), ui_thread_);
    closed = true;
  });
  port_->SetOnRxChar([&](toolkit::Component*) {
    onWorker = std::this_thread::get_id() != ui_thread_;
    port_->Close();  // waits until the UI thread has closed the port
    EXPECT_TRUE(closed);
    handled = true;
  });
  port_->Open();
  pty_.Write("x");
  PumpUntil([&] { return handled.load(); });
  EXPECT_TRUE(onWorker);
  EXPECT_FALSE(port_->Active());
}

// The report shows a message box: on the worker it would be a widget off the UI thread.
TEST_F(EventsTest, WithoutSynchronisationAHandlersExceptionIsReportedOnTheUiThread) {
  std::atomic<bool> reportedOffUi{false};
  toolkit::SetExceptionHandler([&](const std::string& text) {
    if (std::this_thread::get_id() != ui_thread_) {
      reportedOffUi = true;
      return;
    }
    reports_.push_back(text);
  });
  std::atomic<int> calls{0};
  port_->SetSynchronizeEvents(false);
  port_->SetOnRxChar([&](toolkit::Component*) {
    Drain();
    if (++calls == 1) throw std::runtime_error("handler failed");
  });
  port_->Open();
  pty_.Write("1");
  PumpUntil([&] { return !reports_.empty() || reportedOffUi; });
  EXPECT_FALSE(reportedOffUi);
  EXPECT_EQ(reports_, (std::vector<std::string>{"handler failed."}));
  pty_.Write("2");  // and the worker goes on waiting
  PumpUntil([&] { return calls == 2; });
  EXPECT_TRUE(port_->Active());
}

TEST_F(EventsTest, Rx80PercFullFiresWhenTheQueueCrossesFourFifthsOfTheInputSize) {
  int calls = 0;
  int queued = 0;
  port_->BufferSizes().SetInput(10);
  port_->SetOnRx80PercFull([&](toolkit::Component*) {
    ++calls;
    queued = port_->InputCount();
  });
  port_->Open();
  pty_.Write("1234567");  // 7 of 10: below the mark
  AwaitQueued(7);
  pty_.Write("8");
  PumpUntil([&] { return calls >= 1; });
  EXPECT_EQ(queued, 8);
  pty_.Write("9");  // still above: no new crossing
  AwaitQueued(9);
  port_->ClearInput();
  pty_.Write("abcdefgh");
  PumpUntil([&] { return calls >= 2; });
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(queued, 8);
}

// A handler for the event character may be assigned (a signal indicator takes it over), but Linux
// cannot tell when the character came in: opening succeeds and the handler never runs.
TEST_F(EventsTest, TheEventCharacterCanBeAskedForAndIsNeverReported) {
  int flags = 0;
  std::string received;
  port_->Characters().SetEvent('!');
  port_->SetOnRxFlag([&](toolkit::Component*) { ++flags; });
  port_->SetOnRxChar([&](toolkit::Component*) { received += Drain(); });
  port_->Open();
  EXPECT_TRUE(port_->Active());
  pty_.Write("a!b!");
  PumpUntil([&] { return received.size() >= 4; });
  EXPECT_EQ(received, "a!b!");
  EXPECT_EQ(flags, 0);
}

// Stops and restarts of the worker in every phase: waiting, in a hand-over, after one, with and
// without Close before destruction. Checked: a handler never runs for a destroyed port, the device
// is let go every time (the next round opens it again), and nothing is reported to the user.
// TSan and ASan watch that a winding-down worker never touches a closed or destroyed port.
TEST_F(EventsTest, ManyOpenCloseAndDestroyCyclesWhileBytesArrive) {
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto port = std::make_unique<TComPort>(nullptr, ui_);
    port->SetDeviceName(pty_.SlaveName());
    int calls = 0;
    bool destroyed = false;
    port->SetOnRxChar([&](toolkit::Component*) {
      EXPECT_FALSE(destroyed) << "a handler ran for a destroyed port";
      ++calls;
    });
    ASSERT_NO_THROW(port->Open());
    pty_.Write("z");
    if (round % 2 == 0) PumpUntil([&] { return calls > 0; });
    if (round % 3 == 0) port->Close();
    port.reset();
    destroyed = true;
    ui_.Pump();  // hand-overs of the dead port's worker run and do nothing
  }
  EXPECT_TRUE(reports_.empty());
}

// The nice values of this process's threads other than the calling one.
std::vector<int> OtherThreadsNice() {
  std::vector<int> nice;
  const std::string self = std::to_string(::gettid());
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const std::string tid = task.path().filename().string();
    if (tid == self) continue;
    errno = 0;
    const int value = ::getpriority(PRIO_PROCESS, static_cast<id_t>(std::stoi(tid)));
    if (errno == 0) nice.push_back(value);
  }
  return nice;
}

TEST_F(EventsTest, ARunningWorkerTakesANewThreadPriorityAtOnce) {
  port_->SetSynchronizeEvents(false);  // a worker thread exists
  port_->SetOnRxChar([](toolkit::Component*) {});
  port_->SetThreadPriority(tpNormal);
  port_->Open();
  // Lowering is what Linux allows every process: the worker's nice value becomes 10.
  port_->SetThreadPriority(tpLowest);
  PumpUntil([] {
    const auto nice = OtherThreadsNice();
    return std::find(nice.begin(), nice.end(), 10) != nice.end();
  });
  EXPECT_EQ(port_->ThreadPriority(), tpLowest);
}

}  // namespace
}  // namespace comport::testing
