// The headset's line as a pseudo-terminal held in this process: the master is the device's end,
// the slave what the tool opens. Also the Linux side of the line the Windows tests reach through
// tests/wine/HeadsetLinePeer.cpp.
#pragma once

#include "tests/app/HeadsetLine.h"

namespace app::testing {

class PtyHeadsetLine final : public HeadsetLine {
 public:
  // Opens the pty; throws std::runtime_error when it cannot.
  PtyHeadsetLine();
  ~PtyHeadsetLine() override;

  PtyHeadsetLine(const PtyHeadsetLine&) = delete;
  PtyHeadsetLine& operator=(const PtyHeadsetLine&) = delete;

  std::string Path() const override { return slavePath_; }
  Exchange Step(std::string_view out, bool take) override;
  void HangUp() override;

 private:
  bool ToolHasUnread() const;
  void FollowToolCloses();

  int masterFd_ = -1;
  int slaveFd_ = -1;  // never read: it keeps the pty alive while the tool has it closed
  int watchFd_ = -1;  // inotify on the slave path
  std::string slavePath_;
};

}  // namespace app::testing
