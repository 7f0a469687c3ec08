// No clipped text in either language: every control's text, set in the control's font, fits the
// room the control gives it. Controls whose text changes show their longest texts here.
#include <QAbstractTextDocumentLayout>
#include <QFontMetricsF>
#include <QScrollBar>
#include <QTabBar>
#include <string>
#include <vector>

#include "tests/app/MainformTestFixture.h"
#include "toolkit/qt/Text.h"
#include "toolkit/qt/TextFit.h"

namespace app::testing {
namespace {

using namespace resources;
using toolkit::qt::Q;
using toolkit::qt::S;
using toolkit::qt::TextFits;
using toolkit::qt::TextRoom;
using toolkit::qt::TextRoomOf;

struct ShownText {
  std::string control;
  QString text;
  QFont font;
  TextRoom room;
};

QString Composite(TextId id, const std::string& rest) {
  return Q(LoadText(id) + rest);
}

// What each control shows, in its font, and where. Labels and edits whose text changes are given
// their longest texts first.
std::vector<ShownText> EveryShownText(TMajorForm& form) {
  std::vector<ShownText> shown;
  auto add = [&](QWidget* w, const QString& text) {
    shown.push_back({S(w->objectName()), text, w->font(), TextRoomOf(w)});
  };

  for (auto* button : form.findChildren<QPushButton*>())
    add(button, button->text());

  const std::string address = " : 00:0B:24:52:37:19";
  const std::string files = " : QMR7_FW_V0123.xpv/.xdv        ";
  const std::vector<std::pair<QLabel*, std::vector<QString>>> changing = {
      {form.FWVerLabel, {Composite(kTextFirmwareVersion, " V99.99")}},
      {form.InfoLabel,
       {Composite(kTextReconfiguring, " 100%, " + LoadText(kTextAlmostDone)),
        Composite(kTextDownloading, " 100%, " + LoadText(kTextAlmostDone)),
        Composite(kTextVerifying, " 100%, " + LoadText(kTextAlmostDone))}},
      {form.ElapsedLabel, {Composite(kTextElapsed, ": 99:59")}},
      {form.BdAddrInfoLabel, {Composite(kTextDeviceAddressField, address)}},
      {form.DeviceBdAddrInfoLabel, {Composite(kTextDeviceAddressField, address)}},
      {form.ConfigInfoLabel,
       {Composite(kTextFirmwareFileField,
                  files + LoadText(kTextPsrFileField) + " : QMR7_PSR_V0123.psr")}},
      {form.DeviceInfoLabel,
       {Composite(kTextFirmwareFileField,
                  files + LoadText(kTextPsrFileField) + " : QMR7_PSR_V0123.psr")}},
  };
  for (const auto& [label, texts] : changing) {
    for (const QString& text : texts)
      add(label, text);
  }
  for (QLabel* label : {form.SelectComPortLabel})
    add(label, label->text());

  // A labelled edit's label may grow to the left as far as its page's edge.
  for (auto* edit : form.findChildren<LabeledEdit*>()) {
    QLabel* label = edit->EditLabel();
    shown.push_back({S(edit->objectName()) + " label",
                     label->text(),
                     label->font(),
                     {QRect(0, 0, edit->x() - LabeledEdit::kLabelSpacing, label->height()),
                      label->alignment()}});
  }
  for (auto* edit :
       {form.A2DPAudioMixPercentageLabeledEdit, form.GPSAudioMixPercentageLabeledEdit}) {
    add(edit, "100");
  }
  for (TextId id : {kTextYes, kTextNo})
    add(form.GPSAudioSharingLabeledEdit, Q(LoadText(id)));
  add(form.SpeedDial1LabeledEdit, QString(16, u'8'));

  QListWidget* list = form.ComPortListBox;
  for (int i = 0; i < list->count(); ++i)
    add(list, list->item(i)->text());
  return shown;
}

TEST_F(MainformTest, EveryTextFitsItsControlInBothLanguages) {
  ports.ports = {{"/dev/ttyS0", "Serial Port (ttyS0)"},
                 {"/dev/ttyACM0", "USB Serial Device (QM-R7 virtual headset)"}};
  for (Language language : {Language::English, Language::Japanese}) {
    SetLanguage(language);
    SCOPED_TRACE(language == Language::English ? "English" : "Japanese");
    auto form = MakeForm();
    form->show();
    for (const ShownText& s : EveryShownText(*form)) {
      EXPECT_TRUE(TextFits(s.font, s.text, s.room))
          << s.control << ": \"" << S(s.text) << "\" is "
          << QFontMetricsF(s.font).horizontalAdvance(s.text) << " wide, "
          << QFontMetricsF(s.font).height() << " high; the room is " << s.room.rect.width() << " x "
          << s.room.rect.height();
    }

    // The tabs share the page control's width.
    QTabBar* tabs = form->PageControl1->tabBar();
    int tabsWidth = 0;
    for (int i = 0; i < tabs->count(); ++i)
      tabsWidth += tabs->tabRect(i).width();
    EXPECT_LE(tabsWidth, form->PageControl1->width());

    // The notes have no scroll bars: every line, wrapped, shows.
    for (NoteMemo* memo :
         {form->SpeedDialSettingMemo, form->A2DPAudioSettingMemo, form->GPSAudioSettingMemo}) {
      memo->document()->setTextWidth(memo->viewport()->width());
      EXPECT_LE(memo->document()->documentLayout()->documentSize().height(),
                memo->viewport()->height())
          << S(memo->objectName());
    }
  }
}

}  // namespace
}  // namespace app::testing
