#include "app/upgrade_run.h"

#include <charconv>
#include <cmath>

namespace {

constexpr char kCaption[] = "VX500 Upgrade";
constexpr char kDrive[] = "/F0:/";

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

void UpgradeRun::Execute() {
  package::OperatorView& view = host_.View();
  view.ClearLog();
  view.SetProgress(0);
  view.AddLogLine("Connecting VX500 ...");

  instrument::TfrmVX500& session = host_.Session();
  // A copy: the FTP waits let the operator edit the address field while the run connects.
  const std::string address = host_.IpAddressText();
  // A failed connection has shown its own message; the operator may correct the address.
  if (!session.ConnectInstrument(address)) return;

  // A drive that does not answer leaves everything open, so Copy can simply be pressed again.
  if (!session.ChangeDirectory(kDrive)) {
    ShowError(kDriveDamaged);
    return;
  }

  const std::int16_t firmwareLevel = session.SlotFirmwareLevel(0);
  if (firmwareLevel < kMinFirmwareLevel) {
    ShowError(kNeedsV21);
    EndingE1();
    return;
  }

  // The instrument reports its sizes as signed 32-bit numbers; they are byte counts.
  const auto freeBytes = static_cast<std::uint32_t>(session.FreeFlashBytes());
  const auto totalBytes = static_cast<std::uint32_t>(session.TotalFlashBytes());
  if (!FlashSpaceAccepted(firmwareLevel, freeBytes, totalBytes)) return;

  RunCopyPhases(freeBytes, totalBytes);
}

bool UpgradeRun::FlashSpaceAccepted(std::int16_t firmwareLevel, std::uint32_t freeBytes,
                                    std::uint32_t totalBytes) {
  if (firmwareLevel < kNqrm5FirmwareLevel) {
    if (freeBytes < kMinFreeBytes) {
      ShowError(kNoSpaceVX500);
      EndingE1();
      return false;
    }
    package::OperatorView& view = host_.View();
    const bool pcwTicked = view.CheckBoxChecked("PCWX5") || view.CheckBoxChecked("PCW5");
    if (freeBytes < kCompressedBelowBytes && pcwTicked && !host_.AskCompressedSignals()) {
      EndingE1();
      return false;
    }
  } else {
    const bool hasNqrm5 = host_.Session().RemoteDirExists(kDrive, "NQRM5");
    if (!hasNqrm5 && freeBytes < kMinFreeWithoutNqrm5) {
      ShowError(kNoSpaceNqrm5);
      EndingE1();
      return false;
    }
    if (hasNqrm5 && freeBytes < kMinFreeWithNqrm5) {
      ShowError(kNoSpaceVX500);
      EndingE1();
      return false;
    }
  }

  if (totalBytes < kMinTotalBytes) {
    ShowError(kSixteenMb);
    EndingE1();
    return false;
  }
  return true;
}

// The copy and configuration phases join the run here. Until they do, a run that passed its
// checks says so, lets go of the instrument and leaves the window open.
void UpgradeRun::RunCopyPhases(std::uint32_t freeBytes, std::uint32_t totalBytes) {
  host_.View().AddLogLine("Checks passed: free=" + FormatMegabytes(freeBytes) +
                          " MB,total=" + FormatMegabytes(totalBytes) + " MB");
  host_.Session().DisconnectInstrument();
}

void UpgradeRun::ShowError(const std::string& text) {
  host_.View().ShowMessage(text, kCaption, package::kMbIconError);
}

void UpgradeRun::EndingE1() {
  host_.Session().DisconnectInstrument();
  host_.ReleaseAndClose();
}

void UpgradeRun::EndingE2() {
  host_.View().SetCursor(package::Cursor::kDefault);
  host_.Session().DisconnectInstrument();
  host_.ReleaseAndClose();
}
