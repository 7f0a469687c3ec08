// Building the window's controls and timers from the layout tables.
#include <QFont>
#include <algorithm>
#include <map>

#include "app/Mainform.h"
#include "resources/WindowLayout.h"
#include "toolkit/qt/ListBox.h"
#include "toolkit/qt/Text.h"

namespace app {
namespace {

using resources::ControlLayout;
using resources::Role;
using toolkit::qt::Q;

QWidget* MakeControl(const ControlLayout& c, QWidget* parent) {
  switch (c.role) {
    case Role::StaticText: {
      // Named before its first text: a screen reader's view of it is chosen by its name.
      auto* label = new QLabel(parent);
      label->setObjectName(Q(c.name));
      label->setText(Q(c.designText));
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      // Labels show paths and what devices say: a "<b>" in them is text, never markup.
      label->setTextFormat(Qt::PlainText);
      return label;
    }
    case Role::ClickArea:
      return new PaintBox(parent);
    case Role::PageControl:
      return new PageControl(parent);
    case Role::ListBox: {
      auto* list = new toolkit::qt::ListBox(parent);
      list->setSelectionMode(QAbstractItemView::SingleSelection);
      list->setUniformItemSizes(true);
      return list;
    }
    case Role::Button: {
      auto* button = new QPushButton(Q(c.designText), parent);
      // Enter in an edit must not press a button the user did not choose.
      button->setAutoDefault(false);
      return button;
    }
    case Role::Memo: {
      auto* memo = new QPlainTextEdit(parent);
      memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      memo->setLineWrapMode(QPlainTextEdit::NoWrap);
      return memo;
    }
    case Role::NoteMemo:
      return new NoteMemo(parent);
    case Role::LabeledEdit: {
      auto* edit = new LabeledEdit(parent);
      edit->setText(Q(c.designEditText));
      edit->SetLabelText(Q(c.designText));
      return edit;
    }
    case Role::UpDown:
      return new UpDown(parent);
    case Role::ProgressBar: {
      auto* bar = new QProgressBar(parent);
      bar->setRange(0, 100);
      bar->setTextVisible(false);
      return bar;
    }
  }
  return nullptr;
}

template <typename T>
void Bind(T*& field, QWidget* window, const char* name) {
  field = window->findChild<T*>(QString::fromLatin1(name));
  Q_ASSERT(field != nullptr);
}

}  // namespace

void TMajorForm::BuildControls() {
  const auto& layout = resources::MainWindowLayout();
  setWindowTitle(Q(layout.designCaption));
  setFixedSize(layout.clientWidth, layout.clientHeight);
  QFont font(Q(layout.fontFamily));
  font.setPixelSize(layout.fontPixelHeight);
  // The controls are measured in the font the language will give them, so that start-up loads
  // and lays out one font, not the design's and then the language's.
  LanguageFont(font);
  setFont(font);

  std::map<std::string_view, QWidget*> parents{{"", this}};
  PageControl* pages = nullptr;
  for (const ControlLayout& c : layout.controls) {
    QWidget* parent = parents.at(c.parent);
    QWidget* w = MakeControl(c, parent);
    w->setObjectName(Q(c.name));
    w->setGeometry(c.left, c.top, c.width, c.height);
    if (c.role == Role::PageControl) {
      pages = static_cast<PageControl*>(w);
      for (const auto& page : layout.pages) {
        auto* sheet = new QWidget;
        sheet->setObjectName(Q(page.name));
        pages->addTab(sheet, Q(page.designCaption));
        parents[page.name] = sheet;
      }
      pages->SetActivePageIndex(layout.designActivePage);
    }
  }

  for (const auto& u : layout.upDowns) {
    auto* upDown = findChild<UpDown*>(Q(u.name));
    upDown->SetRange(u.min, u.max);
    upDown->SetPosition(u.position);
    if (!u.buddy.empty()) upDown->SetBuddy(findChild<LabeledEdit*>(Q(u.buddy)));
  }

  Bind(SelectComPortLabel, this, "SelectComPortLabel");
  Bind(FWVerLabel, this, "FWVerLabel");
  Bind(PaintBox1, this, "PaintBox1");
  Bind(DeviceInfoLabel, this, "DeviceInfoLabel");
  Bind(DeviceBdAddrInfoLabel, this, "DeviceBdAddrInfoLabel");
  Bind(PageControl1, this, "PageControl1");
  Bind(ComPortListBox, this, "ComPortListBox");
  Bind(OpenComPortButton, this, "OpenComPortButton");
  Bind(CloseComPortButton, this, "CloseComPortButton");
  Bind(InfoMemo, this, "InfoMemo");
  Bind(ExitButton, this, "ExitButton");
  Bind(RestoreDefaultButton, this, "RestoreDefaultButton");

  Bind(SpeedDialSettingTabSheet, this, "SpeedDialSettingTabSheet");
  Bind(SpeedDial1LabeledEdit, this, "SpeedDial1LabeledEdit");
  Bind(SpeedDial2LabeledEdit, this, "SpeedDial2LabeledEdit");
  Bind(SpeedDial3LabeledEdit, this, "SpeedDial3LabeledEdit");
  Bind(SaveSpeedDialSettingButton, this, "SaveSpeedDialSettingButton");
  Bind(SpeedDialSettingMemo, this, "SpeedDialSettingMemo");

  Bind(A2DPAudioSettingTabSheet, this, "A2DPAudioSettingTabSheet");
  Bind(A2DPAudioMixPercentageLabeledEdit, this, "A2DPAudioMixPercentageLabeledEdit");
  Bind(A2DPAudioMixPercentageUpDown, this, "A2DPAudioMixPercentageUpDown");
  Bind(SaveA2dpAudioSettingButton, this, "SaveA2dpAudioSettingButton");
  Bind(A2DPAudioSettingMemo, this, "A2DPAudioSettingMemo");

  Bind(GPSAudioSettingTabSheet, this, "GPSAudioSettingTabSheet");
  Bind(GPSAudioMixPercentageLabeledEdit, this, "GPSAudioMixPercentageLabeledEdit");
  Bind(GPSAudioMixPercentageUpDown, this, "GPSAudioMixPercentageUpDown");
  Bind(GPSAudioSharingLabeledEdit, this, "GPSAudioSharingLabeledEdit");
  Bind(GPSAudioSharingUpDown, this, "GPSAudioSharingUpDown");
  Bind(SaveGPSAudioSettingButton, this, "SaveGPSAudioSettingButton");
  Bind(GPSAudioSettingMemo, this, "GPSAudioSettingMemo");

  Bind(DeviceFirmwareUpgradeTabSheet, this, "DeviceFirmwareUpgradeTabSheet");
  Bind(OpenDfuFileButton, this, "OpenDfuFileButton");
  Bind(DFUFileNameLabel, this, "DFUFileNameLabel");
  Bind(DfuDeviceLabel, this, "DfuDeviceLabel");
  Bind(DfuModeLabel, this, "DfuModeLabel");
  Bind(ConfigInfoLabel, this, "ConfigInfoLabel");
  Bind(BdAddrInfoLabel, this, "BdAddrInfoLabel");
  Bind(StartDFUUpgradeButton, this, "StartDFUUpgradeButton");
  Bind(InfoLabel, this, "InfoLabel");
  Bind(ElapsedLabel, this, "ElapsedLabel");
  Bind(UpgradeProgressBar, this, "UpgradeProgressBar");
  Bind(HintLabel, this, "HintLabel");

  // Behaviour the layout gives beyond place and text.
  SelectComPortLabel->setAlignment(Qt::AlignRight | Qt::AlignTop);
  // No word wrap: the breaks FitLabelText puts in are the only ones. Qt's own wrapping measures a
  // line a little wider than the fitting did and would move a line on, pushing the file's name,
  // the last line, out of the label.
  A2DPAudioMixPercentageLabeledEdit->setReadOnly(true);
  GPSAudioMixPercentageLabeledEdit->setReadOnly(true);
  GPSAudioSharingLabeledEdit->setReadOnly(true);

  SetTabOrder();
}

void TMajorForm::SetTabOrder() {
  const auto& layout = resources::MainWindowLayout();
  auto tabStops = [&](std::string_view parent) {
    std::vector<const ControlLayout*> stops;
    for (const auto& c : layout.controls) {
      if (c.parent == parent && c.tabOrder != resources::kNoTabStop) stops.push_back(&c);
    }
    std::sort(stops.begin(), stops.end(), [](const ControlLayout* a, const ControlLayout* b) {
      return a->tabOrder < b->tabOrder;
    });
    return stops;
  };

  // One focus chain for the window: a page's controls follow the page control, so tabbing moves
  // from the tabs into the visible page; hidden pages' controls are skipped.
  std::vector<QWidget*> chain;
  for (const ControlLayout* c : tabStops("")) {
    chain.push_back(findChild<QWidget*>(Q(c->name)));
    if (c->role != Role::PageControl) continue;
    for (const auto& page : layout.pages) {
      for (const ControlLayout* p : tabStops(page.name))
        chain.push_back(findChild<QWidget*>(Q(p->name)));
    }
  }
  for (const auto& c : layout.controls) {
    if (c.tabOrder == resources::kNoTabStop && c.role != Role::ClickArea &&
        c.role != Role::StaticText) {
      findChild<QWidget*>(Q(c.name))->setFocusPolicy(Qt::ClickFocus);
    }
  }
  for (std::size_t i = 1; i < chain.size(); ++i)
    QWidget::setTabOrder(chain[i - 1], chain[i]);
  // The memo lies below the window's edge: the focus would vanish into it for one Tab.
  InfoMemo->setFocusPolicy(Qt::NoFocus);
}

void TMajorForm::BuildTimers() {
  for (const auto& t : resources::MainWindowLayout().timers) {
    timers_.push_back(std::make_unique<toolkit::Timer>(services_.clock, t.interval, t.enabled));
  }
  auto named = [&](std::string_view name) {
    const auto& timers = resources::MainWindowLayout().timers;
    for (std::size_t i = 0; i < timers.size(); ++i) {
      if (timers[i].name == name) return timers_[i].get();
    }
    return static_cast<toolkit::Timer*>(nullptr);
  };
  CheckUSBConnectionTimer = named("CheckUSBConnectionTimer");
  ProgressTimer = named("ProgressTimer");
  BlinkHintTextTimer = named("BlinkHintTextTimer");
  UartRespTimeoutTimer = named("UartRespTimeoutTimer");
  StartDFUTimer = named("StartDFUTimer");
  DFUCloseComPortTimer = named("DFUCloseComPortTimer");
  ShowPromptTimer = named("ShowPromptTimer");
}

void TMajorForm::BuildIndicators() {
  for (const auto& indicator : resources::MainWindowLayout().indicators) {
    if (indicator.name != "ComSignal1") continue;
    ComSignal1 = std::make_unique<comport::TComSignal>(nullptr, services_.clock);
    ComSignal1->SetName(std::string(indicator.name));
    ComSignal1->SetDelay(indicator.delay);
    ComSignal1->SetSignal(static_cast<comport::TSignal>(indicator.signal));
  }
}

}  // namespace app
