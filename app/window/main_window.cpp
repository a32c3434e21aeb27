#include "app/window/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>

#include <algorithm>
#include <exception>
#include <iterator>

#include "net/text.h"
#include "upgrade/ending_notes.h"
#include "upgrade/upgrade_run.h"
#include "upgrade/utilities.h"

namespace {

QString Text(const std::string& s) {
  return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

QLabel* MakeLabel(QWidget* parent, const char* text, int left, int top) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->move(left, top);
  label->adjustSize();
  return label;
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* text) {
  auto* box = new QCheckBox(QString::fromLatin1(text), parent);
  box->setEnabled(false);
  return box;
}

QPushButton* MakeButton(QWidget* parent, const char* text) {
  return new QPushButton(QString::fromLatin1(text), parent);
}

}  // namespace

TfrmMain::TfrmMain(std::uint16_t commandPort, std::uint16_t ftpPort, const std::string& packageDir,
                   QWidget* owner)
    : QWidget(owner),
      commandPort(commandPort),
      ftpPort(ftpPort),
      stopRequest(CaughtStopSignals(), [this](std::int16_t slot) {
        AddLogLine("Stopping once the FPGA configuration of slot " + std::to_string(slot) + " (" +
                   frmVX500->SlotModuleName(slot) + ") has finished");
      }) {
  BuildControls();
  ipAddressText.clear();
  appDir.clear();
  // The session comes after the two texts are cleared and before the counters are zeroed.
  frmVX500 = std::make_unique<instrument::TfrmVX500>(commandPort, ftpPort);
  // The waits of both channels keep the window repainting (and the operator's input, Stop
  // included, flowing) meanwhile.
  frmVX500->SetEventPump([] { QCoreApplication::processEvents(); });
  frmVX500->SetObserver(&uploadWatch);
  frmVX500->SetCancelPredicate([this] {
    return stopRequest.AtWait(frmVX500 ? frmVX500->SlotBeingConfigured() : std::nullopt);
  });
  copiedBytes = 0;
  totalBytes = 0;
  fileCount = 0;
  moduleList.clear();
  appDir = ReleaseFolder(packageDir);
  if (const auto manifest = package::FindManifest(appDir)) {
    package::ReadModuleList(*manifest, appDir, signalBoxes, moduleList);
    ShowSignalBoxes();
  } else {
    ScanTargetFolder();
  }
  ConnectHandlers();
  if (StopSignalPipe() >= 0) {
    stopSignalNotifier = new QSocketNotifier(StopSignalPipe(), QSocketNotifier::Read, this);
    connect(stopSignalNotifier, &QSocketNotifier::activated, this, [this] {
      DrainStopSignalPipe();
      RunHandler([this] { StopSignalled(); });
    });
  }
}

// The session goes first, while every member is still whole: its log-out pumps events into
// this window. The address field is deleted with the window's children; it must not report
// its last focus-out to a window that is half gone.
TfrmMain::~TfrmMain() {
  DestroySession();
  IPAddress->removeEventFilter(this);
}

void TfrmMain::BuildControls() {
  setWindowTitle(QString::fromLatin1(kCaption));
  QFont windowFont(QStringLiteral("Courier New"));
  windowFont.setPixelSize(12);
  // Whole-pixel glyph advances (7 px at this size), as the layout's widths were measured with.
  windowFont.setHintingPreference(QFont::PreferFullHinting);
  setFont(windowFont);
  setFixedSize(368, 443);

  Label1 = MakeLabel(this, "IP Address:", 8, 16);
  Label2 = new QLabel(QStringLiteral("DO NOT TURN OFF THE POWER OF VX500 UNTIL COMPLETED"), this);
  QPalette warning = Label2->palette();
  warning.setColor(QPalette::WindowText, Qt::red);
  Label2->setPalette(warning);

  GroupBox1 = new QGroupBox(QStringLiteral("Status"), this);
  mmStatus = new QPlainTextEdit(GroupBox1);
  mmStatus->setReadOnly(true);
  mmStatus->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmStatus->setTabChangesFocus(true);
  statusCursor = mmStatus->viewport()->cursor();
  ProgressBar = new QProgressBar(GroupBox1);
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(0);
  ProgressBar->setTextVisible(false);

  btnCopy = MakeButton(this, "Copy");
  btnQuit = MakeButton(this, "Quit");

  IPAddress = new QLineEdit(this);
  // "0" is an optional digit: a short group such as "10" still makes a whole address.
  IPAddress->setInputMask(QStringLiteral("000.000.000.000; "));
  IPAddress->setAttribute(Qt::WA_InputMethodEnabled, false);
  IPAddress->installEventFilter(this);

  Label3 = MakeLabel(this, "Select Modules to download signals", 8, 352);
  QFont bold = Label3->font();
  bold.setBold(true);
  Label3->setFont(bold);
  Label3->adjustSize();

  cbPNB5 = MakeCheckBox(this, "PNB5");
  Bevel1 = new QFrame(this);
  Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Bevel1->lower();  // a frame drawn behind the boxes it surrounds
  cbPCWX5 = MakeCheckBox(this, "PCWX5");
  cbPCW5 = MakeCheckBox(this, "PCW5");
  cbSCW5 = MakeCheckBox(this, "SCW5");
  cbSCWH5 = MakeCheckBox(this, "SCWH5");

  QWidget* const placed[] = {IPAddress, Label2,  GroupBox1, mmStatus, ProgressBar, Bevel1, cbPNB5,
                             cbPCW5,    cbPCWX5, cbSCW5,    cbSCWH5,  btnCopy,     btnQuit};
  static_assert(std::size(placed) == std::size(kLayout));
  for (std::size_t i = 0; i < std::size(kLayout); ++i) {
    placed[i]->setObjectName(QString::fromLatin1(kLayout[i].name));
    placed[i]->setGeometry(kLayout[i].geometry);
  }

  QWidget* tabOrder[] = {IPAddress, mmStatus, btnCopy, btnQuit, cbPNB5,
                         cbPCWX5,   cbPCW5,   cbSCW5,  cbSCWH5};
  for (std::size_t i = 1; i < std::size(tabOrder); ++i) {
    QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
  }
  IPAddress->setFocus();
  CenterOnScreen();
}

// Connected only once the window is built, so that setting up the mask does not count as
// an edit of the address.
void TfrmMain::ConnectHandlers() {
  connect(IPAddress, &QLineEdit::textChanged, this,
          [this] { RunHandler([this] { IPAddressChange(); }); });
  connect(btnCopy, &QPushButton::clicked, this, [this] { RunHandler([this] { btnCopyClick(); }); });
  connect(btnQuit, &QPushButton::clicked, this, [this] { RunHandler([this] { btnQuitClick(); }); });
  const std::pair<QCheckBox*, void (TfrmMain::*)()> boxes[] = {{cbPNB5, &TfrmMain::cbPNB5Click},
                                                               {cbPCW5, &TfrmMain::cbPCW5Click},
                                                               {cbPCWX5, &TfrmMain::cbPCWX5Click},
                                                               {cbSCW5, &TfrmMain::cbSCW5Click},
                                                               {cbSCWH5, &TfrmMain::cbSCWH5Click}};
  for (const auto& [box, handler] : boxes) {
    connect(box, &QCheckBox::clicked, this,
            [this, handler] { RunHandler([this, handler] { (this->*handler)(); }); });
  }
}

void TfrmMain::CenterOnScreen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
}

void TfrmMain::RunHandler(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    ShowMessage(ShownErrorText(error.what()), kCaption, kMbIconError);
  } catch (...) {
    ShowMessage("Unknown error", kCaption, kMbIconError);
  }
}

void TfrmMain::IPAddressChange() {
  ipAddressText = IPAddress->displayText().toStdString();
}

void TfrmMain::IPAddressExit() {
  std::erase(ipAddressText, ' ');
}

void TfrmMain::btnCopyClick() {
  if (runActive || tearingDown || released) return;
  // A release that cannot be installed whole is refused before anything is connected; the
  // error display lists the offending paths (the first few, in a box that fits the screen).
  release.emplace(appDir);
  try {
    package::CheckRelease(*release, moduleList, kListedReleaseProblems,
                          [this] { return stopRequest.Requested(); });
  } catch (const package::WalkStopped&) {
    // A stop signal during the check ends the program as it does outside a run.
    ReleaseAndClose();
    return;
  }
  runActive = true;
  // Disabling the focused button hands the focus on; it comes back when the run stops.
  const bool copyHadFocus = btnCopy->hasFocus();
  btnCopy->setEnabled(false);
  btnQuit->setText(QString::fromLatin1(kStopText));
  // The window stays live while the run waits; the cursor tells that it is busy.
  setCursor(Qt::BusyCursor);
  // Also when an error leaves the run: the window then stays open for another try.
  struct StopGuard {
    TfrmMain* window;
    bool copyHadFocus;
    ~StopGuard() { window->RunStopped(copyHadFocus); }
  } stopGuard{this, copyHadFocus};
  UpgradeRun run(*frmVX500, *this,
                 {ipAddressText,
                  *release,
                  moduleList,
                  signalBoxes,
                  {fileCount, totalBytes, copiedBytes},
                  RunMode::kUpgrade});
  try {
    run.Execute();
  } catch (const std::exception& error) {
    const std::string text = ShownErrorText(error.what());
    // A stopped run ends the program; its error goes to the log, not to a box.
    if (!stopRequest.Requested()) {
      LogErrorEnding(run.Result(), text);
      throw;
    }
    AddLogLine("Stopped: " + text);
  }
  // The temporary NAME file of an upload that the stop cut short went with the run's unwinding.
  if (stopRequest.Requested()) {
    EndStoppedRun(run.Result());
  } else if (run.Result().releaseAndClose) {
    ReleaseAndClose();
  }
}

void TfrmMain::LogErrorEnding(const UpgradeResult& result, const std::string& error) {
  for (const std::string& note :
       ErrorNotes(frmVX500->ConnectDiagnostic(), uploadWatch.UploadInProgress(), error)) {
    AddLogLine(note);
  }
  if (result.WritingStarted()) AddLogLine(WrittenSummary(result, copiedBytes, false));
}

void TfrmMain::EndStoppedRun(const UpgradeResult& result) {
  DestroySession();
  AddLogLine(WrittenSummary(result, copiedBytes, stopRequest.LetFinishSlot().has_value()));
  ReleaseAndClose();
}

void TfrmMain::AskStop() {
  if (!runActive || released || tearingDown || askingStop || stopRequest.Requested()) return;
  askingStop = true;
  const int answer = ShowMessage(kStopQuestion, kCaption, kMbYesNoQuestion);
  askingStop = false;
  if (answer != kIdYes || stopRequest.Requested()) return;
  stopRequest.Ask();
  // The stop is under way: nothing more to press until the window closes.
  SetButtonsEnabled(false);
}

void TfrmMain::StopSignalled() {
  if (QWidget* box = QApplication::activeModalWidget()) box->close();
  // A run, or a log-out under way, sees the signal at its next wait.
  if (runActive || tearingDown) return;
  ReleaseAndClose();
}

void TfrmMain::RunStopped(bool focusCopy) {
  runActive = false;
  if (released) return;
  btnQuit->setText(QStringLiteral("Quit"));
  SetButtonsEnabled(true);
  SetCursor(Cursor::kDefault);
  if (focusCopy) btnCopy->setFocus();
}

void TfrmMain::btnQuitClick() {
  if (runActive) {
    AskStop();
    return;
  }
  ReleaseAndClose();
}

void TfrmMain::CheckBoxClicked(QCheckBox* box, std::string_view model) {
  signalBoxes.Click(moduleList, model, box->isChecked());
}

void TfrmMain::cbPNB5Click() {
  CheckBoxClicked(cbPNB5, "PNB5");
}
void TfrmMain::cbPCW5Click() {
  CheckBoxClicked(cbPCW5, "PCW5");
}
void TfrmMain::cbPCWX5Click() {
  CheckBoxClicked(cbPCWX5, "PCWX5");
}
void TfrmMain::cbSCW5Click() {
  CheckBoxClicked(cbSCW5, "SCW5");
}
void TfrmMain::cbSCWH5Click() {
  CheckBoxClicked(cbSCWH5, "SCWH5");
}

void TfrmMain::ScanTargetFolder() {
  moduleList = package::ScanTargetFolder(appDir, signalBoxes);
  ShowSignalBoxes();
}

void TfrmMain::ReleaseAndClose() {
  if (!released) {
    moduleList.clear();
    moduleList.shrink_to_fit();
    released = true;
    DestroySession();
  }
  close();
}

void TfrmMain::DestroySession() {
  if (!frmVX500 || tearingDown) return;
  tearingDown = true;
  SetButtonsEnabled(false);
  // After a stop the log-out is bounded, and a further stop cuts it off.
  if (stopRequest.Requested()) LogOutBounded(stopRequest, *frmVX500);
  frmVX500.reset();
  tearingDown = false;
}

void TfrmMain::SetButtonsEnabled(bool enabled) {
  btnCopy->setEnabled(enabled);
  btnQuit->setEnabled(enabled);
}

void TfrmMain::SetMessageResponder(MessageResponder responder) {
  messageResponder = std::move(responder);
}

bool TfrmMain::AddressFieldEmpty() const {
  const QString shown = IPAddress->displayText();
  return std::none_of(shown.begin(), shown.end(), [](QChar c) { return c.isDigit(); });
}

// The close box during a run asks whether to stop it; the window then closes once the run has
// stopped, never in the middle of it.
void TfrmMain::closeEvent(QCloseEvent* event) {
  if (tearingDown || (runActive && !released)) {
    event->ignore();
    if (!tearingDown) RunHandler([this] { AskStop(); });
    return;
  }
  event->accept();
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched != IPAddress) return QWidget::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::FocusOut:
      RunHandler([this] { IPAddressExit(); });
      break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
      // In an empty field the address is typed from its first group, wherever the click fell.
      if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && AddressFieldEmpty()) {
        IPAddress->setFocus(Qt::MouseFocusReason);
        IPAddress->setCursorPosition(0);
        return true;
      }
      break;
    case QEvent::KeyPress: {
      // Enter presses Copy, with the address as leaving the field leaves it.
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        RunHandler([this] { IPAddressExit(); });
        btnCopy->click();
        return true;
      }
      break;
    }
    default:
      break;
  }
  return QWidget::eventFilter(watched, event);
}

void TfrmMain::ClearLog() {
  mmStatus->clear();
}

void TfrmMain::AddLogLine(const std::string& line) {
  // A name from the release or a reply may hold control characters; the log shows them written
  // out.
  mmStatus->appendPlainText(Text(net::PrintableText(line)));
}

void TfrmMain::Progress(const package::CopyProgress& progress) {
  ProgressBar->setValue(progress.position);
}

void TfrmMain::SetCursor(Cursor cursor) {
  if (cursor == Cursor::kHourGlass) {
    setCursor(Qt::WaitCursor);
    mmStatus->viewport()->setCursor(Qt::WaitCursor);
  } else {
    unsetCursor();
    mmStatus->viewport()->setCursor(statusCursor);
  }
}

int TfrmMain::ShowMessage(const std::string& text, const std::string& caption, int flags) {
  // The operator sees control characters written out, the box's line breaks kept.
  const std::string shown = net::PrintableText(text, net::LineFeeds::kKept);
  const bool question = flags == kMbYesNoQuestion;
  // Once a stop signal has come nobody may be there to answer: the box goes to the log, and a
  // question is answered No.
  if (stopRequest.Requested()) {
    AddLogLine(caption + ": " + text);
    return question ? kIdNo : kIdOk;
  }
  if (messageResponder) return messageResponder(shown, caption, flags);
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  if (flags == kMbIconError) icon = QMessageBox::Critical;
  if (question) icon = QMessageBox::Question;
  QMessageBox box(icon, Text(caption), Text(shown),
                  question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, this);
  // Plain text: a name in the message is never read as markup.
  box.setTextFormat(Qt::PlainText);
  const int answer = box.exec();
  if (question) return answer == QMessageBox::Yes ? kIdYes : kIdNo;
  return kIdOk;
}

QCheckBox* TfrmMain::CheckBoxOf(std::string_view model) const {
  if (model == "PNB5") return cbPNB5;
  if (model == "PCW5") return cbPCW5;
  if (model == "PCWX5") return cbPCWX5;
  if (model == "SCW5") return cbSCW5;
  if (model == "SCWH5") return cbSCWH5;
  return nullptr;
}

void TfrmMain::ShowSignalBoxes() {
  for (const std::string_view model : package::kSelectableModels) {
    QCheckBox* box = CheckBoxOf(model);
    const package::SignalBoxes::Box state = signalBoxes.Of(model);
    box->setEnabled(state.enabled);
    box->setChecked(state.ticked);
  }
}
