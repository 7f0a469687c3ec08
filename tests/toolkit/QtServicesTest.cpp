#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>
#include <algorithm>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/QtTestApp.h"
#include "tests/support/TempDir.h"
#include "toolkit/Application.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/QtDispatcher.h"
#include "toolkit/qt/QtUiServices.h"

namespace toolkit::qt {
namespace {

class QtServicesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testsupport::EnsureQtApplication(); }
};

// Shows a message box and plays the user: waits for the box to be up, hands it to `read`, presses
// Enter. Returns the answer; `read` is not called if no box came up.
int ShowAndPressEnter(QtUiServices& ui, const std::string& text, const std::string& caption,
                      unsigned flags, const std::function<void(QMessageBox&)>& read) {
  QTimer user;
  int tries = 0;
  QObject::connect(&user, &QTimer::timeout, [&] {
    QMessageBox* box = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* shown = qobject_cast<QMessageBox*>(w); shown != nullptr && shown->isVisible())
        box = shown;
    }
    if (box == nullptr) {
      if (++tries > 1000) QApplication::closeAllWindows();  // never hang the suite
      return;
    }
    user.stop();
    read(*box);
    box->defaultButton()->click();
  });
  user.start(1);
  return ui.ShowMessageBox(text, caption, flags);
}

struct BoxCase {
  unsigned flags;
  QMessageBox::Icon icon;
  QMessageBox::StandardButtons buttons;
  QMessageBox::StandardButton defaultButton;
  int answerOnEnter;
};

TEST_F(QtServicesTest, MessageBoxShowsWhatTheFlagsAsk) {
  const BoxCase cases[] = {
      {mb::kOk | mb::kIconError, QMessageBox::Critical, QMessageBox::Ok, QMessageBox::Ok,
       mb::kIdOk},
      {mb::kOk | mb::kIconWarning, QMessageBox::Warning, QMessageBox::Ok, QMessageBox::Ok,
       mb::kIdOk},
      {mb::kOk | mb::kIconInformation, QMessageBox::Information, QMessageBox::Ok, QMessageBox::Ok,
       mb::kIdOk},
      {mb::kYesNo | mb::kIconWarning | mb::kDefButton2, QMessageBox::Warning,
       QMessageBox::Yes | QMessageBox::No, QMessageBox::No, mb::kIdNo},
      {mb::kYesNo | mb::kIconWarning, QMessageBox::Warning, QMessageBox::Yes | QMessageBox::No,
       QMessageBox::Yes, mb::kIdYes},
  };
  QtUiServices ui;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    bool seen = false;
    QString text;
    QString caption;
    QMessageBox::Icon icon{};
    QMessageBox::StandardButtons buttons{};
    QMessageBox::StandardButton defaultButton{};
    const int answer =
        ShowAndPressEnter(ui, "Save successfully.", "Note", c.flags, [&](QMessageBox& box) {
          seen = true;
          text = box.text();
          caption = box.windowTitle();
          icon = box.icon();
          buttons = box.standardButtons();
          defaultButton = box.standardButton(box.defaultButton());
        });
    ASSERT_TRUE(seen);
    EXPECT_EQ(text, "Save successfully.");
    EXPECT_EQ(caption, "Note");
    EXPECT_EQ(icon, c.icon);
    EXPECT_EQ(buttons, c.buttons);
    EXPECT_EQ(defaultButton, c.defaultButton);
    EXPECT_EQ(answer, c.answerOnEnter);
  }
}

TEST_F(QtServicesTest, AQuestionsButtonsAreInTheLanguageOfItsText) {
  QTranslator japanese;
  ASSERT_TRUE(LoadQtTexts(japanese, "ja", QtTextFolders()))
      << "Qt's Japanese translations are not installed";
  QCoreApplication::installTranslator(&japanese);
  QtUiServices ui;
  QStringList labels;
  ShowAndPressEnter(ui, "設定が変更されました", "注意", mb::kYesNo | mb::kIconWarning,
                    [&](QMessageBox& box) {
                      for (QAbstractButton* button : box.buttons())
                        labels << button->text();
                    });
  QCoreApplication::removeTranslator(&japanese);
  ASSERT_EQ(labels.size(), 2);
  for (const QString& label : labels) {
    // Japanese, whatever the exact wording: no Latin letter but the mnemonic's.
    EXPECT_FALSE(label.contains("Yes") || label.contains("No")) << label.toStdString();
    EXPECT_TRUE(std::any_of(label.begin(), label.end(), [](QChar c) {
      return c.unicode() >= 0x3040;
    })) << label.toStdString();
  }
}

// Laid out as a Windows installation ships them: one merged catalogue, "qt_ja", beside the
// program; elsewhere the base module's alone.
TEST_F(QtServicesTest, QtsTextsAreFoundInEitherLayout) {
  QTranslator installed;
  ASSERT_TRUE(LoadQtTexts(installed, "ja", QtTextFolders()));
  const QString yes = installed.translate("QPlatformTheme", "&Yes");
  ASSERT_FALSE(yes.isEmpty());
  const QString base = QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_ja.qm";
  for (const QString& name : {QStringLiteral("qt_ja.qm"), QStringLiteral("qtbase_ja.qm")}) {
    SCOPED_TRACE(name.toStdString());
    testsupport::TempDir folder;
    const QString dir = QString::fromStdString(folder.Path());
    ASSERT_TRUE(QFile::copy(base, dir + "/" + name));
    QTranslator translator;
    ASSERT_TRUE(LoadQtTexts(translator, "ja", {dir + "/missing", dir}));
    EXPECT_EQ(translator.translate("QPlatformTheme", "&Yes"), yes);
  }
  testsupport::TempDir empty;
  QTranslator none;
  EXPECT_FALSE(LoadQtTexts(none, "ja", {QString::fromStdString(empty.Path())}));
}

TEST_F(QtServicesTest, FileFiltersBecomeQtNameFilters) {
  EXPECT_EQ(QtNameFilters("firmware file (*.dfu)|*.dfu"), "firmware file (*.dfu)");
  EXPECT_EQ(QtNameFilters("Images|*.png;*.jpg|All|*"), "Images (*.png *.jpg);;All (*)");
}

TEST_F(QtServicesTest, WaitCursorComesAndGoes) {
  QtUiServices ui;
  EXPECT_EQ(ui.CurrentCursor(), Cursor::Default);
  ui.SetCursor(Cursor::Wait);
  ui.SetCursor(Cursor::Wait);
  EXPECT_EQ(ui.CurrentCursor(), Cursor::Wait);
  ui.SetCursor(Cursor::Default);
  EXPECT_EQ(ui.CurrentCursor(), Cursor::Default);
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(QtServicesTest, HandOverRunsOnTheEventLoopAndReturnsExceptionsToTheWorker) {
  QtDispatcher dispatcher;
  const auto ui = std::this_thread::get_id();
  std::thread::id ranOn;
  bool threwBack = false;
  QEventLoop loop;
  std::thread worker([&] {
    dispatcher.Synchronize([&] { ranOn = std::this_thread::get_id(); });
    try {
      dispatcher.Synchronize([] { throw std::runtime_error("handler"); });
    } catch (const std::runtime_error&) {
      threwBack = true;
    }
    dispatcher.Post([&] { loop.quit(); });
  });
  loop.exec();
  worker.join();
  EXPECT_EQ(ranOn, ui);
  EXPECT_TRUE(threwBack);
}

TEST_F(QtServicesTest, ShutdownReleasesAWorkerWaitingOnAStoppedLoop) {
  QtDispatcher dispatcher;
  std::atomic<bool> handedOver{false};
  bool result = true;
  std::thread worker([&] {
    handedOver = true;
    result = dispatcher.Synchronize([] {});
  });
  while (!handedOver.load())
    std::this_thread::yield();
  dispatcher.Shutdown();  // no event loop ever runs the call
  worker.join();
  EXPECT_FALSE(result);
}

TEST_F(QtServicesTest, TheEventLoopRunsAWatchWhenItsDescriptorIsReadable) {
  QtDispatcher dispatcher;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const auto ui = std::this_thread::get_id();
  std::thread::id ranOn;
  int runs = 0;
  QEventLoop loop;
  dispatcher.Watcher()->Watch(fds[0], [&] {
    ranOn = std::this_thread::get_id();
    ++runs;
    char c;
    EXPECT_EQ(::read(fds[0], &c, 1), 1);
    dispatcher.Unwatch(fds[0]);  // from inside its own activation
    loop.quit();
  });
  std::thread writer([&] { EXPECT_EQ(::write(fds[1], "xy", 2), 2); });
  loop.exec();
  writer.join();
  QCoreApplication::processEvents();  // the second byte is there, the watch is not
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(ranOn, ui);
  ::close(fds[0]);
  ::close(fds[1]);
}

// The watch runs straight from the loop's activation: what it throws still goes to the standard
// report, and the loop goes on watching.
TEST_F(QtServicesTest, AThrowingWatchIsReportedAndStaysWatched) {
  std::vector<std::string> reports;
  SetExceptionHandler([&](const std::string& text) { reports.push_back(text); });
  QtDispatcher dispatcher;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int runs = 0;
  QEventLoop loop;
  dispatcher.Watcher()->Watch(fds[0], [&] {
    char c;
    EXPECT_EQ(::read(fds[0], &c, 1), 1);
    if (++runs == 1) throw std::runtime_error("watch failed");
    loop.quit();
  });
  EXPECT_EQ(::write(fds[1], "xy", 2), 2);
  loop.exec();
  dispatcher.Unwatch(fds[0]);
  SetExceptionHandler({});
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(reports, (std::vector<std::string>{"watch failed."}));
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace toolkit::qt
