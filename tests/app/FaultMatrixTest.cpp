// The window against every way the virtual headset can misbehave on its serial side, crossed with
// what a user does. Each cell runs on the manual clock with the headset stepped in the same time
// (SteppedHeadset): a hang is a cell that does not settle within its bound of manual time, and
// every run sees the same exchange. For each cell: the messages the user sees, the port's state,
// that the window then closes, and that the headset holds the old values or the new ones, never a
// mix the user did not ask for.
//
// With QMR7_FAULT_MATRIX_TABLE naming a file, the program also writes there, as Markdown, what
// each cell showed (scripts/reliability/fault-matrix puts it into docs/RELIABILITY.md).

#include <QCoreApplication>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "sim/VirtualHeadset.h"
#include "tests/app/MainformTestFixture.h"
#include "tests/app/SteppedHeadset.h"
#include "toolkit/qt/Text.h"

namespace app::testing {
namespace {

using namespace resources;
using toolkit::qt::S;
using toolkit::qt::UDBtnType;
namespace mb = toolkit::mb;

// --- The rows: how the headset misbehaves ------------------------------------------------------

enum class Fault {
  None,
  Silent,
  OkOnly,
  WrongIdentity,
  Split,
  Noise,
  Slow,     // answers within the response time
  TooSlow,  // answers after it
  UnplugAfter1,
  UnplugAfter2,
};

struct FaultRow {
  Fault fault;
  const char* name;  // as qmr7-sim --fault takes it
  const char* testName;
};

constexpr FaultRow kFaults[] = {
    {Fault::None, "", "None"},
    {Fault::Silent, "silent", "Silent"},
    {Fault::OkOnly, "ok-only", "OkOnly"},
    {Fault::WrongIdentity, "wrong-identity", "WrongIdentity"},
    {Fault::Split, "split", "Split"},
    {Fault::Noise, "noise", "Noise"},
    {Fault::Slow, "slow=250", "Slow250"},
    {Fault::TooSlow, "slow=1500", "Slow1500"},
    {Fault::UnplugAfter1, "unplug-after=1", "UnplugAfter1"},
    {Fault::UnplugAfter2, "unplug-after=2", "UnplugAfter2"},
};
static_assert(kFaults[static_cast<int>(Fault::Silent)].fault == Fault::Silent);
static_assert(kFaults[static_cast<int>(Fault::UnplugAfter2)].fault == Fault::UnplugAfter2);
constexpr int kFaultCount = static_cast<int>(std::size(kFaults));

const FaultRow& RowOf(Fault fault) {
  return kFaults[static_cast<int>(fault)];
}

void PrintTo(Fault fault, std::ostream* out) {
  *out << (*RowOf(fault).name == '\0' ? "none" : RowOf(fault).name);
}

sim::Faults FaultsOf(Fault fault) {
  sim::Faults faults;
  if (fault != Fault::None) {
    const std::string error = sim::AddFault(RowOf(fault).name, faults);
    if (!error.empty()) ADD_FAILURE() << error;
  }
  return faults;
}

// --- The columns: what the user does -----------------------------------------------------------

enum class Action { OpenAndRead, SaveSpeedDials, SaveA2dp, SaveGps, RestoreDefaults, CloseWindow };

struct ActionColumn {
  Action action;
  const char* title;
  const char* testName;
  // What the user does, for the table.
  const char* how;
};

constexpr ActionColumn kActions[] = {
    {Action::OpenAndRead, "Open and read", "OpenAndRead",
     "Open on the headset's line, which starts the read chain (7, 8, 9, 10, 1 to 5)."},
    {Action::SaveSpeedDials, "Save the speed dials", "SaveSpeedDials",
     "After a clean read, three new numbers and Save on the speed-dial page (21, 22, 23)."},
    {Action::SaveA2dp, "Save the A2DP page", "SaveA2dp",
     "After a clean read, a new A2DP share and Save (24)."},
    {Action::SaveGps, "Save the GPS page", "SaveGps",
     "After a clean read, a new GPS share and sharing, and Save (25)."},
    {Action::RestoreDefaults, "Restore defaults", "RestoreDefaults",
     "After a clean read, Restore Default answered Yes (27, then the read chain)."},
    {Action::CloseWindow, "Close the window", "CloseWindow",
     "Open, and Exit at once while the first command awaits its answer."},
};
static_assert(kActions[static_cast<int>(Action::SaveGps)].action == Action::SaveGps);
static_assert(kActions[static_cast<int>(Action::CloseWindow)].action == Action::CloseWindow);
constexpr int kActionCount = static_cast<int>(std::size(kActions));

const ActionColumn& ColumnOf(Action action) {
  return kActions[static_cast<int>(action)];
}

void PrintTo(Action action, std::ostream* out) {
  *out << ColumnOf(action).title;
}

// The fault is there from the start for what opens the port, and from the user's action on for
// the rest, which need a read that went well first.
bool FaultBeforeOpening(Action action) {
  return action == Action::OpenAndRead || action == Action::CloseWindow;
}

// --- What each cell must show ------------------------------------------------------------------

enum class Port { Open, Closed };

// What the headset holds afterwards of the values the action is about. The speed dials are three
// commands, so a fault between them can leave the first dials saved and the others not: each dial
// holds its old or its new number, and the new ones are those sent before the fault.
enum class Holds { Old, New, Dial1New, Dials12New };

struct Outcome {
  std::vector<TextId> messages;
  Port port;
  Holds holds;
};

struct ExpectedRow {
  Fault fault;
  std::array<Outcome, kActionCount> cells;  // in the order of kActions
};

const std::vector<ExpectedRow>& ExpectedTable() {
  constexpr TextId T = kTextDeviceTimeout;
  constexpr TextId Sv = kTextSaveSuccessful;
  constexpr TextId R = kTextDefaultsRestored;
  constexpr TextId C = kTextCommunicating;
  constexpr Port O = Port::Open;
  constexpr Port X = Port::Closed;
  constexpr Holds Old = Holds::Old;
  constexpr Holds New = Holds::New;
  constexpr Holds D1 = Holds::Dial1New;
  constexpr Holds D12 = Holds::Dials12New;
  // clang-format off
  static const std::vector<ExpectedRow> table = {
      //                      open and read   speed dials     A2DP            GPS             restore         close the window
      {Fault::None,          {{{{}, O, Old},  {{Sv}, O, New}, {{Sv}, O, New}, {{Sv}, O, New}, {{R}, O, New},  {{C}, O, Old}}}},
      {Fault::Silent,        {{{{T}, X, Old}, {{T}, X, Old},  {{T}, X, Old},  {{T}, X, Old},  {{T}, X, Old},  {{C, T}, X, Old}}}},
      // Carried out but never confirmed: the device has the new values, the user is told it failed.
      {Fault::OkOnly,        {{{{T}, X, Old}, {{T}, X, D1},   {{T}, X, New},  {{T}, X, New},  {{T}, X, New},  {{C, T}, X, Old}}}},
      // Only the read chain asks who the device is.
      {Fault::WrongIdentity, {{{{T}, X, Old}, {{Sv}, O, New}, {{Sv}, O, New}, {{Sv}, O, New}, {{T}, X, New},  {{C, T}, X, Old}}}},
      {Fault::Split,         {{{{}, O, Old},  {{Sv}, O, New}, {{Sv}, O, New}, {{Sv}, O, New}, {{R}, O, New},  {{C}, O, Old}}}},
      {Fault::Noise,         {{{{}, O, Old},  {{Sv}, O, New}, {{Sv}, O, New}, {{Sv}, O, New}, {{R}, O, New},  {{C}, O, Old}}}},
      {Fault::Slow,          {{{{}, O, Old},  {{Sv}, O, New}, {{Sv}, O, New}, {{Sv}, O, New}, {{R}, O, New},  {{C}, O, Old}}}},
      {Fault::TooSlow,       {{{{T}, X, Old}, {{T}, X, D1},   {{T}, X, New},  {{T}, X, New},  {{T}, X, New},  {{C, T}, X, Old}}}},
      // The device answers and leaves: the command sent next ends with the port, and the user is
      // told at once. A single save was confirmed before the device left.
      {Fault::UnplugAfter1,  {{{{T}, X, Old}, {{T}, X, D1},   {{Sv}, X, New}, {{Sv}, X, New}, {{T}, X, New},  {{C, T}, X, Old}}}},
      {Fault::UnplugAfter2,  {{{{T}, X, Old}, {{T}, X, D12},  {{Sv}, O, New}, {{Sv}, O, New}, {{T}, X, New},  {{C, T}, X, Old}}}},
  };
  // clang-format on
  return table;
}

const Outcome& ExpectedFor(Fault fault, Action action) {
  const auto& table = ExpectedTable();
  const auto row = std::find_if(table.begin(), table.end(),
                                [&](const ExpectedRow& r) { return r.fault == fault; });
  if (row == table.end()) throw std::logic_error("no expected row for a fault");
  return row->cells[static_cast<std::size_t>(action)];
}

// --- The headset's values before and after ----------------------------------------------------

sim::Settings OldSettings() {
  sim::Settings s;
  s.speedDials = {"111", "222", "333"};
  s.a2dpPercentage = 35;
  s.gpsPercentage = 45;
  s.gpsSharing = 0;
  return s;
}

const std::array<std::string, 3> kNewDials = {"0312345678", "", "9876543210123456"};
constexpr int kNewA2dp = 70;
constexpr int kNewGps = 60;
constexpr int kNewSharing = 1;

// What the action asks the headset to hold.
sim::Settings NewSettings(Action action) {
  sim::Settings s = OldSettings();
  switch (action) {
    case Action::SaveSpeedDials:
      s.speedDials = kNewDials;
      break;
    case Action::SaveA2dp:
      s.a2dpPercentage = kNewA2dp;
      break;
    case Action::SaveGps:
      s.gpsPercentage = kNewGps;
      s.gpsSharing = kNewSharing;
      break;
    case Action::RestoreDefaults:
      s = sim::Settings{};
      break;
    default:
      break;
  }
  return s;
}

// Which of the allowed states the headset is in; nothing when it holds a mix the user did not ask
// for (a value neither old nor new, a setting the action was not about changed, half of a GPS
// save, speed dials saved out of order).
std::optional<Holds> Classify(Action action, const sim::Settings& now) {
  const sim::Settings before = OldSettings();
  const sim::Settings wanted = NewSettings(action);
  if (now == before) return Holds::Old;
  if (now == wanted) return Holds::New;
  if (action != Action::SaveSpeedDials) return std::nullopt;
  sim::Settings rest = now;
  rest.speedDials = before.speedDials;
  if (rest != before) return std::nullopt;
  int saved = 0;  // the dials saved, in the order they are sent
  for (std::size_t i = 0; i < 3; ++i) {
    if (now.speedDials[i] == wanted.speedDials[i] && saved == static_cast<int>(i)) {
      ++saved;
    } else if (now.speedDials[i] != before.speedDials[i]) {
      return std::nullopt;
    }
  }
  if (saved == 1) return Holds::Dial1New;
  if (saved == 2) return Holds::Dials12New;
  return std::nullopt;
}

// --- Texts for the table ------------------------------------------------------------------------

std::string HoldsText(Action action, Holds holds) {
  const bool reads = action == Action::OpenAndRead || action == Action::CloseWindow;
  switch (holds) {
    case Holds::Old:
      return reads ? "its values" : "the old values";
    case Holds::New:
      return action == Action::RestoreDefaults ? "the defaults" : "the new values";
    case Holds::Dial1New:
      return "new dial 1, old dials 2 and 3";
    case Holds::Dials12New:
      return "new dials 1 and 2, old dial 3";
  }
  return {};
}

constexpr TextId kMessageIds[] = {
    kTextCannotOpenPort,   kTextDeviceTimeout,  kTextSelectAndOpenPort, kTextSaveSuccessful,
    kTextDefaultsRestored, kTextConfirmRestore, kTextCommunicating,     kTextConfirmDiscard,
};

// The catalogue number of a box's text; 0 for a text the catalogue does not have.
TextId IdOf(const std::string& text) {
  for (const TextId id : kMessageIds) {
    if (LoadText(id) == text) return id;
  }
  return 0;
}

// What one cell showed, for the document.
struct SeenCell {
  std::vector<std::string> messages;  // catalogue numbers, or the text itself
  std::string port;
  std::uint32_t endsAfterMs = 0;
  std::string closes;
  std::string holds;
  std::string reopened;
};

std::map<std::pair<int, int>, SeenCell>& SeenCells() {
  static std::map<std::pair<int, int>, SeenCell> cells;
  return cells;
}

std::string Joined(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (const auto& item : items)
    text += (text.empty() ? "" : separator) + item;
  return text;
}

// Writes the cells that ran as Markdown, one table per action, when asked to.
class MatrixWriter final : public ::testing::Environment {
 public:
  void TearDown() override {
    const char* path = std::getenv("QMR7_FAULT_MATRIX_TABLE");
    if (path == nullptr || *path == '\0') return;
    std::ofstream out(path, std::ios::trunc | std::ios::binary);
    out << Markdown();
    if (!out) ADD_FAILURE() << "cannot write " << path;
  }

 private:
  static std::string Markdown() {
    std::ostringstream md;
    md << "Messages by catalogue number:\n\n";
    for (const TextId id : kMessageIds) {
      if (Shown(std::to_string(id))) md << "- " << id << " \"" << LoadText(id) << "\"\n";
    }
    for (int a = 0; a < kActionCount; ++a) {
      md << "\n### " << kActions[a].title << "\n\n" << kActions[a].how << "\n\n";
      md << "| headset fault | user sees | port after | ends after | headset holds | "
            "opened again | window closes |\n";
      md << "|---|---|---|---|---|---|---|\n";
      for (int f = 0; f < kFaultCount; ++f) {
        const auto seen = SeenCells().find({f, a});
        if (seen == SeenCells().end()) continue;
        const SeenCell& c = seen->second;
        const std::string fault = *kFaults[f].name == '\0' ? "none" : kFaults[f].name;
        const std::string said = c.messages.empty() ? "nothing" : Joined(c.messages, ", ");
        md << "| `" << fault << "` | " << said << " | " << c.port << " | " << c.endsAfterMs
           << " ms | " << c.holds << " | " << c.reopened << " | " << c.closes << " |\n";
      }
    }
    return md.str();
  }

  static bool Shown(const std::string& id) {
    for (const auto& [key, cell] : SeenCells()) {
      if (std::find(cell.messages.begin(), cell.messages.end(), id) != cell.messages.end()) {
        return true;
      }
    }
    return false;
  }
};

[[maybe_unused]] ::testing::Environment* const kMatrixWriter =
    ::testing::AddGlobalTestEnvironment(new MatrixWriter);

// --- The cell -----------------------------------------------------------------------------------

// Manual time within which every cell must settle: far beyond the longest chain (ten commands each
// answered 250 ms late), so a cell that takes it has hung.
constexpr std::uint32_t kSettleBoundMs = 10'000;
constexpr std::uint32_t kStepMs = 5;

class FaultMatrixTest : public MainformTest,
                        public ::testing::WithParamInterface<std::tuple<Fault, Action>> {
 protected:
  void SetUp() override {
    if (const auto why = HeadsetLineUnavailable()) GTEST_SKIP() << *why;
    MainformTest::SetUp();
  }

  void TearDown() override {
    form.reset();
    headset.reset();
    MainformTest::TearDown();
  }

  void StartHeadset(const sim::Faults& faults) {
    headset = std::make_unique<SteppedHeadset>(sim::HeadsetState{OldSettings(), {}}, faults);
    ports.ports = {{headset->SlavePath(), sim::kDefaultDescription}};
  }

  void StartWindow() {
    form = MakeForm();
    form->show();
    clock.Advance(100);  // past the first-show prompt
    ui.boxes.clear();
  }

  bool Idle() const {
    return form->PendingCommand == kIdleCommand && !form->UartRespTimeoutTimer->Enabled();
  }

  // Lets the window and the headset exchange all they have at this instant of the manual clock.
  // Everything runs on this thread; only a window that never takes bytes waiting for it keeps this
  // going, and the bound turns that into a failure.
  ::testing::AssertionResult Settle() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      // A write the port still carries out in the background (on Windows) reaches the headset at
      // this instant all the same: the headset steps once it is there, never before.
      if (form->ComPort1->WritePending()) {
        if (std::chrono::steady_clock::now() > deadline) {
          return ::testing::AssertionFailure() << "the window's write does not end";
        }
        continue;
      }
      bool moved = headset->Step(clock.TickCount());
      if (headset->Gone() && !ports.ports.empty()) {
        // The system tells of the removal after the tty hung up.
        moved = dispatcher.Pump() > 0 || moved;
        ports.ports.clear();
        notifier.Notify(platform::kDeviceRemoveComplete);
        moved = true;
      }
      moved = dispatcher.Pump() > 0 || moved;
      QCoreApplication::processEvents();
      // Only a pump lets the window read: with nothing pumped, what the step saw still holds.
      const bool toolToRead = form->ComPort1->Active() && headset->ToolHasUnread();
      if (!moved && !toolToRead) return ::testing::AssertionSuccess();
      if (std::chrono::steady_clock::now() > deadline) {
        return ::testing::AssertionFailure() << "the window does not take what the headset sent";
      }
    }
  }

  enum class Until {
    UserCanGoOn,   // no command pending, or the port closed under it so that Open is there again
    HeadsetQuiet,  // also: the headset has nothing more to say
  };

  // Moves the manual clock until `until` holds: the manual time until the user could go on, or
  // nothing when the bound passed first.
  std::optional<std::uint32_t> RunUntil(Until until) {
    std::optional<std::uint32_t> goOnAt;
    for (std::uint32_t elapsed = 0;;) {
      EXPECT_TRUE(Settle());
      if (!goOnAt && (Idle() || !form->PortReady)) goOnAt = elapsed;
      if (goOnAt && (until == Until::UserCanGoOn || (Idle() && headset->Quiet()))) return goOnAt;
      if (elapsed >= kSettleBoundMs) return std::nullopt;
      std::uint32_t step = kStepMs;
      if (const auto due = headset->NextDue()) {
        step = std::clamp<std::uint32_t>(*due - clock.TickCount(), 1, kStepMs);
      }
      clock.Advance(step);
      elapsed += step;
    }
  }

  void DoAction(Action action) {
    switch (action) {
      case Action::OpenAndRead:
        form->OpenComPortButton->click();
        break;
      case Action::SaveSpeedDials:
        form->SpeedDial1LabeledEdit->setText(QString::fromStdString(kNewDials[0]));
        form->SpeedDial2LabeledEdit->setText(QString::fromStdString(kNewDials[1]));
        form->SpeedDial3LabeledEdit->setText(QString::fromStdString(kNewDials[2]));
        form->SaveSpeedDialSettingButton->click();
        break;
      case Action::SaveA2dp:
        form->A2DPAudioMixPercentageUpDown->SetPosition(kNewA2dp);
        form->SaveA2dpAudioSettingButton->click();
        break;
      case Action::SaveGps:
        form->GPSAudioMixPercentageUpDown->SetPosition(kNewGps);
        form->GPSAudioSharingUpDown->Step(UDBtnType::btNext);  // No -> Yes
        form->SaveGPSAudioSettingButton->click();
        break;
      case Action::RestoreDefaults:
        ui.answers = {mb::kIdYes};
        form->RestoreDefaultButton->click();
        // The question is the user's own step, not an outcome.
        ASSERT_EQ(ui.boxes, (std::vector{Box(kTextConfirmRestore, kTextCaptionNote, 0x134)}));
        ui.boxes.clear();
        break;
      case Action::CloseWindow:
        form->OpenComPortButton->click();
        form->ExitButton->click();
        EXPECT_TRUE(form->isVisible()) << "closed while a command awaited its answer";
        break;
    }
  }

  bool PagesShowTheHeadset() const {
    const sim::Settings& device = headset->State().settings;
    return S(form->SpeedDial1LabeledEdit->text()) == device.speedDials[0] &&
           S(form->SpeedDial2LabeledEdit->text()) == device.speedDials[1] &&
           S(form->SpeedDial3LabeledEdit->text()) == device.speedDials[2] &&
           form->A2DPAudioMixPercentageUpDown->Position() == device.a2dpPercentage &&
           form->GPSAudioMixPercentageUpDown->Position() == device.gpsPercentage &&
           form->GPSAudioSharingUpDown->Position() == device.gpsSharing;
  }

  void OpenAgainWithTheHeadsetWell() {
    ui.boxes.clear();
    if (headset->Gone()) {
      const sim::HeadsetState state = headset->State();
      headset = std::make_unique<SteppedHeadset>(state);
      ports.ports = {{headset->SlavePath(), sim::kDefaultDescription}};
      notifier.Notify(platform::kDeviceArrival);
    } else {
      headset->SetFaults({});
      if (form->PortReady) form->CloseComPortButton->click();
    }
    ASSERT_TRUE(Settle());
    form->OpenComPortButton->click();
    ASSERT_TRUE(RunUntil(Until::HeadsetQuiet)) << "the read after opening again does not end";
  }

  // Checks that the window shows what the headset holds after it read it again; says so, or what
  // went wrong, for the table.
  std::string ReadBack() {
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_TRUE(form->PortReady);
    const bool shows = PagesShowTheHeadset();
    EXPECT_TRUE(shows) << "the pages do not show what the headset holds";
    EXPECT_FALSE(form->SpeedDialChanged || form->A2dpChanged || form->GpsChanged);
    EXPECT_FALSE(form->RestorePending);
    if (!ui.boxes.empty()) return "told " + std::to_string(IdOf(ui.boxes.front().text));
    if (!form->PortReady) return "port closed";
    return shows ? "shows what it holds" : "shows other values";
  }

  std::unique_ptr<SteppedHeadset> headset;
  std::unique_ptr<TMajorForm> form;
};

TEST_P(FaultMatrixTest, TheUserIsToldTheWindowClosesAndTheHeadsetHoldsOldOrNew) {
  const auto [fault, action] = GetParam();
  const Outcome& expected = ExpectedFor(fault, action);
  SeenCell seen;

  StartHeadset(FaultBeforeOpening(action) ? FaultsOf(fault) : sim::Faults{});
  StartWindow();
  if (!FaultBeforeOpening(action)) {
    form->OpenComPortButton->click();
    ASSERT_TRUE(RunUntil(Until::HeadsetQuiet));
    ASSERT_TRUE(form->PortReady);
    ASSERT_TRUE(ui.boxes.empty());
    ASSERT_EQ(S(form->SpeedDial1LabeledEdit->text()), OldSettings().speedDials[0]);
    headset->SetFaults(FaultsOf(fault));
  }

  DoAction(action);
  const auto endsAfter = RunUntil(Until::UserCanGoOn);
  ASSERT_TRUE(endsAfter) << "no end within " << kSettleBoundMs << " ms of manual time";
  seen.endsAfterMs = *endsAfter;
  // A port that closed has no command pending: its timer would run into the next chain.
  EXPECT_TRUE(Idle()) << "command " << form->PendingCommand << " left pending on a closed port";
  EXPECT_FALSE(form->RestorePending);

  // What the user was told.
  std::vector<TextId> shown;
  for (const auto& box : ui.boxes) {
    shown.push_back(IdOf(box.text));
    seen.messages.push_back(shown.back() != 0 ? std::to_string(shown.back()) : box.text);
  }
  for (const auto& report : reports)
    seen.messages.push_back("report: " + report);
  EXPECT_EQ(shown, expected.messages);
  EXPECT_TRUE(reports.empty()) << reports.front();

  // The port: closed exactly when the user was told of a failure or the device left.
  const bool open = form->ComPort1->Active();
  EXPECT_EQ(form->PortReady, open);
  EXPECT_EQ(open ? Port::Open : Port::Closed, expected.port);
  EXPECT_EQ(form->CloseComPortButton->isEnabled(), open);
  EXPECT_EQ(form->OpenComPortButton->isEnabled(), !open);
  seen.port = open ? "open" : headset->Gone() ? "closed, device gone" : "closed";

  // A read that went through shows what the headset holds, and no page counts as changed.
  if (open && (action == Action::OpenAndRead || action == Action::CloseWindow ||
               action == Action::RestoreDefaults)) {
    EXPECT_TRUE(PagesShowTheHeadset());
    EXPECT_FALSE(form->SpeedDialChanged || form->A2dpChanged || form->GpsChanged);
  }

  // As the time-out message asks, the user starts over at once, with the headset behaving again
  // (plugged back in if it left; a late answer may still be on its way): the read shows what the
  // headset holds.
  if (action != Action::CloseWindow) {
    OpenAgainWithTheHeadsetWell();
    seen.reopened = ReadBack();
  } else {
    seen.reopened = "-";
  }

  // What the headset holds once it has nothing more to say: old or new values, as the cell says,
  // and never a success for values it lacks.
  ASSERT_TRUE(RunUntil(Until::HeadsetQuiet));
  const std::optional<Holds> holds = Classify(action, headset->State().settings);
  ASSERT_TRUE(holds) << "the headset holds a mix nobody asked for";
  EXPECT_EQ(*holds, expected.holds);
  const bool toldSuccess = std::any_of(shown.begin(), shown.end(), [](TextId id) {
    return id == kTextSaveSuccessful || id == kTextDefaultsRestored;
  });
  if (toldSuccess) {
    EXPECT_EQ(*holds, Holds::New) << "success reported for values not held";
  }
  seen.holds = HoldsText(action, *holds);

  // The window closes now, without a question: nothing the user typed is left unsaved.
  const std::size_t boxesBefore = ui.boxes.size();
  form->ExitButton->click();
  EXPECT_FALSE(form->isVisible()) << "the window does not close";
  EXPECT_EQ(ui.boxes.size(), boxesBefore);
  seen.closes = form->isVisible() ? "no" : "yes";

  SeenCells()[{static_cast<int>(fault), static_cast<int>(action)}] = seen;
}

std::vector<Fault> AllFaults() {
  std::vector<Fault> all;
  for (const auto& row : kFaults)
    all.push_back(row.fault);
  return all;
}

std::vector<Action> AllActions() {
  std::vector<Action> all;
  for (const auto& column : kActions)
    all.push_back(column.action);
  return all;
}

INSTANTIATE_TEST_SUITE_P(Cells, FaultMatrixTest,
                         ::testing::Combine(::testing::ValuesIn(AllFaults()),
                                            ::testing::ValuesIn(AllActions())),
                         [](const ::testing::TestParamInfo<FaultMatrixTest::ParamType>& cell) {
                           return std::string(RowOf(std::get<0>(cell.param)).testName) + "_" +
                                  ColumnOf(std::get<1>(cell.param)).testName;
                         });

}  // namespace
}  // namespace app::testing
