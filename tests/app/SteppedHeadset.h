// The virtual headset's model on a serial line (HeadsetLine), run by the test's own thread in the
// test's time: no thread and no real-time pause. VirtualHeadset runs the same model on a thread of
// its own in real time; here each Step() does what that runner does at one instant of the test's
// manual clock, so that the device's pauses (slow answers, split lines) and the window's response
// time-out are measured on one clock and every exchange happens in the same order on every run.
//
// As the runner does, the device answers one command at a time (what the tool sends meanwhile
// waits in the line), lets the tool read its last answer before it leaves (at most a second),
// leaves by closing the line, which the tool sees as a hang-up, and ends the tool's exclusive open
// when the tool closes the port, as the kernel does for a real serial port.
//
// On Windows the line is a COM port whose far side a Linux program beside wine holds: one device
// at a time there, each new one behind the same port name.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "sim/Headset.h"
#include "tests/app/HeadsetLine.h"

namespace app::testing {

class SteppedHeadset {
 public:
  // Opens the line (MakeHeadsetLine); throws std::runtime_error when it cannot.
  explicit SteppedHeadset(sim::HeadsetState state, sim::Faults faults = {},
                          sim::Timing timing = {});
  ~SteppedHeadset();

  SteppedHeadset(const SteppedHeadset&) = delete;
  SteppedHeadset& operator=(const SteppedHeadset&) = delete;

  // What the tool opens; empty once the device has left.
  std::string SlavePath() const { return gone_ ? std::string() : path_; }

  // From now on the device misbehaves so; unplug-after counts the lines from here. Only between
  // answers.
  void SetFaults(const sim::Faults& faults);

  // Does what the device does at `now` (ms on the test's clock): writes the answer bytes that are
  // due, takes what the tool sent once it is not busy answering, and leaves when its last answer
  // has been read. Returns whether anything happened.
  bool Step(std::uint32_t now);

  // When the device next does something by itself (answer bytes due, leaving); nothing when it
  // waits for the tool.
  std::optional<std::uint32_t> NextDue() const;
  // Bytes written to the tool that it had not read when the last Step() ended. The tool reads only
  // when the test lets it run its events, so this holds until then.
  bool ToolHasUnread() const { return !gone_ && unread_; }
  // Nothing to write and not about to leave: only the tool can make it do something.
  bool Quiet() const { return queue_.empty() && !departing_; }
  bool Gone() const { return gone_; }
  const sim::HeadsetState& State() const { return model_.State(); }

 private:
  struct Due {
    std::uint32_t at;
    std::string bytes;
  };

  void Take(std::uint32_t now, std::string_view sent);
  void Leave();

  sim::Headset model_;
  sim::Timing timing_;
  std::unique_ptr<HeadsetLine> line_;
  std::string path_;
  std::deque<Due> queue_;
  bool unread_ = false;
  bool departing_ = false;                // leaves once its last answer is out and read
  std::optional<std::uint32_t> leaveBy_;  // its last answer is out: leave by then at the latest
  bool gone_ = false;
};

}  // namespace app::testing
