// The device side of the stepped headset's serial line: what SteppedHeadset does with the line at
// one instant of the test's clock, apart from the model that decides it.
//
// On Linux the line is a pseudo-terminal the test holds itself (posix/PtyHeadsetLine). A Windows
// program cannot hold one: there the pseudo-terminal belongs to a small Linux program next to wine
// (tests/wine/HeadsetLinePeer.cpp), which does the same with its descriptors on request over a
// second COM port, one request at a time, so that every exchange keeps its order
// (win32/RemoteHeadsetLine). Each request returns only once it is done.
//
// Errors are std::runtime_error.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace app::testing {

class HeadsetLine {
 public:
  virtual ~HeadsetLine() = default;

  // What the tool opens.
  virtual std::string Path() const = 0;

  struct Exchange {
    std::string taken;  // what the tool had sent, when asked to take it
    bool toolHasUnread = false;
  };
  // In this order: ends an exclusive open the tool left behind when it closed the line since the
  // last step (as the kernel does for a real serial port), writes `out` to the tool, takes what the
  // tool sent when `take` (one piece of what is waiting; nothing written before is missed), then
  // tells whether the tool has bytes it has not read.
  virtual Exchange Step(std::string_view out, bool take) = 0;
  // Closes the line, which the tool sees as a hang-up. Nothing works afterwards.
  virtual void HangUp() = 0;
};

// Why no line can be made here (the test then skips, saying so); nothing when one can.
std::optional<std::string> HeadsetLineUnavailable();

// A fresh line, from this build's backend. Throws when it cannot be made.
std::unique_ptr<HeadsetLine> MakeHeadsetLine();

}  // namespace app::testing
