#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "instrument/tfrm_vx500.h"
#include "package/module_list.h"
#include "package/operator_view.h"
#include "package/package_context.h"

enum class RunPhase;

// What the upgrade run uses of the window that started it: the operator view, the session,
// the operator's address, the package and the two window operations the run calls. The Qt
// window implements it; tests implement it without Qt.
class UpgradeHost {
 public:
  virtual ~UpgradeHost() = default;

  // The status log, progress bar, cursor, message boxes and check boxes.
  virtual package::OperatorView& View() = 0;
  // The instrument session; never used after ReleaseAndClose.
  virtual instrument::TfrmVX500& Session() = 0;
  // The address as the operator left it in the address field.
  virtual const std::string& IpAddressText() const = 0;
  // The release folder, opened when the release was checked; never used after ReleaseAndClose.
  virtual const package::ReleaseRoot& Release() const = 0;
  // The package's modules; never used after ReleaseAndClose.
  virtual package::ModuleList& Modules() = 0;
  // The window's progress counters (files measured, bytes measured, bytes copied).
  virtual package::CopyCounters Counters() = 0;

  // The compressed-signal question; true on Yes, with the PNB5 and SCWH5 signals selected.
  virtual bool AskCompressedSignals() = 0;
  // Releases the module list and the session and closes the window.
  virtual void ReleaseAndClose() = 0;
  // The run begins writing `phase` (a front end that records the run times it); does nothing
  // unless overridden.
  virtual void PhaseStarted(RunPhase phase) { (void)phase; }
};

// Megabytes (bytes taken as unsigned, times 2^-20) as "%4.1f" writes them in the C locale,
// whatever locale the program runs in.
std::string FormatMegabytes(std::uint32_t bytes);

// How a run ended, for front ends that report it (an error raised from below leaves kNone).
enum class RunOutcome {
  kNone,          // still running, or ended by an error raised from below
  kNotConnected,  // the connection failed or the instrument is not a VX500; window open
  kDriveDamaged,  // the flash drive did not answer; window open
  kRefused,       // a check refused the instrument, or the operator answered No
  kChecksPassed,  // check-only run: every check passed, nothing was written
  kFailed,        // a copy or configuration phase failed
  kCompleted,     // the whole upgrade succeeded
};

// How far a run has gone in writing to the instrument; each phase begins before its first write.
enum class RunPhase {
  kChecks,       // connection and pre-copy checks: nothing written
  kMidFolders,   // the MID folders and NAME files in /F0:/SYSTEM
  kSystemTree,   // the system tree into /F0:/SYSTEM
  kModuleTrees,  // the module trees into /F0:/<model>
  kConfigRoms,   // the configuration ROMs, slot by slot
  kReported,     // the final report has been shown
};

// Why a check refused the instrument, with the figure it found and the one it needed.
struct RunRefusal {
  enum Kind {
    kDriveDamaged,        // the flash drive did not answer; no figures
    kFirmware,            // mainframe firmware level found, level needed
    kFreeSpace,           // free bytes found, free bytes needed
    kNqrm5Space,          // free bytes found, free bytes needed for the NQRM5 folder
    kDriveSize,           // total bytes found, total bytes needed
    kCompressedDeclined,  // the compressed-signal question was answered No; no figures
    kModuleHardware,      // the SCWH5's hardware level found (in `slot`), level needed
  };
  Kind kind = kDriveDamaged;
  std::int64_t found = 0;
  std::int64_t needed = 0;
  std::int16_t slot = 0;
};

// What the pre-copy checks measured; a figure stays empty until it has been read.
struct CheckFigures {
  std::optional<std::int16_t> firmwareLevel;  // the mainframe's, slot 0
  std::optional<std::uint32_t> freeBytes;
  std::optional<std::uint32_t> totalBytes;
  std::optional<bool> nqrm5Folder;  // only asked from V3.0 on
};

// What a run does once its checks have passed.
enum class RunMode {
  kUpgrade,    // the copy and configuration phases
  kCheckOnly,  // the module hardware check, a "Checks passed" line, disconnect; writes nothing
};

// An error's text as the operator is shown it: without the CR LF that an FTP reply line keeps.
std::string ShownErrorText(std::string text);

// One press of Copy: connects, refuses an instrument that cannot take the release, makes the
// MID folders, copies the system and module trees, programs the configuration ROMs and reports.
// Every outcome after the connection and the first flash-drive test ends with the instrument
// disconnected and the window released and closed. Errors raised from below (FTP failures,
// unreadable replies, a silent instrument, a package name that cannot be sent) leave Execute
// where they stand, for the window's error display. Keeps nothing between presses.
class UpgradeRun {
 public:
  // Lowest mainframe firmware level that takes this release (V2.1).
  static constexpr std::int16_t kMinFirmwareLevel = 201;
  // From this firmware level (V3.0) on, the free space depends on the NQRM5 folder.
  static constexpr std::int16_t kNqrm5FirmwareLevel = 300;
  // Free-space limits of the flash drive, in bytes.
  static constexpr std::uint32_t kMinFreeBytes = 0x280000;          // 2.5 MB, below V3.0
  static constexpr std::uint32_t kCompressedBelowBytes = 0x500000;  // 5 MB, below V3.0
  static constexpr std::uint32_t kMinFreeWithoutNqrm5 = 0x800000;   // 8 MB, V3.0 on
  static constexpr std::uint32_t kMinFreeWithNqrm5 = 0x200000;      // 2 MB, V3.0 on
  // Smallest flash drive that takes the release; the 16 MB model is below it.
  static constexpr std::uint32_t kMinTotalBytes = 0x15F0000;

  // Hardware levels of the module check: an RKS5 from V3.00 ends it, an SCWH5 below V1.00 is
  // refused.
  static constexpr std::int16_t kRks5EndsCheckLevel = 300;
  static constexpr std::int16_t kMinScwh5HardwareLevel = 100;

  explicit UpgradeRun(UpgradeHost& host, RunMode mode = RunMode::kUpgrade)
      : host_(host), mode_(mode) {}

  // Runs the whole sequence for one press of Copy.
  void Execute();

  // How the run ended.
  RunOutcome Outcome() const { return outcome_; }
  // True once the run has started writing to the instrument (the MID folders on).
  bool WritingStarted() const { return phase_ != RunPhase::kChecks; }
  // How far the run has gone in writing.
  RunPhase Phase() const { return phase_; }
  // In RunPhase::kConfigRoms: the slot whose configuration ROM is being programmed.
  std::int16_t ConfigSlot() const { return configSlot_; }
  // What the checks measured, also when a check refused the instrument.
  const CheckFigures& Figures() const { return figures_; }
  // Check-only runs: whether the compressed-signal question would have been asked.
  bool CompressedQuestionDue() const { return compressedQuestionDue_; }
  // What refused the instrument, once a check has.
  const std::optional<RunRefusal>& Refusal() const { return refusal_; }

 private:
  // The free-space checks (by firmware level, with the compressed-signal question below V3.0
  // and the NQRM5 folder from V3.0) and the 16 MB drive check: true when the flash drive may
  // take the release; otherwise the run has shown its message (if any) and ended.
  bool FlashSpaceAccepted(std::int16_t firmwareLevel, std::uint32_t freeBytes,
                          std::uint32_t totalBytes);
  // Everything after the checks: the MID folders, the module hardware check, the system and
  // module trees, the configuration ROMs and the final report, which shows the sizes measured
  // before copying.
  void RunCopyPhases(std::uint32_t freeBytes, std::uint32_t totalBytes);
  // The module hardware check over slots 1 to 4; false after the SCWH5 refusal's message.
  bool ModuleHardwareAccepted();
  // An error box with the run's caption.
  void ShowError(const std::string& text);
  // Ends a run that failed from the MID folders on: the message, then ending E1 or E2.
  void Fail(const std::string& text, bool endingE1 = false);
  // Ending E1: disconnect, then release and close.
  void EndingE1();
  // Ending E2: default cursor, disconnect, then release and close.
  void EndingE2();
  // Moves the run into `phase` and tells the host.
  void EnterPhase(RunPhase phase);
  // Records what refused the instrument.
  void Refuse(RunRefusal::Kind kind, std::int64_t found = 0, std::int64_t needed = 0,
              std::int16_t slot = 0);

  UpgradeHost& host_;
  RunMode mode_;
  RunOutcome outcome_ = RunOutcome::kNone;
  RunPhase phase_ = RunPhase::kChecks;
  std::int16_t configSlot_ = 0;
  CheckFigures figures_;
  bool compressedQuestionDue_ = false;
  std::optional<RunRefusal> refusal_;
};
