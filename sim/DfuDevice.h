// The virtual headset's USB DFU side as a pure model: a DFU 1.1 device in run-time or DFU mode
// that answers control transfers and USB resets. No I/O and no clock: whoever runs it (the
// simulator's socket server, the engine tests' in-process transport) carries the transfers and
// spends the poll time-outs. The model does not check that the host waited; tests see the waits
// on their own clock.
//
// What it does:
//   run-time mode  a DFU run-time interface (protocol 1); DFU_DETACH, then a reset (or, with
//                  will-detach, at once by itself) brings it into DFU mode; unplugging it and
//                  plugging it in again does what a reset does
//   loader         in DFU mode the firmware's configuration string by default; a loader that names
//                  itself has its own strings and product id
//   DFU mode       DFU 1.1: DNLOAD blocks of at most wTransferSize, each answered by dfuDNBUSY
//                  with bwPollTimeout and then dfuDNLOAD-IDLE; the zero-length DNLOAD starts
//                  manifestation, after which a manifestation-tolerant device is back in dfuIDLE
//                  and any other waits for a reset (with will-detach: re-enumerates by itself, and
//                  DFU_DETACH in DFU mode does the same); errors go to dfuERROR until CLRSTATUS
//   firmware       the image received must start with the firmware header (upgrade/DfuFile.h);
//                  after manifestation and the next reset the device runs it: its configuration
//                  string becomes "FW:<name> PSR:<name>" of the image and it reports its version
//   faults         an error bStatus 1 to 15 after a chosen block, a stalled block, a disconnect
//                  at a block, never coming back after manifestation
// Each re-enumeration (reset, detaching itself, disconnect) starts a new generation: what the
// host had open is stale and must be opened again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "upgrade/DfuClass.h"

namespace sim {

struct DfuDeviceConfig {
  std::uint16_t vendor = 0x1209;
  std::uint16_t product = 0x7207;
  // Many devices name themselves differently in DFU mode; by default they do not.
  std::optional<std::uint16_t> dfuVendor;
  std::optional<std::uint16_t> dfuProduct;
  std::uint16_t bcdDevice = 0x0100;
  std::uint16_t transferSize = 1024;
  std::uint32_t pollTimeoutMs = 5;  // asked for after each block and during manifestation
  std::uint16_t detachTimeoutMs = 1000;
  bool manifestationTolerant = true;
  bool willDetach = false;
  // DFU_DETACH only in appIDLE, as DFU 1.1 has it: refused in DFU mode even with will-detach.
  bool strictDetach = false;
  // Ways a device may report a block being written, all within DFU 1.1: dfuDNLOAD-SYNC, the
  // state it was asked in, instead of dfuDNBUSY; the poll time-out in every status, also in
  // dfuDNLOAD-IDLE.
  bool syncWhileWriting = false;
  bool pollInEveryStatus = false;
  // The boot loader names itself ("DFU loader", its own maker and product strings) and shows the
  // headset's DFU-mode product id, as boot loaders usually do.
  bool loaderStrings = false;
};

// The boot loader's own product id, the DFU-mode id of the tool's quirk table.
inline constexpr std::uint16_t kLoaderProduct = 0x7208;
inline constexpr char kLoaderConfiguration[] = "DFU loader";

struct DfuFaults {
  struct StatusAt {
    int block = 0;
    std::uint8_t status = 0;  // 1 to 15
  };
  // Each fires once, at the first download that reaches its block, as a passing fault would.
  std::optional<StatusAt> statusAt;  // the block's GETSTATUS reports this error
  std::optional<int> stallAt;        // the block's DNLOAD is stalled
  std::optional<int> disconnectAt;   // the device disappears at the block's DNLOAD
  bool noReturn = false;             // gone for good at the reset after manifestation
  bool noStart = false;  // the new firmware does not start: back in DFU mode after manifestation
  // The system refuses every reset with its access error (as WinUSB without rights, or libusb
  // without them); the user must replug the device instead.
  bool resetRefused = false;
};

// Adds one DFU fault or setting given as on the command line ("status=3@10", "stall@4",
// "disconnect@7", "no-return", "no-start", "not-tolerant", "will-detach", "strict-detach",
// "sync-while-writing", "poll-always", "loader-strings", "reset-refused", "transfer-size=512",
// "poll=20"). Returns an error text, empty when accepted.
std::string AddDfuOption(std::string_view text, DfuDeviceConfig& config, DfuFaults& faults);

struct Firmware {
  int version = 123;
  std::string firmwareName = "QMR7_123.xpv";
  std::string psrName = "QMR7_123.psr";
};

enum class DfuMode { Runtime, Dfu, Gone };

struct ControlReply {
  enum class Kind { Ok, Stall, Gone };
  Kind kind = Kind::Ok;
  std::vector<std::uint8_t> data;  // device-to-host requests
};

class DfuDevice {
 public:
  explicit DfuDevice(Firmware running = {}, DfuDeviceConfig config = {}, DfuFaults faults = {});

  ControlReply Control(const dfu::Setup& setup, std::span<const std::uint8_t> data);
  // A USB reset; whoever carries it asks RefusesReset first.
  void Reset();
  bool RefusesReset() const { return faults_.resetRefused; }
  // Unplugged and plugged in again: as a reset, which no system can refuse.
  void Replug() { Reset(); }

  DfuMode Mode() const { return mode_; }
  dfu::State CurrentState() const { return state_; }
  unsigned Generation() const { return generation_; }
  const Firmware& Running() const { return running_; }
  // True once the device came back running a downloaded image.
  bool Upgraded() const { return upgraded_; }
  // Gone for good after manifestation (no-return), not merely disconnected.
  bool LeftForGood() const { return leftForGood_; }
  // What the configuration string says now: in DFU mode a self-naming loader's own text.
  std::string ConfigurationString() const;
  const DfuDeviceConfig& Config() const { return config_; }

 private:
  ControlReply Standard(const dfu::Setup& setup);
  ControlReply Class(const dfu::Setup& setup, std::span<const std::uint8_t> data);
  ControlReply Dnload(const dfu::Setup& setup, std::span<const std::uint8_t> data);
  ControlReply AnswerStatus();
  ControlReply Stall(dfu::Status status = dfu::Status::ErrStalledPkt);
  bool LoaderNamesItself() const { return mode_ == DfuMode::Dfu && config_.loaderStrings; }
  void Fail(dfu::Status status);
  void Reenumerate(DfuMode mode);
  void Manifest();

  Firmware running_;
  DfuDeviceConfig config_;
  DfuFaults faults_;
  DfuMode mode_ = DfuMode::Runtime;
  dfu::State state_ = dfu::State::AppIdle;
  dfu::Status status_ = dfu::Status::Ok;
  unsigned generation_ = 0;
  int block_ = 0;  // blocks received in this download
  std::vector<std::uint8_t> image_;
  std::optional<Firmware> manifested_;  // takes effect at the next reset
  bool upgraded_ = false;
  bool leftForGood_ = false;
};

}  // namespace sim
