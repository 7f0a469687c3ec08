// The headset model (sim::Headset) as qmr7ctl's link, in virtual time: no port, no threads. The
// device's pauses advance the clock; a read that finds no line jumps to its deadline, so a
// time-out costs nothing and its moment is exact.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "app/DeviceProtocol.h"
#include "sim/Headset.h"
#include "tools/qmr7ctl/Failure.h"
#include "tools/qmr7ctl/Session.h"

namespace qmr7ctl::testing {

class HeadsetLink final : public DeviceLink {
 public:
  // `log`, when given, also receives every command sent, without its carriage return.
  explicit HeadsetLink(sim::Headset& headset, std::vector<std::string>* log = nullptr)
      : headset_(headset), log_(log) {}

  void Send(const std::string& line) override {
    if (gone_) throw Failure(Exit::NoDevice, "unplugged");
    sent.push_back(line);
    if (log_ != nullptr) log_->push_back(line.substr(0, line.size() - 1));
    sendTimes.push_back(now_);
    const sim::Reply reply = headset_.Receive(line);
    auto at = now_;
    for (const auto& chunk : reply.chunks) {
      at += chunk.pause;
      pending_.push_back({at, chunk.bytes});
    }
    gone_ = reply.departure != sim::Departure::None;
  }

  std::optional<std::string> ReadLine(Clock::time_point deadline) override {
    for (;;) {
      if (auto line = received_.TakeLine()) return line;
      if (pending_.empty() && gone_) throw Failure(Exit::NoDevice, "unplugged");
      if (pending_.empty() || pending_.front().at > deadline) {
        now_ = std::max(now_, deadline);
        return std::nullopt;
      }
      now_ = std::max(now_, pending_.front().at);
      received_.Append(pending_.front().bytes);
      pending_.pop_front();
    }
  }

  Clock::time_point Now() override { return now_; }

  // Lines sent, without their carriage returns.
  std::vector<std::string> Commands() const {
    std::vector<std::string> commands;
    for (const auto& line : sent)
      commands.push_back(line.substr(0, line.size() - 1));
    return commands;
  }

  std::vector<std::string> sent;
  std::vector<Clock::time_point> sendTimes;

 private:
  struct Timed {
    Clock::time_point at;
    std::string bytes;
  };

  sim::Headset& headset_;
  std::vector<std::string>* log_;
  Clock::time_point now_{};
  std::deque<Timed> pending_;
  app::LineBuffer received_;
  bool gone_ = false;
};

}  // namespace qmr7ctl::testing
