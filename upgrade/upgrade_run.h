#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <vector>

#include "instrument/tfrm_vx500.h"
#include "package/module_list.h"
#include "package/package_context.h"
#include "package/release_root.h"
#include "upgrade/upgrade_events.h"

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
  kMatches,       // comparison: the instrument holds every file of the release
  kDiffers,       // comparison: a file is missing or listed at another size
};

// How far a run has gone in writing to the instrument; each phase begins before its first write.
enum class RunPhase {
  kChecks,        // connection and pre-copy checks: nothing written
  kMidFolders,    // the MID folders and NAME files in /F0:/SYSTEM
  kSystemTree,    // the system tree into /F0:/SYSTEM
  kModuleTrees,   // the module trees into /F0:/<model>
  kVerification,  // every file sent, being read back from the catalogues
  kConfigRoms,    // the configuration ROMs, slot by slot
  kReported,      // the final report has been shown
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
  // Reads the drive's sizes and the catalogues of every folder an upgrade would write into, and
  // compares them with the release; sends nothing that changes the instrument, not even a
  // change of its current folder.
  kCompare,
};

// What one run is asked to do: the address as the operator gave it, the release folder opened
// when it was checked, its modules with the operator's signal selection (the compressed-signal
// question may change both), the front end's progress counters, the mode, and whether the copy
// is read back from the catalogues before the configuration ROMs are programmed.
struct UpgradeRequest {
  std::string address;
  const package::ReleaseRoot& release;
  package::ModuleList& modules;
  package::SignalBoxes& boxes;
  package::CopyCounters counters;
  RunMode mode = RunMode::kUpgrade;
  bool verify = false;
};

// How a run went, readable also after an error raised from below has left Execute.
struct UpgradeResult {
  RunOutcome outcome = RunOutcome::kNone;
  // How far the run has gone in writing; it has written from the MID folders on.
  RunPhase phase = RunPhase::kChecks;
  // In RunPhase::kConfigRoms: the slot whose configuration ROM is being programmed.
  std::int16_t configSlot = 0;
  // What the checks measured, also when a check refused the instrument.
  CheckFigures figures;
  // Check-only runs: whether the compressed-signal question would have been asked.
  bool compressedQuestionDue = false;
  // What refused the instrument, once a check has.
  std::optional<RunRefusal> refusal;
  // With verify: every file sent, read back from the catalogues once the trees were copied.
  std::optional<CatalogueCheck> verification;
  // RunMode::kCompare: the release read against the catalogues.
  std::optional<CatalogueCheck> comparison;
  // The modules whose NAME file could not be written (the run went on without it).
  std::vector<std::string> unwrittenNameFiles;
  // What the copy phases have written on the instrument so far.
  package::WrittenCounts written;
  // The run reached its end and disconnected: the front end releases the module list and the
  // session and closes (the window), as every outcome after the first flash-drive test asks.
  bool releaseAndClose = false;

  bool WritingStarted() const { return phase != RunPhase::kChecks; }
};

// An error's text as the operator is shown it: without the CR LF that an FTP reply line keeps.
std::string ShownErrorText(std::string text);

// One press of Copy, without Qt: connects, refuses an instrument that cannot take the release,
// makes the MID folders, copies the system and module trees, programs the configuration ROMs
// and reports, telling its front end everything through UpgradeEvents (the session's own
// events included, turned into the boxes the operator sees). Every outcome after the connection
// and the first flash-drive test ends with the instrument disconnected and the result asking
// for release and close. Errors raised from below (FTP failures, unreadable replies, a silent
// instrument, a package name that cannot be sent) leave Execute where they stand, for the front
// end's error display. Keeps nothing between presses.
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

  UpgradeRun(instrument::TfrmVX500& session, UpgradeEvents& events, UpgradeRequest request)
      : session_(session), events_(events), request_(std::move(request)) {}

  // Runs the whole sequence for one press of Copy.
  void Execute();

  const UpgradeResult& Result() const { return result_; }

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
  // The compressed-signal question; on Yes the PNB5 and SCWH5 signals are selected.
  bool AskCompressedSignals();
  // Reads every file sent back from the catalogues; false, after the message, when one is not
  // listed as sent.
  bool VerifyCopy(const std::vector<package::RemoteFile>& sent);
  // The comparison of RunMode::kCompare, then disconnect.
  void Compare();
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
  // The checks and the phases, with the session's events turned into the front end's.
  void Sequence();
  // Moves the run into `phase` and tells the host.
  void EnterPhase(RunPhase phase);
  // Records what refused the instrument.
  void Refuse(RunRefusal::Kind kind, std::int64_t found = 0, std::int64_t needed = 0,
              std::int16_t slot = 0);

  instrument::TfrmVX500& session_;
  UpgradeEvents& events_;
  UpgradeRequest request_;
  UpgradeResult result_;
};
