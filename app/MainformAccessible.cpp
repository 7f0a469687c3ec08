// What a screen reader says of the window: names and descriptions of the controls whose caption
// does not say what they are, the labels read with their meaning, and the statuses it announces.
#include <QAccessible>
#include <QAccessibleWidget>
#include <QTabBar>
#include <initializer_list>
#include <string_view>

#include "app/Mainform.h"
#include "resources/TextCatalog.h"
#include "toolkit/qt/Text.h"

namespace app {
namespace {

using namespace resources;
using toolkit::qt::Q;

// A label whose text alone may not say what it shows. `prefixed`: read as "meaning: text" unless
// the text begins with its meaning; otherwise the text alone. An empty label reads as its meaning.
struct LabelMeaning {
  std::string_view name;
  TextId meaning;
  bool prefixed;
  QAccessible::Role role;
};

constexpr LabelMeaning kLabelMeanings[] = {
    // It changes at the end of a read chain, which it announces.
    {"FWVerLabel", kTextFirmwareVersion, true, QAccessible::StatusBar},
    {"DeviceInfoLabel", kTextDeviceConfiguration, true, QAccessible::StaticText},
    {"DeviceBdAddrInfoLabel", kTextDeviceAddressField, true, QAccessible::StaticText},
    {"DFUFileNameLabel", kTextFirmwareFileField, true, QAccessible::StaticText},
    {"DfuDeviceLabel", kTextUsbDevice, true, QAccessible::StaticText},
    {"DfuModeLabel", kTextUsbDevice, false, QAccessible::StaticText},
    {"ConfigInfoLabel", kTextDeviceConfiguration, true, QAccessible::StaticText},
    {"BdAddrInfoLabel", kTextDeviceAddressField, true, QAccessible::StaticText},
    // The phase and percentage of a run: a status, read as it stands at every change.
    {"InfoLabel", kTextUpgradeProgress, false, QAccessible::StatusBar},
    {"ElapsedLabel", kTextElapsed, true, QAccessible::StaticText},
    {"HintLabel", kTextUpgradeProgress, false, QAccessible::StaticText},
};

// A field name as the window shows it ("Firmware version:", "Elapsed") without its colon.
QString Meaning(TextId id) {
  QString text = Q(LoadText(id)).trimmed();
  while (text.endsWith(QLatin1Char(':')) || text.endsWith(QChar(0xFF1A)))
    text.chop(1);
  return text.trimmed();
}

// `template` with each "%s" replaced by the next of `fields`.
QString Fill(TextId id, std::initializer_list<QString> fields) {
  QString text = Q(LoadText(id));
  for (const QString& field : fields) {
    const auto at = text.indexOf(QStringLiteral("%s"));
    if (at < 0) break;
    text.replace(at, 2, field);
  }
  return text;
}

class MeaningLabelAccessible final : public QAccessibleWidget {
 public:
  MeaningLabelAccessible(QLabel* label, const LabelMeaning& meaning)
      : QAccessibleWidget(label, meaning.role), label_(label), meaning_(meaning) {}

  QString text(QAccessible::Text t) const override {
    if (t != QAccessible::Name) return QAccessibleWidget::text(t);
    // The label fitting breaks long paths into lines; a listener hears the path whole.
    QString shown = label_->text();
    shown.remove(QLatin1Char('\n'));
    shown = shown.trimmed();
    const QString meaning = Meaning(meaning_.meaning);
    if (shown.isEmpty()) return meaning;
    if (!meaning_.prefixed || shown.startsWith(meaning)) return shown;
    return meaning + QStringLiteral(": ") + shown;
  }

 private:
  QLabel* label_;
  const LabelMeaning& meaning_;
};

// Labels are told by their names, which the layout gives them before their first text.
QAccessibleInterface* LabelInterface(const QString& className, QObject* object) {
  if (className != QLatin1String("QLabel")) return nullptr;
  auto* label = static_cast<QLabel*>(object);
  for (const LabelMeaning& meaning : kLabelMeanings) {
    if (label->objectName() ==
        QLatin1String(meaning.name.data(), static_cast<qsizetype>(meaning.name.size()))) {
      return new MeaningLabelAccessible(label, meaning);
    }
  }
  return nullptr;
}

}  // namespace

void TMajorForm::InstallAccessibleLabels() {
  static const bool installed = [] {
    QAccessible::installFactory(&LabelInterface);
    return true;
  }();
  (void)installed;
}

void TMajorForm::NameControls() {
  // The caption before the list says what it is; the relation lets a reader follow it.
  SelectComPortLabel->setBuddy(ComPortListBox);
  ComPortListBox->setAccessibleName(Q(LoadText(kTextSelectComPort)));

  const QString pages = Q(LoadText(kTextPages));
  PageControl1->setAccessibleName(pages);
  PageControl1->tabBar()->setAccessibleName(pages);
  for (int i = 0; i < PageControl1->count(); ++i)
    PageControl1->widget(i)->setAccessibleName(PageControl1->tabText(i));

  // Labels keep the catalogue's trailing spaces, which a listener need not hear.
  for (LabeledEdit* edit : {SpeedDial1LabeledEdit, SpeedDial2LabeledEdit, SpeedDial3LabeledEdit,
                            A2DPAudioMixPercentageLabeledEdit, GPSAudioMixPercentageLabeledEdit,
                            GPSAudioSharingLabeledEdit}) {
    edit->setAccessibleName(edit->EditLabel()->text().trimmed());
  }
  const std::pair<LabeledEdit*, UpDown*> percentages[] = {
      {A2DPAudioMixPercentageLabeledEdit, A2DPAudioMixPercentageUpDown},
      {GPSAudioMixPercentageLabeledEdit, GPSAudioMixPercentageUpDown},
  };
  for (const auto& [edit, upDown] : percentages) {
    const QString range =
        Fill(kTextPercentRange, {QString::number(upDown->Min()), QString::number(upDown->Max())});
    edit->setAccessibleDescription(range);
    upDown->setAccessibleName(edit->accessibleName());
    upDown->setAccessibleDescription(range);
  }
  GPSAudioSharingLabeledEdit->setAccessibleDescription(Q(LoadText(kTextYesOrNo)));
  GPSAudioSharingUpDown->setAccessibleName(GPSAudioSharingLabeledEdit->accessibleName());
  GPSAudioSharingUpDown->setAccessibleDescription(Q(LoadText(kTextYesOrNo)));
  // Its position (-1 to 2) means nothing to a listener; the Yes or No beside it does.
  GPSAudioSharingUpDown->ValueText = [this] { return GPSAudioSharingLabeledEdit->text(); };

  const std::pair<NoteMemo*, int> notes[] = {
      {SpeedDialSettingMemo, 0}, {A2DPAudioSettingMemo, 1}, {GPSAudioSettingMemo, 2}};
  for (const auto& [memo, page] : notes)
    memo->setAccessibleName(Fill(kTextNoteOfPage, {PageControl1->tabText(page)}));

  // Hidden until a run fills them, these keep the design's English words meanwhile, which a
  // reader listing hidden objects would speak in either language.
  if (InfoLabel->isHidden()) InfoLabel->clear();
  if (HintLabel->isHidden()) HintLabel->clear();

  InfoMemo->setAccessibleName(Q(LoadText(kTextInformation)));
  PaintBox1->setAccessibleName(Q(LoadText(kTextDeviceInformation)));
  UpgradeProgressBar->setAccessibleName(Q(LoadText(kTextUpgradeProgress)));
}

void TMajorForm::AnnounceSettingsRead() {
  FWVerLabel->setAccessibleDescription(Q(LoadText(kTextSettingsRead)));
  for (QAccessible::Event change : {QAccessible::DescriptionChanged, QAccessible::NameChanged}) {
    QAccessibleEvent event(FWVerLabel, change);
    QAccessible::updateAccessibility(&event);
  }
}

void TMajorForm::ForgetSettingsRead() {
  FWVerLabel->setAccessibleDescription(QString());
}

}  // namespace app
