#pragma once

#include <QCursor>
#include <QRect>
#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "instrument/tfrm_vx500.h"
#include "package/module_list.h"
#include "package/release_check.h"
#include "package/release_root.h"
#include "upgrade/stop_signals.h"
#include "upgrade/upgrade_events.h"
#include "upgrade/upload_watch.h"

class QCheckBox;
class QCloseEvent;
class QEvent;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSocketNotifier;
struct UpgradeResult;

// The program's one window: the address field, the status log and progress bar, Copy and
// Quit, and the module check boxes. It owns the package's module list with the operator's
// signal selection, the progress counters and the instrument session, and shows what the
// upgrade run that Copy starts tells it.
class TfrmMain : public QWidget, public UpgradeEvents {
 public:
  static constexpr std::uint16_t kCommandPort = 5000;
  static constexpr std::uint16_t kFtpPort = 21;
  static constexpr const char* kCaption = kUpgradeCaption;
  // Where the fixed-size controls sit, in pixels of their parent's client area (the memo and
  // the bar inside GroupBox1); each control's object name is its member's name.
  struct ControlPlace {
    const char* name;
    QRect geometry;
  };
  static constexpr ControlPlace kLayout[] = {
      {"IPAddress", {88, 8, 113, 23}},    {"Label2", {8, 40, 350, 15}},
      {"GroupBox1", {8, 72, 353, 273}},   {"mmStatus", {8, 24, 337, 217}},
      {"ProgressBar", {8, 248, 337, 16}}, {"Bevel1", {8, 368, 241, 65}},
      {"cbPNB5", {16, 376, 57, 17}},      {"cbPCW5", {16, 392, 57, 17}},
      {"cbPCWX5", {16, 408, 57, 17}},     {"cbSCW5", {88, 376, 65, 17}},
      {"cbSCWH5", {88, 392, 65, 17}},     {"btnCopy", {280, 368, 75, 25}},
      {"btnQuit", {280, 408, 75, 25}},
  };
  // How many offending paths of a refused release the error box lists.
  static constexpr std::size_t kListedReleaseProblems = 20;
  // What Quit reads while a run goes, and what it then asks.
  static constexpr const char* kStopText = "Stop";
  static constexpr const char* kStopQuestion =
      "Stop the upgrade? What was already copied stays on the VX500.";

  // Answers a message box in place of the operator; returns kIdOk, kIdYes or kIdNo.
  using MessageResponder =
      std::function<int(const std::string& text, const std::string& caption, int flags)>;

  // Builds the window, the instrument session on the two ports (the waits of both its channels
  // keep the window live) and the module list of the package folder: `packageDir` when given,
  // else the folder of the running program file. Throws package::LocalFsError when the package
  // folder cannot be read. When the program catches the stop signals (CatchStopSignals), the
  // window answers them: see StopSignalled.
  explicit TfrmMain(std::uint16_t commandPort = kCommandPort, std::uint16_t ftpPort = kFtpPort,
                    const std::string& packageDir = {}, QWidget* owner = nullptr);
  ~TfrmMain() override;

  TfrmMain(const TfrmMain&) = delete;
  TfrmMain& operator=(const TfrmMain&) = delete;

  // Controls; the window owns them through Qt's parent links.
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QPlainTextEdit* mmStatus = nullptr;
  QProgressBar* ProgressBar = nullptr;
  QPushButton* btnCopy = nullptr;
  QPushButton* btnQuit = nullptr;
  QLineEdit* IPAddress = nullptr;
  QLabel* Label3 = nullptr;
  QCheckBox* cbPNB5 = nullptr;
  QFrame* Bevel1 = nullptr;
  QCheckBox* cbPCWX5 = nullptr;
  QCheckBox* cbPCW5 = nullptr;
  QCheckBox* cbSCW5 = nullptr;
  QCheckBox* cbSCWH5 = nullptr;

  // The address as last copied from IPAddress; empty until the operator edits the field.
  std::string ipAddressText;
  // The package folder, ending in "/".
  std::string appDir;
  package::ModuleList moduleList;
  // The signal boxes' state; the check boxes show it.
  package::SignalBoxes signalBoxes;
  // The release folder, opened afresh at each press of Copy and read only through it.
  std::optional<package::ReleaseRoot> release;
  // Progress counters of the tree upload; 64-bit so packages over 2 GiB keep a true bar.
  std::int64_t fileCount = 0;
  std::int64_t copiedBytes = 0;
  std::int64_t totalBytes = 0;
  // The instrument session; created with the window, destroyed by ReleaseAndClose or with the
  // window.
  std::unique_ptr<instrument::TfrmVX500> frmVX500;

  // Copies the field's 15-character text, blanks and dots included.
  void IPAddressChange();
  // Removes every blank from ipAddressText; the field keeps its text.
  void IPAddressExit();
  // Runs the upgrade (connection, checks, copy); while it goes Copy is disabled and Quit reads
  // Stop. Does nothing while a run or a teardown is going, or after release. A release that
  // package::CheckRelease refuses raises its ReleaseError before anything is connected. An
  // error from below leaves the window open with the ending's notes in the log; a stop ends the
  // program (see AskStop).
  void btnCopyClick();
  // Outside a run: ReleaseAndClose. During a run it is Stop: AskStop.
  void btnQuitClick();
  void cbPNB5Click();
  void cbPCW5Click();
  void cbPCWX5Click();
  void cbSCW5Click();
  void cbSCWH5Click();

  // Builds moduleList from the package's target folder and sets the check boxes.
  void ScanTargetFolder();
  // Releases the module list and the session and closes the window; Copy, Quit and the close
  // box stay inert while the session's log-out waits.
  void ReleaseAndClose();

  // A stop signal (SIGINT, SIGTERM, SIGHUP) came. A run stops at its next wait (an awaited FPGA
  // configuration is let finish), then the session logs out (within kStopLogOutBound), the log
  // says what was written, the window closes and the program ends; outside a run the window
  // closes at once. A box waiting for the operator is closed first, as it would hold the run or
  // the program where it stands, and later boxes go to the log.
  void StopSignalled();
  // During a run (Stop, or the close box): asks kStopQuestion; Yes stops the run as a stop
  // signal does, No lets it go on.
  void AskStop();

  // Routes message boxes to `responder` instead of showing them; an empty one restores them.
  void SetMessageResponder(MessageResponder responder);

  std::uint16_t CommandPort() const { return commandPort; }
  std::uint16_t FtpPort() const { return ftpPort; }

  // UpgradeEvents
  void ClearLog() override;
  void AddLogLine(const std::string& line) override;
  void Progress(const package::CopyProgress& progress) override;
  void SetCursor(Cursor cursor) override;
  int ShowMessage(const std::string& text, const std::string& caption, int flags) override;
  void SelectionChanged() override { ShowSignalBoxes(); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void ConnectHandlers();
  void CenterOnScreen();
  // Runs a window handler; an error that leaves it is shown in a message box and the window
  // stays open.
  void RunHandler(const std::function<void()>& handler);
  // Records the operator's choice of one module's signals.
  void CheckBoxClicked(QCheckBox* box, std::string_view model);
  QCheckBox* CheckBoxOf(std::string_view model) const;
  // Sets every check box as signalBoxes holds it.
  void ShowSignalBoxes();
  // Enables or disables Copy and Quit together.
  void SetButtonsEnabled(bool enabled);
  // True when the address field holds no digit.
  bool AddressFieldEmpty() const;
  // Before the error box of a run that an error from below ended: the diagnostic and, once the
  // run has written, what it left written.
  void LogErrorEnding(const UpgradeResult& result, const std::string& error);
  // A stopped run's end: the bounded log-out, what was written, release and close.
  void EndStoppedRun(const UpgradeResult& result);
  // Destroys the session with Copy, Quit and the close box inert meanwhile.
  void DestroySession();
  // After a run that left the window open: Copy and Quit back (with the focus on Copy when
  // `focusCopy`), default cursor.
  void RunStopped(bool focusCopy);

  std::uint16_t commandPort;
  std::uint16_t ftpPort;
  // True while an upgrade run is going: the close box is then ignored.
  bool runActive = false;
  // True while the session is being destroyed (its log-out pumps events).
  bool tearingDown = false;
  // True while kStopQuestion waits for its answer.
  bool askingStop = false;
  // Set by ReleaseAndClose: the module list (and the session) are gone.
  bool released = false;
  MessageResponder messageResponder;
  // How the session's waits answer the stop signals and Stop.
  StopRequest stopRequest;
  // The session's observer: the upload under way, for the notes of an ending.
  UploadWatch uploadWatch;
  QSocketNotifier* stopSignalNotifier = nullptr;
  QCursor statusCursor;  // the status log's own cursor, restored after the hourglass
};
