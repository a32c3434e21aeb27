#include "app/window/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "package/local_names.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_tree.h"
#include "upgrade/utilities.h"

namespace {

struct Message {
  std::string text, caption;
  int flags;
};

// A package folder and the real window built on it, with message boxes answered by script.
class MainWindow : public ::testing::Test {
 protected:
  testsupport::TempTree package;
  std::unique_ptr<TfrmMain> window;
  std::vector<Message> messages;
  std::vector<int> answers;  // answers in order; OK (or Yes) when they run out

  // The window's session uses the fixed ports unless told otherwise; tests that press Copy
  // give it ports on loopback.
  void Open(std::uint16_t commandPort = TfrmMain::kCommandPort,
            std::uint16_t ftpPort = TfrmMain::kFtpPort) {
    window = std::make_unique<TfrmMain>(commandPort, ftpPort, package.Dir());
    window->SetMessageResponder(
        [this](const std::string& text, const std::string& caption, int flags) {
          messages.push_back({text, caption, flags});
          if (answers.empty()) return flags == kMbYesNoQuestion ? kIdYes : 1;
          const int answer = answers.front();
          answers.erase(answers.begin());
          return answer;
        });
  }

  // Shows the window and waits (bounded) until it has the keyboard focus.
  void ShowActive() {
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get(), 5000));
  }

  QCheckBox* Box(const std::string& model) {
    for (QCheckBox* box :
         {window->cbPNB5, window->cbPCW5, window->cbPCWX5, window->cbSCW5, window->cbSCWH5}) {
      if (box->text().toStdString() == model) return box;
    }
    ADD_FAILURE() << "no box " << model;
    return nullptr;
  }

  bool HasSignal(const std::string& model) {
    const package::tModuleList* record = package::FindModule(window->moduleList, model);
    EXPECT_NE(record, nullptr) << model;
    return record != nullptr && record->hasSignal;
  }
};

TEST_F(MainWindow, ControlsSitWhereTheLayoutTablePutsThemWithTheirTexts) {
  Open();
  TfrmMain& w = *window;
  // Every control the layout table names sits where the table puts it.
  for (const TfrmMain::ControlPlace& place : TfrmMain::kLayout) {
    const QWidget* widget = w.findChild<QWidget*>(QString::fromLatin1(place.name));
    ASSERT_NE(widget, nullptr) << place.name;
    EXPECT_EQ(widget->geometry(), place.geometry) << place.name;
  }
  struct Control {
    QWidget* widget;
    const char* member;
    const char* text;
  } controls[] = {
      {w.IPAddress, "IPAddress", "   .   .   .   "},
      {w.Label2, "Label2", "DO NOT TURN OFF THE POWER OF VX500 UNTIL COMPLETED"},
      {w.GroupBox1, "GroupBox1", "Status"},
      {w.mmStatus, "mmStatus", ""},
      {w.ProgressBar, "ProgressBar", nullptr},
      {w.Bevel1, "Bevel1", nullptr},
      {w.cbPNB5, "cbPNB5", "PNB5"},
      {w.cbPCW5, "cbPCW5", "PCW5"},
      {w.cbPCWX5, "cbPCWX5", "PCWX5"},
      {w.cbSCW5, "cbSCW5", "SCW5"},
      {w.cbSCWH5, "cbSCWH5", "SCWH5"},
      {w.btnCopy, "btnCopy", "Copy"},
      {w.btnQuit, "btnQuit", "Quit"},
  };
  for (const auto& c : controls) {
    SCOPED_TRACE(c.text ? c.text : "(no text)");
    // Each member's widget carries the name that its place in the table is found by.
    EXPECT_EQ(c.widget->objectName().toStdString(), c.member);
    QString text;
    if (auto* edit = qobject_cast<QLineEdit*>(c.widget)) text = edit->displayText();
    if (auto* label = qobject_cast<QLabel*>(c.widget)) text = label->text();
    if (auto* group = qobject_cast<QGroupBox*>(c.widget)) text = group->title();
    if (auto* memo = qobject_cast<QPlainTextEdit*>(c.widget)) text = memo->toPlainText();
    if (auto* button = qobject_cast<QAbstractButton*>(c.widget)) text = button->text();
    if (c.text) {
      EXPECT_EQ(text.toStdString(), c.text);
    }
  }
  EXPECT_EQ(w.Label1->pos(), QPoint(8, 16));
  EXPECT_EQ(w.Label1->text(), "IP Address:");
  EXPECT_EQ(w.Label3->pos(), QPoint(8, 352));
  EXPECT_EQ(w.Label3->text(), "Select Modules to download signals");
  EXPECT_EQ(w.mmStatus->parentWidget(), w.GroupBox1);
  EXPECT_EQ(w.ProgressBar->parentWidget(), w.GroupBox1);

  EXPECT_EQ(w.windowTitle(), "VX500 Upgrade");
  EXPECT_EQ(w.minimumSize(), QSize(368, 443));
  EXPECT_EQ(w.maximumSize(), QSize(368, 443));
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((w.geometry().center() - screen.center()).manhattanLength(), 2);

  EXPECT_EQ(w.font().family(), "Courier New");
  EXPECT_EQ(w.font().pixelSize(), 12);
  EXPECT_EQ(QFontInfo(w.font()).family(), "Liberation Mono");  // fontconfig's stand-in
  EXPECT_EQ(w.Label2->palette().color(QPalette::WindowText), QColor(Qt::red));
  // The warning is 50 characters in a 350-pixel label: it fits only at 7 pixels a character.
  EXPECT_LE(QFontMetrics(w.Label2->font()).horizontalAdvance(w.Label2->text()), 350);
  for (QCheckBox* box : {w.cbPCWX5, w.cbSCWH5}) {
    QStyleOptionButton option;
    option.initFrom(box);
    const QRect textArea = box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
    EXPECT_LE(QFontMetrics(box->font()).horizontalAdvance(box->text()), textArea.width())
        << box->text().toStdString();
  }
  EXPECT_TRUE(w.Label3->font().bold());
  EXPECT_FALSE(w.Label1->font().bold());

  EXPECT_TRUE(w.mmStatus->isReadOnly());
  EXPECT_EQ(w.mmStatus->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(w.ProgressBar->minimum(), 0);
  EXPECT_EQ(w.ProgressBar->maximum(), 100);
  EXPECT_EQ(w.ProgressBar->value(), 0);
  EXPECT_EQ(w.IPAddress->maxLength(), 15);
  EXPECT_FALSE(w.IPAddress->testAttribute(Qt::WA_InputMethodEnabled));
  for (QCheckBox* box : {w.cbPNB5, w.cbPCW5, w.cbPCWX5, w.cbSCW5, w.cbSCWH5}) {
    EXPECT_FALSE(box->isEnabled()) << box->text().toStdString();
    EXPECT_FALSE(box->isChecked()) << box->text().toStdString();
  }
  EXPECT_EQ(w.ipAddressText, "");
  EXPECT_EQ(w.fileCount, 0);
  EXPECT_EQ(w.copiedBytes, 0);
  EXPECT_EQ(w.totalBytes, 0);
  EXPECT_EQ(w.CommandPort(), 5000);
  EXPECT_EQ(w.FtpPort(), 21);
  EXPECT_TRUE(w.moduleList.empty());
}

TEST_F(MainWindow, TabVisitsTheControlsInTheirOrder) {
  for (const char* model : {"PNB5", "PCW5", "PCWX5", "SCW5", "SCWH5"}) {
    package.Folder(std::string("Target/") + model + "/SIGNAL");
  }
  Open();
  ShowActive();
  TfrmMain& w = *window;
  EXPECT_EQ(QApplication::focusWidget(), w.IPAddress);
  const std::vector<QWidget*> order = {w.mmStatus, w.btnCopy, w.btnQuit, w.cbPNB5,   w.cbPCWX5,
                                       w.cbPCW5,   w.cbSCW5,  w.cbSCWH5, w.IPAddress};
  for (QWidget* next : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next) << next->metaObject()->className();
  }
}

TEST_F(MainWindow, LeavingTheAddressFieldDropsTheBlanksOfEmptyPositions) {
  struct Case {
    const char* typed;
    const char* whileTyping;  // the 15-character text the change handler copies
    const char* address;      // after the field loses the focus
  } cases[] = {
      {"10.0.0.5", "10 .0  .0  .5  ", "10.0.0.5"},
      {"192.168.1.20", "192.168.1  .20 ", "192.168.1.20"},
      {"192168001020", "192.168.001.020", "192.168.001.020"},
      {"10.0", "10 .0  .   .   ", "10.0.."},
  };
  Open();
  ShowActive();
  TfrmMain& w = *window;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    w.IPAddress->setFocus();
    w.IPAddress->clear();
    w.IPAddress->home(false);
    QTest::keyClicks(w.IPAddress, c.typed);
    EXPECT_EQ(w.ipAddressText, c.whileTyping);
    QTest::keyClick(w.IPAddress, Qt::Key_Tab);
    EXPECT_NE(QApplication::focusWidget(), w.IPAddress);
    EXPECT_EQ(w.ipAddressText, c.address);
    EXPECT_EQ(w.IPAddress->displayText().toStdString(), c.whileTyping);
  }
}

// A click anywhere in the empty address field starts the address at its first group, "." moves
// on to the next group, and Enter presses Copy with the address as leaving the field gives it.
TEST_F(MainWindow, AClickInTheEmptyAddressFieldStartsAtItsFirstGroupAndEnterPressesCopy) {
  const struct Case {
    int clickedAt;  // pixels from the field's left edge
    const char* typed;
    const char* whileTyping;
    const char* address;
  } cases[] = {
      {56, "127.0.0.1", "127.0  .0  .1  ", "127.0.0.1"},
      {100, "127.10.200.3", "127.10 .200.3  ", "127.10.200.3"},
  };
  // Nobody listens on the port, so each run stops at its connection with one message.
  const testsupport::RefusingPort closed;
  package.Folder("Target/PNB5");
  Open(closed.Port(), closed.Port());
  ShowActive();
  TfrmMain& w = *window;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    messages.clear();
    w.IPAddress->clear();
    QTest::mouseClick(w.IPAddress, Qt::LeftButton, {},
                      QPoint(c.clickedAt, w.IPAddress->height() / 2));
    QTest::keyClicks(w.IPAddress, c.typed);
    EXPECT_EQ(w.IPAddress->displayText().toStdString(), c.whileTyping);
    QTest::keyClick(w.IPAddress, Qt::Key_Return);
    EXPECT_EQ(w.ipAddressText, c.address);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Can't connect VX500.\n\nPlease check IP address.");
  }
}

TEST_F(MainWindow, ClickingCopyTakesTheFocusAndTheAddressWithIt) {
  // Nobody listens on the port, so the run stops at its connection with one message.
  const testsupport::RefusingPort closed;
  package.Folder("Target/PNB5");
  Open(closed.Port(), closed.Port());
  ShowActive();
  QTest::keyClicks(window->IPAddress, "127.0.0.5");
  QTest::mouseClick(window->btnCopy, Qt::LeftButton);
  EXPECT_EQ(QApplication::focusWidget(), window->btnCopy);
  EXPECT_EQ(window->ipAddressText, "127.0.0.5");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Can't connect VX500.\n\nPlease check IP address.");
}

TEST_F(MainWindow, AnAddressFieldNeverEditedLeavesTheAddressEmpty) {
  Open();
  ShowActive();
  QTest::keyClick(window->IPAddress, Qt::Key_Tab);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  QTest::keyClick(window->IPAddress, Qt::Key_Tab);
  EXPECT_EQ(window->ipAddressText, "");
}

TEST_F(MainWindow, TickingABoxSelectsThatModulesSignalsOnly) {
  const std::vector<std::string> models = {"PNB5", "PCW5", "PCWX5", "SCW5", "SCWH5"};
  std::string manifest;
  for (std::size_t i = 0; i < models.size(); ++i) {
    package.Folder("Target/" + models[i] + "/SIGNAL");
    manifest += "[ENTRY " + std::to_string(i + 1) + "]\nid=" + std::to_string(i + 1) +
                "\nname=" + models[i] + "\n";
  }
  package.File("vxUpgrade.ini", manifest);
  Open();
  ShowActive();
  for (const std::string& model : models) {
    SCOPED_TRACE(model);
    QCheckBox* box = Box(model);
    ASSERT_TRUE(box->isEnabled());
    QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_TRUE(box->isChecked());
    for (const std::string& other : models) EXPECT_EQ(HasSignal(other), other == model) << other;
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Space);  // the keyboard unticks it again
    EXPECT_FALSE(box->isChecked());
    EXPECT_FALSE(HasSignal(model));
  }
}

TEST_F(MainWindow, ManifestSignalChoiceHoldsUntilTheOperatorTouchesTheBox) {
  package.Folder("Target/PNB5/SIGNAL");
  package.Folder("Target/SCWH5");
  package.File("VXUPGRADE.INI",
               "[ENTRY 1]\nid=1\nname=PNB5\nhasSignal=1\n"
               "[ENTRY 2]\nid=2\nname=SCWH5\nhasSignal=1\n");
  Open();
  ShowActive();
  EXPECT_TRUE(window->cbPNB5->isEnabled());
  EXPECT_FALSE(window->cbPNB5->isChecked());
  EXPECT_FALSE(window->cbSCWH5->isEnabled());
  EXPECT_TRUE(HasSignal("PNB5"));
  EXPECT_TRUE(HasSignal("SCWH5"));
  QTest::mouseClick(window->cbPNB5, Qt::LeftButton);
  QTest::mouseClick(window->cbPNB5, Qt::LeftButton);
  EXPECT_FALSE(HasSignal("PNB5"));
  EXPECT_TRUE(HasSignal("SCWH5"));
}

TEST_F(MainWindow, StartUpScansTheTargetFolderWhenThereIsNoManifest) {
  package.Folder("target/SCWH5/SIGNAL");
  package.Folder("target/PCW5");
  package.Folder("target/pnb5/SIGNAL");
  package.File("target/notes.txt");
  Open();
  std::map<std::string, int> ids;
  for (const auto& record : window->moduleList) ids[record.name] = record.id;
  EXPECT_EQ(ids, (std::map<std::string, int>{{"PCW5", 1}, {"SCWH5", 2}, {"pnb5", 3}}));
  EXPECT_TRUE(window->cbSCWH5->isEnabled());
  EXPECT_FALSE(window->cbPCW5->isEnabled());
  EXPECT_FALSE(window->cbPNB5->isEnabled());  // "pnb5" is not the model PNB5
  EXPECT_EQ(window->appDir, package.Dir());
}

TEST_F(MainWindow, WithoutAPackageFolderTheProgramsOwnFolderIsUsed) {
  TfrmMain w;
  std::string folder, name;
  SplitPath(ProgramFilePath(), folder, name);
  EXPECT_EQ(w.appDir, folder);
  EXPECT_TRUE(w.appDir.ends_with('/'));
}

TEST_F(MainWindow, APackageFolderThatCannotBeReadStopsTheWindowWithItsName) {
  package.Link("Target", "Target");  // exists, but can never be opened
  try {
    Open();
    FAIL() << "the window opened";
  } catch (const package::LocalFsError& error) {
    EXPECT_NE(std::string(error.what()).find(package.Path("Target")), std::string::npos)
        << error.what();
  }
}

// A Yes to the compressed-signal question (asked by the run, which then tells the window that
// the selection changed) disables and ticks the enabled PNB5 and SCWH5 boxes only.
TEST_F(MainWindow, ACompressedSignalYesTicksOnlyEnabledBoxes) {
  struct Case {
    bool pnb5Signals, scwh5Signals;
  } cases[] = {{true, true}, {false, true}, {true, false}, {false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pnb5Signals << c.scwh5Signals);
    testsupport::TempTree tree;
    tree.Folder(c.pnb5Signals ? "Target/PNB5/SIGNAL" : "Target/PNB5");
    tree.Folder(c.scwh5Signals ? "Target/SCWH5/SIGNAL" : "Target/SCWH5");
    TfrmMain w(TfrmMain::kCommandPort, TfrmMain::kFtpPort, tree.Dir());
    w.signalBoxes.AcceptCompressedSignals(w.moduleList);
    w.SelectionChanged();
    EXPECT_EQ(w.cbPNB5->isChecked(), c.pnb5Signals);
    EXPECT_EQ(w.cbSCWH5->isChecked(), c.scwh5Signals);
    EXPECT_FALSE(w.cbPNB5->isEnabled());
    EXPECT_FALSE(w.cbSCWH5->isEnabled());
    EXPECT_EQ(package::FindModule(w.moduleList, "PNB5")->hasSignal, c.pnb5Signals);
    EXPECT_EQ(package::FindModule(w.moduleList, "SCWH5")->hasSignal, c.scwh5Signals);
  }
}

TEST_F(MainWindow, QuitReleasesTheModulesAndEndsTheProgram) {
  package.Folder("Target/PNB5");
  Open();
  ShowActive();
  ASSERT_FALSE(window->moduleList.empty());
  // The message loop ends when its last window closes; the guard bounds the wait.
  QTimer::singleShot(0, window.get(),
                     [this] { QTest::mouseClick(window->btnQuit, Qt::LeftButton); });
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QApplication::exit(99); });
  guard.start(10000);
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_FALSE(window->isVisible());
  EXPECT_TRUE(window->moduleList.empty());
  EXPECT_TRUE(messages.empty());
}

TEST_F(MainWindow, TheCloseBoxClosesTheWindow) {
  Open();
  ShowActive();
  EXPECT_TRUE(window->close());
  EXPECT_FALSE(window->isVisible());
}

TEST_F(MainWindow, OperatorViewDrivesTheLogBarAndCursor) {
  Open();
  window->AddLogLine("Connecting VX500 ...");
  window->AddLogLine("");
  window->AddLogLine("Copying... caf\xC3\xA9.bin");
  EXPECT_EQ(window->mmStatus->toPlainText().toStdString(),
            "Connecting VX500 ...\n\nCopying... caf\xC3\xA9.bin");
  window->ClearLog();
  EXPECT_EQ(window->mmStatus->toPlainText(), "");
  window->Progress({42, 0, 0});
  EXPECT_EQ(window->ProgressBar->value(), 42);
  const Qt::CursorShape logCursor = window->mmStatus->viewport()->cursor().shape();
  window->SetCursor(Cursor::kHourGlass);
  EXPECT_EQ(window->cursor().shape(), Qt::WaitCursor);
  EXPECT_EQ(window->mmStatus->viewport()->cursor().shape(), Qt::WaitCursor);
  window->SetCursor(Cursor::kDefault);
  EXPECT_EQ(window->cursor().shape(), Qt::ArrowCursor);
  EXPECT_EQ(window->mmStatus->viewport()->cursor().shape(), logCursor);
}

// Without a responder the real message box comes up; this answers it like an operator.
TEST_F(MainWindow, MessageBoxFlagsGiveTheirButtonsIconsAndAnswers) {
  struct Case {
    int flags;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton press;
    int answer;
  } cases[] = {
      {0, QMessageBox::NoIcon, QMessageBox::Ok, QMessageBox::Ok, kIdOk},
      {16, QMessageBox::Critical, QMessageBox::Ok, QMessageBox::Ok, kIdOk},
      {36, QMessageBox::Question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No, kIdNo},
      {36, QMessageBox::Question, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, kIdYes},
  };
  TfrmMain w(TfrmMain::kCommandPort, TfrmMain::kFtpPort, package.Dir());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    bool seen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      poll.stop();
      seen = true;
      EXPECT_EQ(box->windowTitle(), "VX500 Upgrade");
      EXPECT_EQ(box->text(), "Line one\nline two");
      EXPECT_EQ(box->icon(), c.icon);
      EXPECT_EQ(box->standardButtons(), c.buttons);
      box->button(c.press)->click();
    });
    poll.start(1);
    EXPECT_EQ(w.ShowMessage("Line one\nline two", "VX500 Upgrade", c.flags), c.answer);
    EXPECT_TRUE(seen);
  }
}

TEST_F(MainWindow, GrabbedWindowIsTheClientAreaSize) {
  package.Folder("Target/PNB5/SIGNAL");
  Open();
  window->show();
  window->AddLogLine("Connecting VX500 ...");
  window->Progress({40, 0, 0});
  const QPixmap shot = window->grab();
  EXPECT_EQ(shot.size(), QSize(368, 443));
  if (const char* dir = std::getenv("VX_BINARY_DIR")) {
    EXPECT_TRUE(shot.save(QString::fromUtf8(dir) + "/main_window.png"));
  }
}

}  // namespace
