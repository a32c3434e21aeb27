#include "upgrade/upgrade_run.h"

#include <charconv>
#include <cmath>
#include <iterator>
#include <vector>

#include "net/text.h"
#include "package/config_rom.h"
#include "package/mid_files.h"
#include "package/tree_upload.h"
#include "upgrade/catalogue_check.h"
#include "upgrade/session_messages.h"

namespace {

constexpr const char* kCaption = kUpgradeCaption;
constexpr const char* kDrive = instrument::kFlashDrive;

constexpr char kCompressedSignalsText[] =
    "There is not enough space to upgrade VX500.\n\n"
    "The signals of SCWH5/PNB5 are overwritten with compressed signals.\n\n"
    "Click YES to continue.";

constexpr char kDriveDamaged[] = "VX500's File System was damaged!";
constexpr char kNeedsV21[] =
    "This release requires VX500 V2.1 or above.\n\nPlease upgrade V2.1 first, then try again";
constexpr char kNoSpaceVX500[] =
    "There isn't enough space to upgrade VX500. \n\nPlease remove some pictures or LOGO files "
    "first, then try again.";
constexpr char kNoSpaceNqrm5[] =
    "There isn't enough space to upgrade NQRM5\n\nPlease remove some pictures or LOGO files "
    "first, then try again.";
constexpr char kSixteenMb[] = "Can't update for 16Mb VX500\n";
constexpr char kMidFilesFailed[] = "Fail to make MID files !\n\nVX500 file system might be full.";
constexpr char kDownloadFailed[] = "Fail to download F/W !\n\nVX500 file system might be full.";
constexpr char kCompleteCaption[] = "VX500 Upgrade Complete";
constexpr char kHardwareCaption[] = "VX500 Upgrade failed";

// Transfer type "image" of the FTP client's Mode ("TYPE I").
constexpr int kImageType = 2;
constexpr std::int16_t kFirstModuleSlot = 1;
constexpr std::int16_t kLastModuleSlot = 4;
constexpr int kProgressMax = 100;

}  // namespace

std::string FormatMegabytes(std::uint32_t bytes) {
  const double megabytes = std::ldexp(static_cast<double>(bytes), -20);
  char digits[32];
  const auto result =
      std::to_chars(std::begin(digits), std::end(digits), megabytes, std::chars_format::fixed, 1);
  std::string text(digits, result.ptr);
  if (text.size() < 4) text.insert(0, 4 - text.size(), ' ');
  return text;
}

std::string ShownErrorText(std::string text) {
  return net::WithoutLineEnd(std::move(text));
}

void UpgradeRun::Execute() {
  const SessionEventsShown shown(session_, events_);
  Sequence();
}

void UpgradeRun::Sequence() {
  events_.ClearLog();
  // Each run measures afresh: counts left by an earlier run that an error ended would skew
  // the bar and the decision whether there is anything to copy.
  const package::CopyCounters& counters = request_.counters;
  counters.fileCount = 0;
  counters.totalBytes = 0;
  counters.copiedBytes = 0;
  events_.Progress({});
  events_.AddLogLine("Connecting VX500 ...");

  instrument::TfrmVX500& session = session_;
  // A failed connection has shown its own message; the operator may correct the address.
  if (!session.ConnectInstrument(request_.address)) {
    result_.outcome = RunOutcome::kNotConnected;
    return;
  }
  if (request_.mode == RunMode::kCompare) {
    Compare();
    return;
  }

  // A drive that does not answer leaves everything open, so Copy can simply be pressed again.
  if (!session.ChangeDirectory(kDrive)) {
    result_.outcome = RunOutcome::kDriveDamaged;
    Refuse(RunRefusal::kDriveDamaged);
    ShowError(kDriveDamaged);
    return;
  }

  const std::int16_t firmwareLevel = session.SlotFirmwareLevel(0);
  result_.figures.firmwareLevel = firmwareLevel;
  if (firmwareLevel < kMinFirmwareLevel) {
    result_.outcome = RunOutcome::kRefused;
    Refuse(RunRefusal::kFirmware, firmwareLevel, kMinFirmwareLevel);
    ShowError(kNeedsV21);
    EndingE1();
    return;
  }

  // The instrument reports its sizes as signed 32-bit numbers; they are byte counts.
  const auto freeBytes = static_cast<std::uint32_t>(session.FreeFlashBytes());
  result_.figures.freeBytes = freeBytes;
  const auto totalBytes = static_cast<std::uint32_t>(session.TotalFlashBytes());
  result_.figures.totalBytes = totalBytes;
  if (!FlashSpaceAccepted(firmwareLevel, freeBytes, totalBytes)) {
    result_.outcome = RunOutcome::kRefused;
    return;
  }

  if (request_.mode == RunMode::kCheckOnly) {
    if (!ModuleHardwareAccepted()) {
      result_.outcome = RunOutcome::kRefused;
      EndingE1();
      return;
    }
    events_.AddLogLine("Checks passed: free=" + FormatMegabytes(freeBytes) +
                       " MB,total=" + FormatMegabytes(totalBytes) + " MB");
    session.DisconnectInstrument();
    result_.outcome = RunOutcome::kChecksPassed;
    return;
  }
  RunCopyPhases(freeBytes, totalBytes);
}

bool UpgradeRun::FlashSpaceAccepted(std::int16_t firmwareLevel, std::uint32_t freeBytes,
                                    std::uint32_t totalBytes) {
  if (firmwareLevel < kNqrm5FirmwareLevel) {
    if (freeBytes < kMinFreeBytes) {
      Refuse(RunRefusal::kFreeSpace, freeBytes, kMinFreeBytes);
      ShowError(kNoSpaceVX500);
      EndingE1();
      return false;
    }
    const package::SignalBoxes& boxes = request_.boxes;
    const bool pcwTicked = boxes.Ticked("PCWX5") || boxes.Ticked("PCW5");
    if (freeBytes < kCompressedBelowBytes && pcwTicked) {
      // A check-only run asks nothing; it only tells that the question would come.
      if (request_.mode == RunMode::kCheckOnly) {
        result_.compressedQuestionDue = true;
      } else if (!AskCompressedSignals()) {
        Refuse(RunRefusal::kCompressedDeclined);
        EndingE1();
        return false;
      }
    }
  } else {
    const bool hasNqrm5 = session_.RemoteDirExists(kDrive, "NQRM5");
    result_.figures.nqrm5Folder = hasNqrm5;
    if (!hasNqrm5 && freeBytes < kMinFreeWithoutNqrm5) {
      Refuse(RunRefusal::kNqrm5Space, freeBytes, kMinFreeWithoutNqrm5);
      ShowError(kNoSpaceNqrm5);
      EndingE1();
      return false;
    }
    if (hasNqrm5 && freeBytes < kMinFreeWithNqrm5) {
      Refuse(RunRefusal::kFreeSpace, freeBytes, kMinFreeWithNqrm5);
      ShowError(kNoSpaceVX500);
      EndingE1();
      return false;
    }
  }

  if (totalBytes < kMinTotalBytes) {
    Refuse(RunRefusal::kDriveSize, totalBytes, kMinTotalBytes);
    ShowError(kSixteenMb);
    EndingE1();
    return false;
  }
  return true;
}

void UpgradeRun::RunCopyPhases(std::uint32_t freeBytes, std::uint32_t totalBytes) {
  UpgradeEvents& view = events_;
  instrument::TfrmVX500& session = session_;
  const package::ReleaseRoot& release = request_.release;
  const std::string& appDir = release.AppDir();
  std::vector<package::RemoteFile> sent;
  const package::PackageContext context{session,           view,
                                        release,           request_.modules,
                                        request_.counters, result_.unwrittenNameFiles,
                                        &result_.written,  request_.verify ? &sent : nullptr};
  EnterPhase(RunPhase::kMidFolders);

  view.SetCursor(Cursor::kHourGlass);
  if (!package::MakeMIDFiles(context)) {
    Fail(kMidFilesFailed, true);
    return;
  }
  session.SetTransferType(kImageType);

  // The counters are cumulative over the run, so the second count covers both trees.
  const std::string target = package::PackagePath(appDir, {package::kTargetFolder});
  const std::string mainFrame = package::PackagePath(appDir, {package::kMainFrameFolder});
  const std::int64_t targetCount = package::CountFiles(release, target, context.counters);
  const std::int64_t allTreesCount = package::CountFiles(release, mainFrame, context.counters);
  // The files counted decide which phases run; the bar measures the bytes the run sends, which
  // leave out the configuration images, a SIGNAL folder not selected and modules not listed.
  std::vector<package::RemoteFile> trees;
  AddTreesToPlan(release, request_.modules, trees);
  context.counters.totalBytes = BytesOf(trees);

  if (!ModuleHardwareAccepted()) {
    result_.outcome = RunOutcome::kRefused;
    EndingE2();
    return;
  }

  if (allTreesCount != 0) {
    view.AddLogLine("");
    view.AddLogLine("Copying System files ...");
    EnterPhase(RunPhase::kSystemTree);
    if (!package::CopyTree(context, mainFrame, std::string(package::kSystemFolder))) {
      Fail(kDownloadFailed);
      return;
    }
  }
  if (targetCount != 0) {
    view.AddLogLine("Copying ALL modules ...");
    EnterPhase(RunPhase::kModuleTrees);
    for (const package::tModuleList& module : request_.modules) {
      view.AddLogLine("** " + module.name);
      if (!package::CopyModule(context, module)) {
        Fail(kDownloadFailed);
        return;
      }
    }
  }

  view.AddLogLine("Copy completed!");
  view.Progress({kProgressMax, request_.counters.copiedBytes, request_.counters.totalBytes});
  if (request_.verify && !VerifyCopy(sent)) return;
  session.SetTransferType(kImageType);
  view.AddLogLine("Program Config ROMs ...");
  EnterPhase(RunPhase::kConfigRoms);
  for (std::int16_t slot = kFirstModuleSlot; slot <= kLastModuleSlot; ++slot) {
    result_.configSlot = slot;
    if (!package::ProgramConfigROM(context, slot)) {
      Fail("Fail to config FPGA on " + session.SlotModuleName(slot) + ".");
      return;
    }
  }

  view.ShowMessage("Copy successfully completed !\nPlease reboot the VX500.\nMemory Size:\nfree=" +
                       FormatMegabytes(freeBytes) + " MB,total=" + FormatMegabytes(totalBytes) +
                       " MB\n",
                   kCompleteCaption, kMbOk);
  EnterPhase(RunPhase::kReported);
  result_.outcome = RunOutcome::kCompleted;
  EndingE2();
}

bool UpgradeRun::VerifyCopy(const std::vector<package::RemoteFile>& sent) {
  EnterPhase(RunPhase::kVerification);
  const CatalogueCheck& check = result_.verification.emplace(CheckCatalogues(session_, sent));
  events_.CopyVerified(check);
  // A catalogue of names only cannot tell a short file from a whole one: the copy stands as
  // it would without the read-back.
  if (check.namesOnly) return true;
  if (check.AllMatch()) {
    events_.AddLogLine("Verified " + std::to_string(check.matching.size()) + " files in " +
                       std::to_string(check.foldersAsked) + " folders on the instrument");
    return true;
  }
  for (const auto* list : {&check.missing, &check.differing}) {
    for (const FileOnInstrument& file : *list) {
      events_.AddLogLine("Not as sent: " + MismatchText(file, "sent"));
    }
  }
  const std::size_t wrong = check.missing.size() + check.differing.size();
  Fail("The copy could not be verified: " + std::to_string(wrong) + " of " +
       std::to_string(sent.size()) + " files on the VX500 are not as sent.");
  return false;
}

void UpgradeRun::Compare() {
  instrument::TfrmVX500& session = session_;
  result_.figures.firmwareLevel = session.SlotFirmwareLevel(0);
  result_.figures.freeBytes = static_cast<std::uint32_t>(session.FreeFlashBytes());
  result_.figures.totalBytes = static_cast<std::uint32_t>(session.TotalFlashBytes());
  const std::vector<package::RemoteFile> plan = PlanUpgrade(request_.release, request_.modules);
  const CatalogueCheck& check = result_.comparison.emplace(CheckCatalogues(session, plan));
  events_.ReleaseCompared(check);
  events_.AddLogLine("Compared " + std::to_string(plan.size()) + " files in " +
                     std::to_string(check.foldersAsked) +
                     " folders: " + std::to_string(check.matching.size()) + " match, " +
                     std::to_string(check.missing.size()) + " missing, " +
                     std::to_string(check.differing.size()) + " differ");
  session.DisconnectInstrument();
  result_.outcome = check.AllMatch() ? RunOutcome::kMatches : RunOutcome::kDiffers;
}

bool UpgradeRun::AskCompressedSignals() {
  if (!events_.AskCompressedSignals(kCompressedSignalsText)) return false;
  request_.boxes.AcceptCompressedSignals(request_.modules);
  events_.SelectionChanged();
  return true;
}

bool UpgradeRun::ModuleHardwareAccepted() {
  instrument::TfrmVX500& session = session_;
  for (std::int16_t slot = kFirstModuleSlot; slot <= kLastModuleSlot; ++slot) {
    const instrument::tModuleInfo* record = session.FindSlotRecord(slot);
    if (!record) continue;
    const std::int16_t level = session.SlotHardwareLevel(slot);
    // An RKS5 from hardware V3.00 on ends the check: later slots are not examined.
    if (record->moduleName == "RKS5" && level >= kRks5EndsCheckLevel) break;
    if (record->moduleName == "SCWH5" && level < kMinScwh5HardwareLevel) {
      Refuse(RunRefusal::kModuleHardware, level, kMinScwh5HardwareLevel, slot);
      events_.ShowMessage("SCWH5,Ver=" + std::to_string(level), kHardwareCaption, kMbIconError);
      return false;
    }
  }
  return true;
}

void UpgradeRun::ShowError(const std::string& text) {
  events_.ShowMessage(text, kCaption, kMbIconError);
}

void UpgradeRun::Fail(const std::string& text, bool endingE1) {
  result_.outcome = RunOutcome::kFailed;
  ShowError(text);
  if (endingE1) {
    EndingE1();
  } else {
    EndingE2();
  }
}

void UpgradeRun::EndingE1() {
  session_.DisconnectInstrument();
  result_.releaseAndClose = true;
}

void UpgradeRun::EndingE2() {
  events_.SetCursor(Cursor::kDefault);
  session_.DisconnectInstrument();
  result_.releaseAndClose = true;
}

void UpgradeRun::EnterPhase(RunPhase phase) {
  result_.phase = phase;
  events_.PhaseStarted(phase);
}

void UpgradeRun::Refuse(RunRefusal::Kind kind, std::int64_t found, std::int64_t needed,
                        std::int16_t slot) {
  result_.refusal = RunRefusal{kind, found, needed, slot};
}
