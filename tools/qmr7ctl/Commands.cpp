#include "tools/qmr7ctl/Commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>

#include "app/PortRules.h"
#include "app/SettingRules.h"
#include "resources/TextCatalog.h"
#include "resources/Version.h"
#include "toolkit/Utf.h"
#include "tools/qmr7ctl/Failure.h"
#include "tools/qmr7ctl/Files.h"
#include "tools/qmr7ctl/Json.h"
#include "tools/qmr7ctl/Ports.h"
#include "tools/qmr7ctl/Settings.h"
#include "tools/qmr7ctl/Texts.h"
#include "tools/qmr7ctl/UsbDriver.h"
#include "upgrade/DfuFile.h"
#include "upgrade/DfuQuirks.h"
#include "upgrade/FirmwareCopy.h"
#include "upgrade/FirmwareRules.h"
#include "upgrade/UdevRules.h"

namespace qmr7ctl {
namespace {

// A backup is a few hundred bytes; anything much larger is not one.
constexpr std::size_t kMaxBackupSize = 64 * 1024;

constexpr char kUsage[] =
    "Usage: qmr7ctl [--port PORT] [--json] COMMAND [ARGUMENT]...\n"
    "Reads and changes the settings of a QM-R7 headset over its serial port.\n"
    "\n"
    "Commands:\n"
    "  ports             list the serial ports; * marks the one the tool preselects\n"
    "  info              check the headset and show its firmware version, model, address\n"
    "  get               show every setting\n"
    "  set KEY=VALUE...  change settings (keys below)\n"
    "  restore-defaults  restore the headset's default settings\n"
    "  backup FILE       save every setting to FILE (never replaces FILE without --force)\n"
    "  restore FILE      send every setting saved in FILE\n"
    "  firmware FILE     show what a firmware file holds and whether it suits the headset\n"
    "  upgrade FILE      upgrade the headset's firmware with FILE\n"
    "  doctor            check what stands between you and the headset, and how to fix it\n"
    "  udev-rules        print the udev rules that give you the headset (Linux)\n"
    "  help [COMMAND]    show this text, or the text of one command\n"
    "\n"
    "Options:\n"
    "  --port PORT       the headset's port (default: the one USB serial port)\n"
    "  --json            print the result as JSON\n"
    "  --force           (backup) replace an existing file\n"
    "  --help            show help; after a command, that command's help\n"
    "  --version         show the version\n"
    "\n"
    "Settings: speed-dial-1, speed-dial-2, speed-dial-3 (0 to 16 digits),\n"
    "a2dp-percentage, gps-percentage (1 to 100), gps-sharing (yes or no).\n"
    "\n"
    "Exit status: 0 success, 1 other failure, 2 wrong command line, 3 no headset,\n"
    "4 refused by the device, 5 time-out, 6 invalid file, 7 upgrade failed.\n";

struct CommandInfo {
  const char* name;
  int minOperands;
  int maxOperands;  // -1: any number
  bool usesPort;
  const char* operands;  // for messages
  const char* help;
};

constexpr CommandInfo kCommands[] = {
    {"ports", 0, 0, false, "no arguments",
     "Usage: qmr7ctl ports [--json]\n"
     "Lists the serial ports as the QM-R7 Tool Program lists them, in its order, and marks\n"
     "with * the port it preselects (the first USB port).\n"},
    {"info", 0, 0, true, "no arguments",
     "Usage: qmr7ctl info [--port PORT] [--json]\n"
     "Checks that the port has a QM-R7 headset (its identity) and shows the firmware\n"
     "version as the tool shows it, the model name and the Bluetooth device address.\n"},
    {"get", 0, 0, true, "no arguments",
     "Usage: qmr7ctl get [--port PORT] [--json]\n"
     "Shows every setting: the three speed dials, the A2DP and GPS shares of the mixed\n"
     "audio and whether GPS audio is shared.\n"},
    {"set", 1, -1, true, "KEY=VALUE arguments",
     "Usage: qmr7ctl set [--port PORT] [--json] KEY=VALUE...\n"
     "Changes settings. Every value is checked first; if one is wrong nothing is sent.\n"
     "  speed-dial-1, speed-dial-2, speed-dial-3   0 to 16 digits (empty clears it)\n"
     "  a2dp-percentage, gps-percentage            1 to 100\n"
     "  gps-sharing                                yes or no (also 1 or 0)\n"
     "Each page of the tool is saved whole: the values not given are sent as the\n"
     "headset has them.\n"},
    {"restore-defaults", 0, 0, true, "no arguments",
     "Usage: qmr7ctl restore-defaults [--port PORT] [--json]\n"
     "Restores the headset's default settings and shows them.\n"},
    {"backup", 1, 1, true, "one FILE",
     "Usage: qmr7ctl backup [--port PORT] [--json] [--force] FILE\n"
     "Saves every setting to FILE (JSON, format \"qmr7-settings\", version 1). The file is\n"
     "written whole or not at all; an existing FILE is kept unless --force is given.\n"},
    {"restore", 1, 1, true, "one FILE",
     "Usage: qmr7ctl restore [--port PORT] [--json] FILE\n"
     "Sends every setting saved in FILE by 'qmr7ctl backup'. The whole file is checked\n"
     "first; if any value is wrong nothing is sent.\n"},
    {"firmware", 1, 1, true, "one FILE",
     "Usage: qmr7ctl firmware [--port PORT] [--json] FILE\n"
     "Shows what a firmware (.dfu) file holds and whether it passes the tool's checks:\n"
     "the file itself, the product family, and the model of the connected headset.\n"
     "Exits with 6 when a check fails.\n"},
    {"upgrade", 1, 1, true, "one FILE",
     "Usage: qmr7ctl upgrade [--port PORT] [--device VID:PID[,VID:PID]] [--json] FILE\n"
     "Upgrades the headset's firmware with FILE as the QM-R7 Tool Program does: the file\n"
     "is checked first (nothing is sent when a check fails), the headset is asked to enter\n"
     "upgrade mode and looked for on USB (up to 30 s), the engine reconfigures it, downloads\n"
     "the file and returns it to its firmware; then its port is waited for (up to 15 s)\n"
     "and the new firmware version read back.\n"
     "A headset found in DFU mode on USB when no port answers (an upgrade cut short) is\n"
     "upgraded from there.\n"
     "--device names the headset's USB ids in hexadecimal when they are not the QM-R7's:\n"
     "the run-time ids, then the ids in DFU mode (the same when left out).\n"
     "When the system refuses to reset the headset's USB port, you are asked to unplug it\n"
     "and plug it in again; the upgrade waits up to 60 s for it.\n"
     "On a terminal a progress bar shows; otherwise one line per phase. Ctrl-C while the\n"
     "headset is in DFU mode only warns; a second Ctrl-C stops and leaves it in DFU mode.\n"
     "Exits with 6 when the file is refused, 7 when the upgrade fails or is stopped.\n"},
    {"doctor", 0, 0, false, "no arguments",
     "Usage: qmr7ctl doctor [--device VID:PID[,VID:PID]] [--json]\n"
     "Checks, in order, what stands between you and the headset, and prints for each\n"
     "check ok, or the problem and the one command or step that fixes it, or a note.\n"
     "On Linux: the headset's serial port, whether you may open it (and why not), the\n"
     "udev rules, ModemManager, the headset on USB (run-time or DFU mode) and whether you\n"
     "may open it, a virtual headset running. On Windows: the headset's COM port and its\n"
     "driver, the headset on USB and whether WinUSB serves its DFU interface, and whether\n"
     "you may reset its USB port.\n"
     "--device names the headset's USB ids when they are not the QM-R7's.\n"
     "Exits with 0 when no check finds a problem, 1 otherwise.\n"},
    {"udev-rules", 0, 0, false, "no arguments",
     "Usage: qmr7ctl udev-rules [--device VID:PID[,VID:PID]]\n"
     "Prints the udev rules that give the user at the seat the headset's serial port and\n"
     "USB device and keep ModemManager away from them, for the QM-R7's ids and those\n"
     "--device names. As root: qmr7ctl udev-rules > /etc/udev/rules.d/70-qmr7.rules\n"},
    {"help", 0, 1, false, "at most one COMMAND", nullptr},
};

const CommandInfo* FindCommand(std::string_view name) {
  for (const auto& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

struct Options {
  std::optional<std::string> port;
  bool json = false;
  bool force = false;
  std::optional<dfu::DeviceIds> device;
  bool help = false;
  bool version = false;
  std::string command;
  std::vector<std::string> operands;
};

[[noreturn]] void UsageError(const std::string& message) {
  throw Failure(Exit::Usage, message);
}

Options ParseArguments(const std::vector<std::string>& args) {
  Options options;
  bool operandsOnly = false;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (operandsOnly || arg.empty() || arg[0] != '-' || arg == "-") {
      words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      operandsOnly = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--force") {
      options.force = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--port" || arg.starts_with("--port=")) {
      std::string value;
      if (arg == "--port") {
        if (i + 1 >= args.size()) UsageError(Format(Text::OptionNeedsValue, {"--port"}));
        value = args[++i];
      } else {
        value = arg.substr(7);
      }
      if (value.empty()) UsageError(Format(Text::OptionNeedsValue, {"--port"}));
      options.port = value;
    } else if (arg == "--device" || arg.starts_with("--device=")) {
      std::string value;
      if (arg == "--device") {
        if (i + 1 >= args.size()) UsageError(Format(Text::OptionNeedsValue, {"--device"}));
        value = args[++i];
      } else {
        value = arg.substr(9);
      }
      options.device = dfu::ParseDeviceIds(value);
      if (!options.device) UsageError(Format(Text::BadDeviceIds, {value}));
    } else {
      UsageError(Format(Text::UnknownOption, {arg}));
    }
  }
  if (!words.empty()) {
    options.command = words.front();
    options.operands.assign(words.begin() + 1, words.end());
  }
  return options;
}

// --- Output --------------------------------------------------------------------------------------

// "Label: value" lines with the values in one column.
class Report {
 public:
  void Add(const std::string& label, std::string value) {
    rows_.push_back({label, Printable(std::move(value))});
  }
  std::string Text() const {
    std::size_t widest = 0;
    for (const auto& row : rows_)
      widest = std::max(widest, DisplayWidth(row.first));
    std::string out;
    for (const auto& [label, value] : rows_) {
      const bool hasColon = label.ends_with(":");
      out += label + (hasColon ? "" : ":");
      // No blanks at the end of a line with nothing to show.
      if (!value.empty())
        out += std::string(widest - DisplayWidth(label) + (hasColon ? 2 : 1), ' ');
      out += value + "\n";
    }
    return out;
  }

 private:
  std::vector<std::pair<std::string, std::string>> rows_;
};

std::string YesNo(int sharing) {
  return sharing == 0 ? Get(Text::No) : sharing == 1 ? Get(Text::Yes) : std::to_string(sharing);
}

void AddSettings(Report& report, const DeviceSettings& s) {
  report.Add(Get(Text::LabelSpeedDial1), s.speedDials[0]);
  report.Add(Get(Text::LabelSpeedDial2), s.speedDials[1]);
  report.Add(Get(Text::LabelSpeedDial3), s.speedDials[2]);
  report.Add(Get(Text::LabelA2dp), std::to_string(s.a2dpPercentage));
  report.Add(Get(Text::LabelGps), std::to_string(s.gpsPercentage));
  report.Add(Get(Text::LabelSharing), YesNo(s.gpsSharing));
}

// --- Commands ------------------------------------------------------------------------------------

class Command {
 public:
  Command(Options options, Environment& env) : o_(std::move(options)), env_(env) {}

  void Run() {
    const std::string& c = o_.command;
    if (c == "ports") return Ports();
    if (c == "info") return Info();
    if (c == "get") return GetSettings();
    if (c == "set") return SetSettings();
    if (c == "restore-defaults") return RestoreDefaults();
    if (c == "backup") return Backup();
    if (c == "restore") return Restore();
    if (c == "firmware") return Firmware();
    if (c == "upgrade") return Upgrade();
    if (c == "doctor") return Doctor();
    if (c == "udev-rules") return UdevRules();
  }

 private:
  void Print(const json::Value& value, const std::string& text) {
    env_.out << (o_.json ? json::Write(value) : text);
  }
  void Say(const std::string& message) { env_.err << Printable(message) << "\n"; }

  // Opens the port and runs the window's read chain from its start: the identity first.
  DeviceSession& Connect() {
    port_ = o_.port ? *o_.port : ChoosePort(ListPorts(env_.ports));
    link_ = env_.connect(port_);
    session_.emplace(*link_, port_);
    info_ = session_->Identify();
    return *session_;
  }

  void Ports() {
    const PortTable table = ListPorts(env_.ports);
    json::Array ports;
    std::string text;
    for (std::size_t i = 0; i < table.ports.size(); ++i) {
      const auto& port = table.ports[i];
      const bool preselected = static_cast<int>(i) == table.preselected;
      ports.push_back(json::Object{
          {"name", port.name}, {"description", port.description}, {"preselected", preselected}});
      text += (preselected ? "* " : "  ") +
              Printable(app::PortListLine(port.name, port.description)) + "\n";
    }
    if (table.ports.empty() && !o_.json) Say(Get(Text::NoPortsListed));
    Print(json::Object{{"ports", std::move(ports)}}, text);
  }

  void Info() {
    Connect();
    Report report;
    report.Add(Get(Text::LabelPort), port_);
    report.Add(Get(Text::LabelIdentity), std::to_string(info_.identity));
    report.Add(Get(Text::LabelFirmwareVersion), VersionText(info_.firmwareVersion));
    report.Add(Get(Text::LabelModel), info_.model);
    report.Add(Get(Text::LabelAddress), info_.address);
    Print(json::Object{{"port", port_},
                       {"identity", info_.identity},
                       {"firmware-version", info_.firmwareVersion},
                       {"firmware-version-text", VersionText(info_.firmwareVersion)},
                       {"model", info_.model},
                       {"address", info_.address}},
          report.Text());
  }

  void PrintSettings(const DeviceSettings& settings) {
    Report report;
    report.Add(Get(Text::LabelPort), port_);
    AddSettings(report, settings);
    Print(json::Object{{"port", port_}, {"settings", SettingsJson(settings)}}, report.Text());
  }

  void GetSettings() {
    DeviceSession& session = Connect();
    PrintSettings(session.ReadSettings());
  }

  // The values a page keeps from the headset must be ones the window would send back.
  void CheckPagesToSend(const SettingChanges& changes, const DeviceSettings& settings) {
    DeviceSettings checked = settings;
    // Pages that are not saved keep whatever the headset has.
    if (!changes.TouchesSpeedDials()) checked.speedDials = {};
    if (!changes.a2dpPercentage) checked.a2dpPercentage = app::kMinMixPercentage;
    if (!changes.gpsPercentage && !changes.gpsSharing) {
      checked.gpsPercentage = app::kMinMixPercentage;
      checked.gpsSharing = 0;
    }
    RefuseInvalid(checked);
  }

  // The headset reported a value it should not hold; sending it back or keeping it would spread it.
  static void RefuseInvalid(const DeviceSettings& settings) {
    if (const auto bad = FirstInvalid(settings)) {
      throw Failure(Exit::Refused,
                    Format(Text::DeviceValueOutOfRange, {KeyName(bad->first), bad->second}));
    }
  }

  void SetSettings() {
    SettingChanges changes;
    if (const std::string problem = ParseAssignments(o_.operands, changes); !problem.empty()) {
      UsageError(problem);
    }
    DeviceSession& session = Connect();
    const DeviceSettings settings = changes.AppliedTo(session.ReadSettings());
    CheckPagesToSend(changes, settings);
    session.SavePages(changes, settings);
    Say(Get(Text::Saved));
    PrintSettings(settings);
  }

  void RestoreDefaults() {
    DeviceSession& session = Connect();
    session.ReadSettings();
    session.RestoreDefaults();
    // As in the window: the whole read chain follows, from the identity on.
    info_ = session.Identify();
    const DeviceSettings settings = session.ReadSettings();
    Say(Get(Text::DefaultsRestored));
    PrintSettings(settings);
  }

  void Doctor() {
    if (!env_.doctor) UsageError(Format(Text::NotAvailable, {"doctor"}));
    std::vector<dfu::DeviceIds> extra;
    if (o_.device) extra.push_back(*o_.device);
    const std::vector<doctor::Finding> findings = env_.doctor(extra);
    json::Array checks;
    for (const doctor::Finding& f : findings) {
      const char* status = f.status == doctor::Status::Ok        ? "ok"
                           : f.status == doctor::Status::Problem ? "problem"
                                                                 : "note";
      json::Object check{{"check", f.check}, {"status", status}, {"text", f.text}};
      if (!f.fix.empty()) check.Set("fix", f.fix);
      checks.push_back(std::move(check));
    }
    const int status = doctor::ExitStatus(findings);
    Print(json::Object{{"checks", std::move(checks)}, {"ok", status == 0}},
          doctor::FindingsText(findings));
    if (status != 0) throw Failure(Exit::Failure, {});
  }

  void UdevRules() {
    std::string rules = dfu::UdevRuleLines();
    if (o_.device) {
      rules += dfu::UdevRuleLine(o_.device->vendor, o_.device->product) + "\n";
      if (o_.device->dfuVendor != o_.device->vendor || o_.device->dfuProduct != o_.device->product)
        rules += dfu::UdevRuleLine(o_.device->dfuVendor, o_.device->dfuProduct) + "\n";
    }
    env_.out << "# The QM-R7 headset's serial port and USB device for the user at the seat.\n"
             << rules;
  }

  void Backup() {
    const std::string& file = o_.operands[0];
    // Before the headset is asked anything: the answer would be lost.
    std::error_code ec;
    if (!o_.force && std::filesystem::exists(std::filesystem::symlink_status(file, ec))) {
      UsageError(Format(Text::FileExists, {file}));
    }

    DeviceSession& session = Connect();
    const DeviceSettings settings = session.ReadSettings();
    // A backup that restore would refuse helps nobody.
    RefuseInvalid(settings);
    const toolkit::Error error = WriteFileInPlace(file, BackupText(info_, settings), o_.force);
    if (error.code == EEXIST && !o_.force) UsageError(Format(Text::FileExists, {file}));
    if (error) throw Failure(Exit::Failure, Format(Text::CannotWrite, {file, error.text}));
    Say(Format(Text::BackedUp, {file}));
    Report report;
    report.Add(Get(Text::LabelFile), file);
    report.Add(Get(Text::LabelPort), port_);
    AddSettings(report, settings);
    Print(json::Object{{"file", file},
                       {"port", port_},
                       {"device", DeviceJson(info_)},
                       {"settings", SettingsJson(settings)}},
          report.Text());
  }

  void Restore() {
    const std::string& file = o_.operands[0];
    std::string text;
    if (const std::string reason = ReadSmallFile(file, kMaxBackupSize, text); !reason.empty()) {
      throw Failure(Exit::FileInvalid, Format(Text::CannotRead, {file, reason}));
    }
    DeviceSettings settings;
    std::optional<std::int64_t> newer;
    if (const std::string problem = ReadBackup(text, settings, newer); !problem.empty()) {
      if (newer) {
        throw Failure(Exit::FileInvalid,
                      Format(Text::BackupFromNewerVersion, {file, std::to_string(*newer)}));
      }
      throw Failure(Exit::FileInvalid, Format(Text::NotABackup, {file, problem}));
    }
    DeviceSession& session = Connect();
    session.ReadSettings();
    session.SaveAll(settings);
    Say(Format(Text::Restored, {file}));
    PrintSettings(settings);
  }

  // The headset was known by its configuration string; ids the packaged rules do not name leave it
  // to root, so the user is given the rule line that would match it.
  void SayIfIdsUnlisted(const usbenum::UsbDetection& found) {
    if (!DeviceAccessByUdevRules() || dfu::FindQuirk(found.idVendor, found.idProduct) != nullptr)
      return;
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", found.idVendor, found.idProduct);
    Say(Format(Text::UnlistedUsbIds, {ids}));
    Say(dfu::UdevRuleLine(found.idVendor, found.idProduct));
  }

  void Firmware();
  void Upgrade();
  dfu::FirmwareCopy CheckFirmwareFile(const std::string& file);

  Options o_;
  Environment& env_;
  std::string port_;
  std::unique_ptr<DeviceLink> link_;
  std::optional<DeviceSession> session_;
  DeviceInfo info_;
};

void Command::Firmware() {
  const std::string& file = o_.operands[0];
  dfu::FileInfo info;
  // The window holds at most 255 characters of a path and refuses a longer one whole.
  const dfu::FileFault fault = resources::CharCount(file) > app::kMaxPortText
                                   ? dfu::FileFault::Open
                                   : dfu::CheckFile(file, info);
  const bool fileOk = fault == dfu::FileFault::None;
  const bool familyOk = fileOk && dfu::HasProductFamilyMarker(info.header.description);
  std::optional<bool> modelOk;
  if (familyOk) {
    Connect();
    modelOk = dfu::FileNameMatchesModel(file, info_.model);
  }

  auto check = [](std::optional<bool> ok) { return ok ? json::Value(*ok) : json::Value(); };
  auto checkText = [](std::optional<bool> ok) {
    return ok ? Get(*ok ? Text::Passed : Text::Failed) : std::string("-");
  };
  const bool passes = modelOk.value_or(false);
  auto orNull = [&](auto value) { return fileOk ? json::Value(value) : json::Value(); };
  json::Object ids;
  if (fileOk) {
    ids = json::Object{{"vendor", static_cast<int>(info.suffix.idVendor)},
                       {"product", static_cast<int>(info.suffix.idProduct)},
                       {"device", static_cast<int>(info.suffix.bcdDevice)}};
  }
  const json::Value document = json::Object{
      {"file", file},
      {"description", orNull(info.header.description)},
      {"firmware-version", orNull(static_cast<std::int64_t>(info.header.firmwareVersion))},
      {"firmware-name", orNull(info.header.firmwareName)},
      {"psr-name", orNull(info.header.psrName)},
      {"image-size", orNull(static_cast<std::int64_t>(info.imageSize))},
      {"usb-ids", fileOk ? json::Value(ids) : json::Value()},
      {"fault", fileOk ? json::Value() : json::Value(dfu::FileFaultText(fault))},
      {"port", modelOk ? json::Value(port_) : json::Value()},
      {"model", modelOk ? json::Value(info_.model) : json::Value()},
      {"checks",
       json::Object{{"file", fileOk},
                    {"product-family", check(fileOk ? std::optional(familyOk) : std::nullopt)},
                    {"model", check(modelOk)}}},
      {"passes", passes}};

  Report report;
  report.Add(Get(Text::LabelFile), file);
  if (fileOk) {
    char usb[64];
    std::snprintf(usb, sizeof usb, "%04x:%04x %04x", info.suffix.idVendor, info.suffix.idProduct,
                  info.suffix.bcdDevice);
    report.Add(Get(Text::LabelDescription), info.header.description);
    report.Add(Get(Text::LabelFirmwareVersion),
               VersionText(static_cast<int>(info.header.firmwareVersion)));
    report.Add(Get(Text::LabelFirmwareName), info.header.firmwareName);
    report.Add(Get(Text::LabelPsrName), info.header.psrName);
    report.Add(Get(Text::LabelImageSize), std::to_string(info.imageSize));
    report.Add(Get(Text::LabelUsbIds), usb);
  }
  report.Add(Get(Text::LabelEngineCheck), checkText(fileOk));
  report.Add(Get(Text::LabelFamilyCheck),
             checkText(fileOk ? std::optional(familyOk) : std::nullopt));
  report.Add(Get(Text::LabelModelCheck),
             modelOk ? checkText(modelOk) + " (" + info_.model + ")" : checkText(modelOk));
  Print(document, report.Text());

  if (!fileOk) {
    throw Failure(Exit::FileInvalid, Format(Text::BadFirmwareFile, {dfu::FileFaultText(fault)}));
  }
  if (!familyOk) throw Failure(Exit::FileInvalid, Get(Text::WrongProductFamily));
  if (!passes) throw Failure(Exit::FileInvalid, Format(Text::WrongModel, {info_.model}));
  Say(Format(Text::FirmwarePasses, {info_.model}));
}

// The window's checks of a firmware file that need no headset, on the file read once: the copy
// returned holds the bytes checked, which are what the upgrade sends.
dfu::FirmwareCopy Command::CheckFirmwareFile(const std::string& file) {
  dfu::FileInfo info;
  dfu::FirmwareCopy copy;
  const dfu::FileFault fault = resources::CharCount(file) > app::kMaxPortText
                                   ? dfu::FileFault::Open
                                   : dfu::FirmwareCopy::Take(file, copy, info);
  if (fault != dfu::FileFault::None) {
    throw Failure(Exit::FileInvalid, Format(Text::BadFirmwareFile, {dfu::FileFaultText(fault)}));
  }
  if (!dfu::HasProductFamilyMarker(info.header.description)) {
    throw Failure(Exit::FileInvalid, Get(Text::WrongProductFamily));
  }
  return copy;
}

void Command::Upgrade() {
  if (env_.upgrade == nullptr) UsageError(Format(Text::NotAvailable, {"upgrade"}));
  UpgradeSystem& system = *env_.upgrade;
  const std::string& file = o_.operands[0];
  const dfu::FirmwareCopy checked = CheckFirmwareFile(file);
  InterruptWatch watch(system, env_.err);
  std::vector<dfu::DeviceIds> extraIds;
  if (o_.device) extraIds.push_back(*o_.device);

  // The headset on its port, or, when none answers, in DFU mode after an upgrade cut short.
  std::optional<usbenum::UsbDetection> onUsb;
  std::optional<int> previousVersion;
  std::string description;
  try {
    Connect();
  } catch (const Failure& failure) {
    if (failure.Code() != Exit::NoDevice) throw;
    onUsb = dfu::ChooseHeadset(system.walkUsb(), extraIds);
    if (dfu::StartOf(false, onUsb && onUsb->dfuMode) != dfu::RunStart::FromDfuMode) {
      ThrowIfWithoutWinUsb(system.checkDriver, extraIds);
      throw;
    }
    Say(Format(Text::FoundInDfuMode, {UsbIdentity(*onUsb)}));
    SayIfIdsUnlisted(*onUsb);
  }
  if (!onUsb) {
    if (!dfu::FileNameMatchesModel(file, info_.model)) {
      throw Failure(Exit::FileInvalid, Format(Text::WrongModel, {info_.model}));
    }
    previousVersion = info_.firmwareVersion;
    for (const auto& port : ListPorts(env_.ports).ports) {
      if (port.name == port_) description = port.description;
    }
    Say(Format(Text::UpgradeRequested, {port_}));
    if (system.catchInterrupts) system.catchInterrupts();
    session_->RequestUpgrade();
    session_.reset();
    link_.reset();
  } else if (system.catchInterrupts) {
    system.catchInterrupts();
  }

  UpgradeDriver driver(
      system, watch, env_.err, [this](const std::string& line) { Say(line); }, extraIds);
  if (previousVersion) {
    driver.FromPort(checked.Path(), [this](const usbenum::UsbDetection& found) {
      Say(Format(Text::FoundOnUsb, {UsbIdentity(found)}));
      SayIfIdsUnlisted(found);
    });
  } else {
    driver.FromDfuMode(*onUsb, checked.Path());
  }
  driver.ReleaseEngine();
  Say(Catalog(resources::kTextUpgradeComplete));

  // Back on the port of the same description (any one headset port when it was found in DFU
  // mode, or the named one when it has no description).
  Say(Get(Text::WaitingForPort));
  dfu::UpgradeRun& run = driver.Run();
  const std::string oldName = port_;
  for (;;) {
    watch.Check(Stage::Reconnecting);
    const PortTable table = ListPorts(env_.ports);
    std::optional<std::string> found;
    for (const auto& port : table.ports) {
      if (description.empty() ? (o_.port && port.name == oldName)
                              : port.description == description) {
        found = port.name;
        break;
      }
    }
    if (!found && description.empty() && !o_.port) {
      try {
        found = ChoosePort(table);
      } catch (const Failure&) {
      }
    }
    if (found) {
      port_ = *found;
      try {
        link_ = env_.connect(port_);
        session_.emplace(*link_, port_);
        info_ = session_->Identify();
        run.PortSeen(true);
        break;
      } catch (const Failure& failure) {
        // A port listed a moment before it opens: tried again while the wait lasts.
        session_.reset();
        link_.reset();
        if (failure.Code() != Exit::NoDevice) throw;
        if (run.PortSeen(false).what == dfu::UpgradeRun::Do::End) throw;
        system.sleep(kPollStep);
        continue;
      }
    }
    const dfu::UpgradeRun::Step next = run.PortSeen(false);
    if (next.what == dfu::UpgradeRun::Do::End) {
      throw Failure(Exit::NoDevice,
                    Format(Text::PortNotBack, {std::to_string(kReconnectLimit.count() / 1000)}));
    }
    system.sleep(next.wait);
  }

  Report report;
  report.Add(Get(Text::LabelFile), file);
  report.Add(Get(Text::LabelPort), port_);
  report.Add(Get(Text::LabelModel), info_.model);
  report.Add(Get(Text::LabelPreviousVersion),
             previousVersion ? VersionText(*previousVersion) : std::string("-"));
  report.Add(Get(Text::LabelFirmwareVersion), VersionText(info_.firmwareVersion));
  Print(json::Object{{"file", file},
                     {"port", port_},
                     {"model", info_.model},
                     {"from-dfu-mode", !previousVersion.has_value()},
                     {"previous-firmware-version",
                      previousVersion ? json::Value(*previousVersion) : json::Value()},
                     {"firmware-version", info_.firmwareVersion},
                     {"firmware-version-text", VersionText(info_.firmwareVersion)}},
        report.Text());
}

int Fail(Environment& env, const Failure& failure, const std::string& command) {
  // A failure without words has said what it had to on the way (the doctor's findings).
  if (*failure.what() != '\0') env.err << "qmr7ctl: " << Printable(failure.what()) << "\n";
  if (failure.Code() == Exit::Usage) {
    env.err << Printable(Format(Text::TryHelp, {command.empty() ? "" : command + " "})) << "\n";
  }
  return static_cast<int>(failure.Code());
}

}  // namespace

int Run(const std::vector<std::string>& args, Environment& env) {
  std::string commandName;
  try {
    Options options = ParseArguments(args);
    if (options.version) {
      env.out << "qmr7ctl " << resources::kFileVersion << "\n";
      return 0;
    }
    if (options.command.empty()) {
      if (options.help) {
        env.out << kUsage;
        return 0;
      }
      env.err << kUsage;
      return static_cast<int>(Exit::Usage);
    }
    const CommandInfo* command = FindCommand(options.command);
    if (command == nullptr) UsageError(Format(Text::UnknownCommand, {options.command}));
    commandName = command->name;
    if (commandName == "help" || options.help) {
      const std::string topic = commandName == "help"
                                    ? (options.operands.empty() ? "" : options.operands[0])
                                    : commandName;
      if (topic.empty()) {
        env.out << kUsage;
        return 0;
      }
      const CommandInfo* about = FindCommand(topic);
      if (about == nullptr) UsageError(Format(Text::UnknownCommand, {topic}));
      env.out << (about->help != nullptr ? about->help : kUsage);
      return 0;
    }
    if (command->help == nullptr) {
      commandName.clear();  // its help would not help
      UsageError(Format(Text::NotAvailable, {command->name}));
    }
    const int count = static_cast<int>(options.operands.size());
    if (count < command->minOperands ||
        (command->maxOperands >= 0 && count > command->maxOperands)) {
      UsageError(Format(Text::WrongArgumentCount, {commandName, command->operands}));
    }
    if (options.port && !command->usesPort) {
      UsageError(Format(Text::OptionNotForCommand, {"--port", commandName}));
    }
    if (options.force && commandName != "backup") {
      UsageError(Format(Text::OptionNotForCommand, {"--force", commandName}));
    }
    if (options.device && commandName != "upgrade" && commandName != "doctor" &&
        commandName != "udev-rules") {
      UsageError(Format(Text::OptionNotForCommand, {"--device", commandName}));
    }
    Command(std::move(options), env).Run();
    return 0;
  } catch (const Failure& failure) {
    return Fail(env, failure, commandName);
  }
}

}  // namespace qmr7ctl
