// The headset's memory between runs: a small key=value text file, replaced atomically
// (toolkit/AtomicFile.h) so that a crash never leaves half a state.
//
//   format=1
//   speed_dial_1=0312345678
//   speed_dial_2=
//   speed_dial_3=
//   a2dp_percentage=20
//   gps_percentage=20
//   gps_sharing=1
//   firmware_version=123
//   model_name=QMR7
//   address=00:0B:24:52:37:19
//
// Lines starting with '#' are comments. A missing file, key or unusable value gives the factory
// value for what is missing, so a hand-edited file never stops the headset from starting.
#pragma once

#include <string>

#include "sim/Headset.h"

namespace sim {

// $XDG_STATE_HOME/qmr7-sim/state, else ~/.local/state/qmr7-sim/state, else under the temporary
// folder when there is no home.
std::string DefaultStatePath();

HeadsetState LoadState(const std::string& path);

// Creates missing folders. Throws std::runtime_error naming the failing step, its path and the
// system's text.
void SaveState(const std::string& path, const HeadsetState& state);

}  // namespace sim
