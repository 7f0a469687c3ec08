#include "tests/app/SteppedHeadset.h"

#include <utility>

namespace app::testing {
namespace {

// How long the device waits for the tool to take its last answer before leaving, as the
// VirtualHeadset runner does.
constexpr std::uint32_t kLeaveLimitMs = 1000;

// Whether `at` has come at `now`, on a tick count that wraps.
bool Reached(std::uint32_t at, std::uint32_t now) {
  return static_cast<std::int32_t>(now - at) >= 0;
}

}  // namespace

SteppedHeadset::SteppedHeadset(sim::HeadsetState state, sim::Faults faults, sim::Timing timing)
    : model_(std::move(state), faults, timing), timing_(timing), line_(MakeHeadsetLine()) {
  path_ = line_->Path();
}

SteppedHeadset::~SteppedHeadset() {
  if (!gone_) Leave();
}

void SteppedHeadset::SetFaults(const sim::Faults& faults) {
  model_ = sim::Headset(model_.State(), faults, timing_);
}

std::optional<std::uint32_t> SteppedHeadset::NextDue() const {
  if (!queue_.empty()) return queue_.front().at;
  return leaveBy_;
}

bool SteppedHeadset::Step(std::uint32_t now) {
  if (gone_) return false;
  std::string out;
  while (!queue_.empty() && Reached(queue_.front().at, now)) {
    out += queue_.front().bytes;
    queue_.pop_front();
  }
  const bool moved = !out.empty();
  // What the tool sent waits while an answer is under way.
  const HeadsetLine::Exchange exchange = line_->Step(out, queue_.empty() && !departing_);
  unread_ = exchange.toolHasUnread;
  if (!queue_.empty()) return moved;
  if (departing_) {
    if (!leaveBy_) leaveBy_ = now + kLeaveLimitMs;
    if (!exchange.toolHasUnread || Reached(*leaveBy_, now)) {
      Leave();
      return true;
    }
    return moved;
  }
  if (!exchange.taken.empty()) {
    Take(now, exchange.taken);
    return true;
  }
  return moved;
}

void SteppedHeadset::Take(std::uint32_t now, std::string_view sent) {
  const sim::Reply reply = model_.Receive(sent);
  std::uint32_t at = now;
  for (const sim::Chunk& chunk : reply.chunks) {
    at += static_cast<std::uint32_t>(chunk.pause.count());
    queue_.push_back({at, chunk.bytes});
  }
  departing_ = reply.departure != sim::Departure::None;
}

void SteppedHeadset::Leave() {
  line_->HangUp();
  queue_.clear();
  departing_ = false;
  leaveBy_.reset();
  gone_ = true;
}

}  // namespace app::testing
