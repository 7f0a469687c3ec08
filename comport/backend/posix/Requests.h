// Read and write requests on a non-blocking fd that end in the background, with the classic
// time-out rules. A request is tried at once on the calling thread; what is left is finished by a
// helper thread that exists while the device is open and sleeps in poll() while nothing is pending.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "comport/SerialDevice.h"

namespace comport::posix {

class Requests {
 public:
  // `onWriteEnded` runs (on whichever thread ended it) after each write request has ended.
  Requests(int fd, std::function<void()> onWriteEnded);
  ~Requests();

  Requests(const Requests&) = delete;
  Requests& operator=(const Requests&) = delete;

  void SetTimeouts(const TCommTimeouts& timeouts);
  TCommTimeouts Timeouts();

  int StartRead(void* buffer, std::size_t count);
  int StartWrite(const void* buffer, std::size_t count);
  bool ReadPending();
  bool WritePending();
  int WaitRead(std::size_t& transferred);
  int WaitWrite(std::size_t& transferred);
  // Waits until no write is pending, leaving its result for WaitWrite.
  void AwaitWriteEnd();

  // Ends the pending read, write or both with ECANCELED.
  void Abort(bool read, bool write);

  // Ends the helper thread; requests still pending are abandoned. Before the fd is closed.
  void Stop();

  // Bytes taken from the input so far.
  std::uint64_t BytesRead() const { return bytesRead_.load(std::memory_order_acquire); }

 public:
  using Clock = std::chrono::steady_clock;

 private:
  struct Request {
    unsigned char* data = nullptr;
    std::size_t count = 0;
    std::size_t done = 0;
    bool pending = false;
    int error = 0;
    bool anyByteEnds = false;  // a read that returns as soon as one byte is there
    bool hasDeadline = false;
    Clock::time_point deadline;
    std::chrono::milliseconds interval{0};  // between two bytes of a read, 0: none
    Clock::time_point lastByte;
  };

  void ArmRead(Request& r, std::size_t count, Clock::time_point now);
  void ArmWrite(Request& r, std::size_t count, Clock::time_point now);
  void Transfer(Request& r, bool read, Clock::time_point now);
  bool Ended(const Request& r, Clock::time_point now) const;
  void Finish(Request& r, bool read, int error);
  void Settle(Request& r, bool read, Clock::time_point now);
  void HandOff();
  int WaitFor(Request& r, std::size_t& transferred);
  int PollTimeout(Clock::time_point now) const;
  void Run();
  void PollOnce(std::unique_lock<std::mutex>& lock);

  const int fd_;
  const std::function<void()> onWriteEnded_;
  int wakeFd_ = -1;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::condition_variable work_;
  TCommTimeouts timeouts_;
  Request read_;
  Request write_;
  bool stop_ = false;
  std::thread helper_;
  std::atomic<std::uint64_t> bytesRead_{0};
};

}  // namespace comport::posix
