// The virtual headset's serial side as a pure model: bytes from the tool go in, the device's
// answer comes out as timed writes, plus whether the device then leaves the serial side. No I/O
// and no clock: whoever runs the model (the pty runner) writes the bytes and spends the pauses.
//
// What the device answers:
//   AT+FPCMD1=<code>[,<arg>...]  "OK" and a "+FPSTS1=<code>,<payload>" line, each ended by CR LF:
//     7 identity 89075089; 8 firmware version; 9 model name; 10 Bluetooth address;
//     1, 2, 3 speed dial; 4 A2DP %; 5 GPS %, sharing; 21, 22, 23, 24, 25 store and report the
//     value now held; 27 factory settings; 20 answers and leaves for upgrade mode.
//   AT                           "OK" (the usual modem probe).
//   anything else                "ERROR": unknown codes, wrong number of arguments, other text.
// A value the device cannot hold (a speed dial that is not 0 to 16 digits, a percentage outside 1
// to 100, sharing other than 0 or 1, anything not plain digits) leaves the setting unchanged; the
// command is still acknowledged with "OK" and a status line that reports the value kept, because
// the tool waits for both and would otherwise report a dead device. A command with two values is
// applied whole or not at all.
// Lines end at CR or LF, so "\r", "\r\n" and "\n" all work; empty lines are ignored; a line longer
// than kMaxLineLength is answered "ERROR" once its end arrives.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr long kIdentity = 89075089;
inline constexpr long kWrongIdentity = 89075088;
inline constexpr std::size_t kMaxSpeedDialDigits = 16;
inline constexpr std::size_t kMaxLineLength = 256;

// What code 27 restores.
struct Settings {
  std::array<std::string, 3> speedDials{};
  int a2dpPercentage = 20;
  int gpsPercentage = 20;
  int gpsSharing = 1;

  friend bool operator==(const Settings&, const Settings&) = default;
};

// What the device is; code 27 leaves it alone, an upgrade changes the firmware version.
struct DeviceInfo {
  int firmwareVersion = 123;
  std::string modelName = "QMR7";
  std::string address = "00:0B:24:52:37:19";

  friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

struct HeadsetState {
  Settings settings;
  DeviceInfo info;

  friend bool operator==(const HeadsetState&, const HeadsetState&) = default;
};

// The ways the device can be told to misbehave; they combine.
struct Faults {
  bool silent = false;                // reads everything, answers nothing, changes nothing
  bool okOnly = false;                // carries out commands but sends no status line
  bool wrongIdentity = false;         // code 7 reports kWrongIdentity
  bool split = false;                 // every line in several writes with pauses between
  bool noise = false;                 // echoes each command and adds lines the tool must ignore
  std::chrono::milliseconds slow{0};  // pause before each answer
  std::optional<int> unplugAfter;     // leaves after this many lines (each non-empty line counts)

  friend bool operator==(const Faults&, const Faults&) = default;
};

// Adds one fault given as on the command line ("split", "slow=250", "unplug-after=3"). Returns
// an error text, empty when the fault was accepted.
std::string AddFault(std::string_view text, Faults& faults);

// The device's own pauses.
struct Timing {
  std::chrono::milliseconds splitGap{15};
  // How long the device stays away after code 20 until the upgrade side exists.
  std::chrono::milliseconds upgradeAway{3000};
};

// One write to the tool, after a pause.
struct Chunk {
  std::chrono::milliseconds pause{0};
  std::string bytes;

  friend bool operator==(const Chunk&, const Chunk&) = default;
};

enum class Departure {
  None,
  Unplug,       // gone for good (unplug-after)
  UpgradeMode,  // code 20: leaves the serial side for the upgrade
};

struct Reply {
  std::vector<Chunk> chunks;
  Departure departure = Departure::None;  // after the chunks are delivered
  bool stateChanged = false;              // the state should be saved
  std::vector<std::string> heard;         // the command lines taken, as they came

  // All bytes of the chunks, in order.
  std::string Bytes() const;
};

class Headset {
 public:
  explicit Headset(HeadsetState state = {}, Faults faults = {}, Timing timing = {});

  // Takes bytes as they arrive, in any pieces. Input after a departure in the same call is lost,
  // as on a device that has gone away.
  Reply Receive(std::string_view bytes);

  // Back on the serial side (after upgrade mode): no half line is remembered.
  void Reattach() {
    line_.clear();
    overflow_ = false;
  }

  const HeadsetState& State() const { return state_; }
  void SetFirmwareVersion(int version) { state_.info.firmwareVersion = version; }
  const Faults& GetFaults() const { return faults_; }
  const Timing& GetTiming() const { return timing_; }
  int LinesHandled() const { return lines_; }

 private:
  void HandleLine(std::string_view line, Reply& reply);
  // The answer lines without line ends: OK or ERROR first, then any status line.
  std::vector<std::string> Answer(std::string_view line, Reply& reply);
  std::string StatusFor(int code) const;
  void Emit(const std::vector<std::string>& lines, Reply& reply) const;

  HeadsetState state_;
  Faults faults_;
  Timing timing_;
  std::string line_;
  bool overflow_ = false;
  int lines_ = 0;
  std::size_t noiseTurn_ = 0;
};

}  // namespace sim
