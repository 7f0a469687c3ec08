// No clipped text in either language: every control's text, set in the control's font, fits the
// room the control gives it. Controls whose text changes show their longest texts here.
#include <QAbstractTextDocumentLayout>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QScrollBar>
#include <QTabBar>
#include <random>
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

// A firmware file path of one of the label's languages: folders of 1 to 24 characters, then the
// file's name.
std::string GeneratedPath(std::mt19937& random, Language language) {
  static const std::vector<std::string> kLatin = [] {
    std::vector<std::string> chars;
    for (const char c :
         std::string("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-."))
      chars.emplace_back(1, c);
    return chars;
  }();
  static const std::vector<std::string> kJapanese = {
      "フ", "ァ", "ー", "ム", "ウ", "エ", "ア", "更", "新", "用", "の", "ダ", "ウ", "ン", "ロ",
      "ド", "資", "料", "設", "定", "一", "覧", "ヘ", "ッ", "セ", "ト", "a",  "7",  "_"};
  const auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  std::string path = "/home/user";
  const int folders = pick(2, 9);
  for (int f = 0; f < folders; ++f) {
    path += "/";
    const int length = pick(1, 24);
    for (int c = 0; c < length; ++c) {
      const bool japanese = language == Language::Japanese && pick(0, 2) != 0;
      const auto& chars = japanese ? kJapanese : kLatin;
      path += chars[static_cast<std::size_t>(pick(0, static_cast<int>(chars.size()) - 1))];
    }
  }
  return path + "/QMR7_FW_V" + std::to_string(pick(100, 9999)) + ".dfu";
}

// The fitted breaks of the firmware file's path are the only breaks Qt makes when it lays the
// label out, with the label's own flags: no line moves on, and the last one, the file's name,
// stays inside the label.
TEST_F(MainformTest, AFittedPathIsLaidOutOnItsFittedLinesInBothLanguages) {
  for (Language language : {Language::English, Language::Japanese}) {
    SetLanguage(language);
    SCOPED_TRACE(language == Language::English ? "English" : "Japanese");
    auto form = MakeForm();
    form->show();
    QLabel* label = form->DFUFileNameLabel;
    const QFontMetrics metrics(label->font());
    const QRect room = label->contentsRect();
    const int flags =
        static_cast<int>(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0);
    std::mt19937 random(20001);
    int checked = 0;
    int moved = 0;
    std::string firstMoved;
    for (int n = 0; n < 400; ++n) {
      const std::string path = GeneratedPath(random, language);
      form->FitLabelText(label, path);
      const QString shown = label->text();
      const QRect unbroken =
          metrics.boundingRect(QRect(0, 0, 1 << 16, 1 << 16), flags & ~Qt::TextWordWrap, shown);
      if (unbroken.height() > room.height()) continue;  // more lines than the label holds
      ++checked;
      const QRect laid = metrics.boundingRect(room, flags, shown);
      if (laid.height() != unbroken.height() && moved++ == 0) firstMoved = S(shown);
    }
    EXPECT_EQ(moved, 0) << "of " << checked << "; the first:\n" << firstMoved;
    EXPECT_GT(checked, 200);
  }
}

}  // namespace
}  // namespace app::testing
