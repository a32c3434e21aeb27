#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/window/main_window.h"
#include "tests/support/loopback.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/sim_session.h"
#include "tests/support/temp_tree.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using Lines = std::vector<std::string>;

bool Holds(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

struct Message {
  std::string text, caption;
  int flags;
  bool operator==(const Message&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Message& m) {
    return out << "{\"" << m.text << "\", \"" << m.caption << "\", " << m.flags << "}";
  }
};

// Runs `action` from the event loop once `button` has been disabled, that is once a run or a
// teardown has begun: the next event pump inside its waits delivers it.
class WhenDisabled : public QObject {
 public:
  WhenDisabled(QWidget* button, std::function<void()> action) : action_(std::move(action)) {
    button->installEventFilter(this);
  }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::EnabledChange && action_ &&
        !static_cast<QWidget*>(watched)->isEnabled())
      QTimer::singleShot(0, this, std::exchange(action_, nullptr));
    return false;
  }

 private:
  std::function<void()> action_;
};

// Runs `action` once, as soon as `ready` holds, from a timer: its ticks come only while events
// flow, so during a run they come from the event pump of the run's waits.
class WhenReady : public QObject {
 public:
  WhenReady(std::function<bool()> ready, std::function<void()> action)
      : ready_(std::move(ready)), action_(std::move(action)) {
    connect(&timer_, &QTimer::timeout, this, [this] {
      if (!action_ || !ready_()) return;
      timer_.stop();
      std::exchange(action_, nullptr)();
    });
    timer_.start(1);
  }

 private:
  QTimer timer_;
  std::function<bool()> ready_;
  std::function<void()> action_;
};

// The real window on a package folder, its session pointed at an in-process simulator.
class CopyOnTheWindow : public ::testing::Test {
 protected:
  testsupport::TempTree package;
  std::unique_ptr<testsupport::SimInstrument> instrument;
  std::unique_ptr<TfrmMain> window;
  std::vector<Message> messages;

  // Starts the simulator with `scenario` and opens the window on it (on `commandPort` instead of
  // the simulator's when given), with short bounds.
  void Open(const std::string& scenario = "{}", std::optional<std::uint16_t> commandPort = {}) {
    window.reset();
    instrument =
        std::make_unique<testsupport::SimInstrument>(testsupport::ScenarioFromText(scenario));
    testsupport::WriteFile(instrument->Root() / "F0:" / "SYSTEM" / "vx500.bin", "firmware");
    window = std::make_unique<TfrmMain>(commandPort.value_or(instrument->Port()),
                                        instrument->FtpPort(), package.Dir());
    testsupport::UseTestBounds(*window->frmVX500);
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get(), 5000));
  }

  // Message boxes recorded and answered (OK, or `answer` for a question) instead of shown.
  void AnswerBoxes(int answer = kIdYes) {
    window->SetMessageResponder(
        [this, answer](const std::string& text, const std::string& caption, int flags) {
          messages.push_back({text, caption, flags});
          return flags == kMbYesNoQuestion ? answer : kIdOk;
        });
  }

  void TypeAddressAndCopy(const char* address = "127.0.0.1") {
    window->IPAddress->setFocus();
    QTest::keyClicks(window->IPAddress, address);
    QTest::mouseClick(window->btnCopy, Qt::LeftButton);
  }

  Lines Log() const {
    Lines lines;
    for (const QString& line : window->mmStatus->toPlainText().split('\n'))
      lines.push_back(line.toStdString());
    return lines;
  }

  // After a run that stopped with the window open: Copy and Quit back, default cursor.
  void ExpectWindowWaiting() {
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->btnCopy->isEnabled());
    EXPECT_TRUE(window->btnQuit->isEnabled());
    EXPECT_EQ(window->cursor().shape(), Qt::ArrowCursor);
    ASSERT_NE(window->frmVX500, nullptr);
  }
};

// A whole upgrade from the real window: the operator types the address, clicks Copy, answers
// the compressed-signal question and the final report; the program then ends.
TEST_F(CopyOnTheWindow, TypeTheAddressClickCopyAnswerTheBoxesAndTheUpgradeCompletes) {
  package.File("vxUpgrade.ini",
               "[ENTRY 1]\nid=1\nname=PNB5\n[ENTRY 2]\nid=2\nname=PCW5\n"
               "[ENTRY 3]\nid=3\nname=SCWH5\n");
  package.File("MainFrame/boot.bin", "system");
  package.File("Target/PNB5/SIGNAL/p.sig", "pnb5 signals");
  package.File("Target/PCW5/SIGNAL/c.sig", "pcw5 signals");
  package.Folder("Target/SCWH5");
  Open(testsupport::ScenarioText("tests/data/scenarios/compressed-question-mainframe-only.json"));
  QTest::mouseClick(window->cbPCW5, Qt::LeftButton);
  ASSERT_TRUE(window->cbPCW5->isChecked());

  // The operator answers the real message boxes: Yes to the question, OK to the report.
  std::vector<Message> seen;
  QTimer operatorHand;
  QObject::connect(&operatorHand, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    const bool question = box->icon() == QMessageBox::Question;
    seen.push_back({box->text().toStdString(), box->windowTitle().toStdString(),
                    question                             ? 36
                    : box->icon() == QMessageBox::NoIcon ? 0
                                                         : -1});
    box->button(question ? QMessageBox::Yes : QMessageBox::Ok)->click();
  });
  operatorHand.start(1);
  TypeAddressAndCopy();
  operatorHand.stop();

  EXPECT_EQ(seen, (std::vector<Message>{
                      {"There is not enough space to upgrade VX500.\n\nThe signals of SCWH5/PNB5 "
                       "are overwritten with compressed signals.\n\nClick YES to continue.",
                       "VX500 Upgrade", 36},
                      {"Copy successfully completed !\nPlease reboot the VX500.\nMemory Size:\n"
                       "free= 3.8 MB,total=32.0 MB\n",
                       "VX500 Upgrade Complete", 0}}));
  // Yes selected the PNB5 signals (its box was enabled); PCW5's were ticked by the operator.
  EXPECT_EQ(Log(),
            (Lines{"Connecting VX500 ...", "", "Copying System files ...", "Copying... boot.bin",
                   "Copying ALL modules ...", "** PNB5", "Copying... p.sig", "** PCW5",
                   "Copying... c.sig", "** SCWH5", "Copy completed!", "Program Config ROMs ..."}));
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(window->frmVX500, nullptr);
  const auto f0 = instrument->Root() / "F0:";
  for (const char* stored : {"SYSTEM/boot.bin", "SYSTEM/MID1/NAME", "SYSTEM/MID3/NAME",
                             "PNB5/SIGNAL/p.sig", "PCW5/SIGNAL/c.sig"})
    EXPECT_TRUE(std::filesystem::is_regular_file(f0 / stored)) << stored;
  EXPECT_TRUE(std::filesystem::is_directory(f0 / "SCWH5"));
  EXPECT_EQ(instrument->FtpLines().back(), "QUIT");
}

// Release files named with ESC sequences, with the one-character CSI and with a right-to-left
// override show written out in the status log; an accented letter shows as itself.
TEST_F(CopyOnTheWindow, ControlCharactersInANameAreWrittenOutInTheLog) {
  const struct Case {
    std::string name;
    std::string shown;
  } cases[] = {
      {"\x1b]0;owned\x07\x1b[2Jboot\x7f.bin", "\\x1b]0;owned\\x07\\x1b[2Jboot\\x7f.bin"},
      {"\xc2\x9bKcaf\xc3\xa9\xe2\x80\xaenib.bin", "\\u009bKcaf\xc3\xa9\\u202enib.bin"},
  };
  for (const Case& c : cases) package.File("MainFrame/" + c.name, "system");
  package.Folder("Target/PNB5");
  Open();
  AnswerBoxes();
  TypeAddressAndCopy();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].caption, "VX500 Upgrade Complete");
  for (const Case& c : cases) {
    EXPECT_THAT(Log(), ::testing::Contains("Copying... " + c.shown));
    EXPECT_TRUE(std::filesystem::is_regular_file(instrument->Root() / "F0:" / "SYSTEM" / c.name));
  }
}

TEST_F(CopyOnTheWindow, AnEndingReleasesEverythingAndClosesTheWindow) {
  package.Folder("Target/PCWX5/SIGNAL");
  Open(testsupport::ScenarioText("sim/scenarios/firmware-v2.0.json"));
  AnswerBoxes();
  TypeAddressAndCopy();
  EXPECT_EQ(messages, (std::vector<Message>{{"This release requires VX500 V2.1 or above.\n\n"
                                             "Please upgrade V2.1 first, then try again",
                                             "VX500 Upgrade", 16}}));
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(window->frmVX500, nullptr);
  EXPECT_TRUE(window->moduleList.empty());
  EXPECT_EQ(instrument->FtpLines(), (Lines{"USER kestro", "PASS pelto3318", "QUIT"}));
  // Nothing can start another run.
  window->btnCopyClick();
  EXPECT_EQ(instrument->CommandLines().size(), 4u);
}

// An error raised from below ends the run where it stands; the window shows its text and waits
// for the operator, still connected where the error left the channels, and Copy works again.
TEST_F(CopyOnTheWindow, ErrorsFromBelowAreShownAndTheWindowStaysOpen) {
  struct Case {
    const char* what;
    const char* scenario;
    std::string text;
    bool commandOpen;
    // A short bound only where nothing answers: a reply from a loaded machine may take long.
    std::chrono::milliseconds replyBound = 5s;
    const char* diagnostic = nullptr;  // the log's line after "Connecting VX500 ...", port last
  } cases[] = {
      {"FTP log-in refused",
       R"({"ftp": {"refuse": [{"command": "PASS", "code": 530, "text": "Login incorrect."}]}})",
       "530 Login incorrect.", true, 5s, "FTP 127.0.0.1:%: log-in refused: 530 Login incorrect."},
      {"unreadable slot inventory", R"({"faults": [{"command": "*OPT?", "reply": "\"VX500\""}]})",
       "'\"' is not a valid integer value", true},
      {"silent instrument", R"({"faults": [{"command": "*IDN?", "noAnswer": true}]})",
       "The instrument at 127.0.0.1 did not answer \"*IDN?\" within 300 ms; the command "
       "connection was closed",
       false, 300ms},
  };
  package.Folder("Target/PNB5");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    messages.clear();
    Open(c.scenario);
    instrument::CommandBounds bounds = window->frmVX500->Bounds();
    bounds.reply = c.replyBound;
    window->frmVX500->SetCommandBounds(bounds);
    AnswerBoxes();
    window->SetCursor(Cursor::kHourGlass);
    TypeAddressAndCopy();
    EXPECT_EQ(messages, (std::vector<Message>{{c.text, "VX500 Upgrade", 16}}));
    ExpectWindowWaiting();
    EXPECT_EQ(window->frmVX500->CommandConnectionOpen(), c.commandOpen);
    Lines log{"Connecting VX500 ..."};
    if (c.diagnostic) {
      std::string line = c.diagnostic;
      log.push_back(line.replace(line.find('%'), 1, std::to_string(instrument->FtpPort())));
    }
    EXPECT_EQ(Log(), log);

    const std::size_t sent = instrument->Transcript().Entries().size();
    QTest::mouseClick(window->btnCopy, Qt::LeftButton);
    EXPECT_EQ(messages.size(), 2u);
    EXPECT_GT(instrument->Transcript().Entries().size(), sent);
  }
}

// Copy checks the release first: one holding a link out of it and missing an image is
// refused, naming both paths, before the window connects; mended, it installs.
TEST_F(CopyOnTheWindow, AReleaseThatCannotBeInstalledIsRefusedBeforeAnythingIsSent) {
  testsupport::TempTree outside;
  outside.File("environ", "OPERATOR_SECRET=1");
  package.File("vxUpgrade.ini", "[ENTRY 1]\nid=1\nname=RKS5\nrpdFile1=rks5.rpd\n");
  package.File("MainFrame/boot.bin", "system");
  package.Link(outside.Path("environ"), "MainFrame/environ");
  package.File("Target/RKS5/rks5.bin", "rks5 firmware");
  Open();
  AnswerBoxes();
  TypeAddressAndCopy();

  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].caption, "VX500 Upgrade");
  EXPECT_EQ(messages[0].flags, 16);
  EXPECT_THAT(messages[0].text, HasSubstr(package.Path("MainFrame/environ") +
                                          ": it leads out of the release folder"));
  EXPECT_THAT(messages[0].text,
              HasSubstr(package.Path("Target/RKS5/FLEX/rks5.rpd") + " does not exist"));
  ExpectWindowWaiting();
  EXPECT_EQ(Log(), Lines{""});
  EXPECT_THAT(instrument->Transcript().Entries(), IsEmpty());

  std::filesystem::remove(package.Path("MainFrame/environ"));
  package.File("Target/RKS5/FLEX/rks5.rpd", "rks5 image");
  QTest::mouseClick(window->btnCopy, Qt::LeftButton);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].caption, "VX500 Upgrade Complete");
  const Lines log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "Start config rks5.rpd"), log.end());
}

// A window started from a folder without modules refuses Copy before it connects, with the
// text the run would give.
TEST_F(CopyOnTheWindow, AFolderWithoutModulesIsRefusedBeforeAnythingIsSent) {
  package.File("MainFrame/boot.bin", "system");
  Open();
  AnswerBoxes();
  TypeAddressAndCopy();
  EXPECT_EQ(messages,
            (std::vector<Message>{{package::NoModulesText(package.Dir()), "VX500 Upgrade", 16}}));
  ExpectWindowWaiting();
  EXPECT_THAT(instrument->Transcript().Entries(), IsEmpty());
}

// A retry after an error measures the release afresh: its bar follows the bytes of this run
// alone, up to 100 with the last file, and the counters hold one measurement.
TEST_F(CopyOnTheWindow, ARetryAfterAnErrorMeasuresAfreshAndItsBarReaches100) {
  package.File("MainFrame/boot.bin", std::string(1000, 's'));
  package.File("Target/PNB5/pnb5.bin", std::string(1000, 'p'));
  // The first run ends in an error from below once the system tree has been copied.
  Open(R"({"faults": [{"command": "MMEM:MDIR", "path": "/F0:/PNB5", "times": 1, "reset": true}]})");
  AnswerBoxes();
  TypeAddressAndCopy();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].caption, "VX500 Upgrade");
  ExpectWindowWaiting();
  EXPECT_EQ(window->ProgressBar->value(), 50);

  std::vector<std::pair<int, std::string>>
      positions;  // each new position, with the log's last line
  QObject::connect(window->ProgressBar, &QProgressBar::valueChanged,
                   [&](int position) { positions.emplace_back(position, Log().back()); });
  QTest::mouseClick(window->btnCopy, Qt::LeftButton);

  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].caption, "VX500 Upgrade Complete");
  EXPECT_EQ(positions, (std::vector<std::pair<int, std::string>>{
                           {0, ""}, {50, "Copying... boot.bin"}, {100, "Copying... pnb5.bin"}}));
  EXPECT_EQ(window->fileCount, 2);
  EXPECT_EQ(window->totalBytes, 2000);
  EXPECT_EQ(window->copiedBytes, 2000);
}

// The waits of both channels pump window events: while the instrument holds a reply (the FTP
// greeting, the answer to *OPT?) a call queued meanwhile runs, Copy starts no
// second run, and Stop or the close box answered No let the run go on to its report.
TEST_F(CopyOnTheWindow, WhileTheInstrumentHoldsAReplyTheWindowStaysLiveAndNoLetsTheRunGoOn) {
  const struct Case {
    const char* what;
    const char* scenario;
    const char* awaited;  // the command line whose reply is held; none: any wait will do
  } cases[] = {
      {"FTP greeting", R"({"ftp": {"delay": [{"command": "GREETING", "hold": true}]}})", nullptr},
      {"*OPT? reply", R"({"faults": [{"command": "*OPT?", "hold": true}]})", "*OPT?"},
  };
  package.Folder("Target/PNB5");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    messages.clear();
    Open(c.scenario);
    AnswerBoxes(kIdNo);
    std::optional<std::chrono::steady_clock::duration> queuedFor;
    const auto duringTheRun = [&] {
      EXPECT_FALSE(window->btnCopy->isEnabled());
      EXPECT_TRUE(window->btnQuit->isEnabled());
      EXPECT_EQ(window->btnQuit->text(), "Stop");
      EXPECT_EQ(window->cursor().shape(), Qt::BusyCursor);
      QTest::mouseClick(window->btnQuit, Qt::LeftButton);
      EXPECT_FALSE(window->close());
      window->btnCopyClick();
      instrument->Release();
    };
    WhenReady held([&] { return !c.awaited || Holds(instrument->CommandLines(), c.awaited); },
                   [&] {
                     const auto queued = std::chrono::steady_clock::now();
                     QMetaObject::invokeMethod(
                         window.get(),
                         [&, queued] {
                           queuedFor = std::chrono::steady_clock::now() - queued;
                           duringTheRun();
                         },
                         Qt::QueuedConnection);
                   });
    TypeAddressAndCopy();
    // The held reply is released only from the queued call, so a window that did not pump
    // would never get here. How long the call waited is a figure to read (it stays within a few
    // of the pump's 10 ms slices on a quiet machine), not a bound: CI shares its cores.
    ASSERT_TRUE(queuedFor.has_value());
    RecordProperty(
        std::string("queuedMs ") + c.what,
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(*queuedFor).count()));
    const Message stop{TfrmMain::kStopQuestion, "VX500 Upgrade", kMbYesNoQuestion};
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], stop);
    EXPECT_EQ(messages[1], stop);
    EXPECT_EQ(messages[2].caption, "VX500 Upgrade Complete");
    EXPECT_FALSE(window->isVisible());
    const Lines commands = instrument->CommandLines();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), std::string("*IDN?")), 1);
  }
}

// Stop answered Yes stops the run at the wait it is in (a connection that nobody answers, a held
// *OPT? reply, the held store of a NAME file), as a stop signal does: the session logs out, the
// temporary NAME file is gone, the log ends with what was written, and the window closes.
TEST_F(CopyOnTheWindow, StopAnsweredYesEndsTheRunSayingWhatWasWrittenAndClosesTheWindow) {
  const testsupport::UnansweredPort unanswered;
  const struct Case {
    const char* what;
    const char* scenario;
    bool unansweredCommandPort;
    const char* awaited;         // the command or FTP line received when Stop is pressed
    std::size_t temporaryFiles;  // in the temporary folder when Stop is pressed
    const char* stopped;         // how the "Stopped: " line begins
    std::string written;         // the log's last line
  } cases[] = {
      {"connecting", "{}", true, nullptr, 0, "Stopped: Stopped while connecting to the instrument",
       "nothing was written to the instrument"},
      {"*OPT? held", R"({"faults": [{"command": "*OPT?", "hold": true}]})", false, "*OPT?", 0,
       "Stopped: Stopped while waiting for the instrument at 127.0.0.1 to answer \"*OPT?\"",
       "nothing was written to the instrument"},
      {"NAME store held",
       R"({"ftp": {"delay": [{"command": "COMPLETION", "pattern": "*NAME", "hold": true}]}})",
       false, "STOR /F0:/SYSTEM/MID1/NAME", 1, "Stopped: ",
       "already written to the instrument: MID folders and NAME files in /F0:/SYSTEM (perhaps "
       "not all). Nothing is rolled back; run the upgrade again to complete it"},
  };
  package.Folder("Target/PNB5");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempTree temporary;
    const testsupport::TempVariables variables(temporary.Path().string(), {}, {});
    messages.clear();
    Open(c.scenario, c.unansweredCommandPort ? std::optional(unanswered.Port()) : std::nullopt);
    AnswerBoxes(kIdYes);
    std::size_t temporaryFiles = 0;
    WhenReady held(
        [&] {
          return !c.awaited || Holds(instrument->CommandLines(), c.awaited) ||
                 Holds(instrument->FtpLines(), c.awaited);
        },
        [&] {
          temporaryFiles = testsupport::TreeEntries(temporary.Path()).size();
          QTest::mouseClick(window->btnQuit, Qt::LeftButton);
          // The run sees the stop before it reads anything more.
          instrument->Release();
        });
    TypeAddressAndCopy();
    EXPECT_EQ(messages,
              (std::vector<Message>{{TfrmMain::kStopQuestion, "VX500 Upgrade", kMbYesNoQuestion}}));
    EXPECT_EQ(temporaryFiles, c.temporaryFiles);
    EXPECT_THAT(testsupport::TreeEntries(temporary.Path()), IsEmpty());
    const Lines log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_THAT(log[log.size() - 2], StartsWith(c.stopped));
    EXPECT_EQ(log.back(), c.written);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->frmVX500, nullptr);
    if (c.unansweredCommandPort) {
      EXPECT_THAT(instrument->FtpLines(), IsEmpty());
    } else {
      // The log-out may take a late completion reply for QUIT's and close before the
      // simulator's thread has read QUIT: wait for the line, not for a moment.
      EXPECT_TRUE(instrument->Transcript().WaitForLine(sim::Transcript::Channel::kFtp, "QUIT",
                                                       std::chrono::seconds(10)));
      EXPECT_EQ(instrument->FtpLines().back(), "QUIT");
    }
  }
}

// An error from below once the run has written: before its box the log names the upload that
// failed and says what the run left written; the boxes' texts are as they were.
TEST_F(CopyOnTheWindow, AnErrorAfterWritingBeganIsExplainedInTheLogBeforeItsBox) {
  package.File("MainFrame/boot.bin", "system");
  package.Folder("Target/PNB5");
  Open(R"({"ftp": {"refuse": [{"command": "STOR", "pattern": "*boot.bin", "code": 552,
                                 "text": "Full."}]}})");
  Lines logAtErrorBox;
  window->SetMessageResponder([&](const std::string& text, const std::string& caption, int flags) {
    messages.push_back({text, caption, flags});
    if (caption == "VX500 Upgrade") logAtErrorBox = Log();
    return kIdOk;
  });
  TypeAddressAndCopy();
  EXPECT_EQ(messages, (std::vector<Message>{{"Upload failed", "VX500 Upgrade ftp", 16},
                                            {"552 Full.", "VX500 Upgrade", 16}}));
  ASSERT_GE(logAtErrorBox.size(), 2u);
  EXPECT_EQ(Lines(logAtErrorBox.end() - 2, logAtErrorBox.end()),
            (Lines{"the upload of " + package.Path("MainFrame/boot.bin") +
                       " to /F0:/SYSTEM/boot.bin failed: 552 Full.",
                   "already written to the instrument: the MID folders and NAME files and part "
                   "of the system tree in /F0:/SYSTEM (0 bytes of files copied). Nothing is "
                   "rolled back; run the upgrade again to complete it"}));
  ExpectWindowWaiting();
}

// Quit logs the session out, which waits and pumps events: Copy, Quit and the close box stay
// inert until the window is gone (the log-out's reply is held until they have been tried).
TEST_F(CopyOnTheWindow, QuitTearsTheSessionDownWithTheWindowInert) {
  package.Folder("Target/PNB5");
  Open(R"({"faults": [{"command": ":MMEM:CDIR", "path": "/F0:/", "error": -256}],
           "ftp": {"delay": [{"command": "QUIT", "hold": true}]}})");
  AnswerBoxes();
  TypeAddressAndCopy();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "VX500's File System was damaged!");
  ExpectWindowWaiting();
  ASSERT_TRUE(window->frmVX500->FtpClient.Connected());

  bool ranDuringTeardown = false;
  WhenDisabled duringTeardown(window->btnQuit, [&] {
    ranDuringTeardown = true;
    EXPECT_FALSE(window->btnCopy->isEnabled());
    EXPECT_FALSE(window->btnQuit->isEnabled());
    EXPECT_FALSE(window->close());
    window->btnCopyClick();
    instrument->Release();
  });
  QTest::mouseClick(window->btnQuit, Qt::LeftButton);
  EXPECT_TRUE(ranDuringTeardown);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(window->frmVX500, nullptr);
  EXPECT_EQ(instrument->FtpLines(), (Lines{"USER kestro", "PASS pelto3318", "QUIT"}));
  EXPECT_EQ(instrument->CommandLines().size(), 4u);
}

// A window destroyed while connected logs out on its way; the log-out pumps events, and the
// half-torn-down window takes no Copy and no close meanwhile.
TEST_F(CopyOnTheWindow, AWindowDestroyedWhileConnectedLogsOutInertly) {
  package.Folder("Target/PNB5");
  Open(R"({"identity": "SOMETHING,ELSE", "ftp": {"delay": [{"command": "QUIT", "hold": true}]}})");
  AnswerBoxes();
  TypeAddressAndCopy();
  EXPECT_EQ(messages, (std::vector<Message>{{"This instrument is not a VX500.\n\nCan not continue.",
                                             "VX500 Upgrade", 16}}));
  ExpectWindowWaiting();

  TfrmMain* going = window.get();
  bool ranDuringTeardown = false;
  WhenDisabled duringTeardown(going->btnQuit, [&] {
    ranDuringTeardown = true;
    EXPECT_FALSE(going->close());
    going->btnCopyClick();
    instrument->Release();
  });
  window.reset();
  EXPECT_TRUE(ranDuringTeardown);
  EXPECT_EQ(instrument->FtpLines(), (Lines{"USER kestro", "PASS pelto3318", "QUIT"}));
  EXPECT_EQ(instrument->CommandLines(), (Lines{"*IDN?", "*OPT?"}));
}

}  // namespace
