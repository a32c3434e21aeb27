#include "app/cli/run_endings.h"

#include "app/cli/cli_options.h"
#include "app/cli/cli_output.h"
#include "instrument/reply_parsers.h"

std::string Joined(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

int ExitCodeOf(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kCompleted:
    case RunOutcome::kChecksPassed:
    case RunOutcome::kMatches:
      return kExitUpgraded;
    case RunOutcome::kDiffers:
      return kExitDiffers;
    case RunOutcome::kRefused:
    case RunOutcome::kDriveDamaged:
      return kExitRefused;
    case RunOutcome::kNotConnected:
      return kExitNoInstrument;
    case RunOutcome::kFailed:
    case RunOutcome::kNone:
      break;
  }
  return kExitFailed;
}

const char* PhaseName(RunPhase phase) {
  switch (phase) {
    case RunPhase::kChecks:
      return "checks";
    case RunPhase::kMidFolders:
      return "midFolders";
    case RunPhase::kSystemTree:
      return "systemTree";
    case RunPhase::kModuleTrees:
      return "moduleTrees";
    case RunPhase::kVerification:
      return "verification";
    case RunPhase::kConfigRoms:
      return "configRoms";
    case RunPhase::kReported:
      break;
  }
  return "reported";
}

// "V3.0 (level 300)" from a slot record's two numbers.
std::string Version(std::int16_t major, std::int16_t minor) {
  return std::to_string(major) + "." + std::to_string(minor) + " (level " +
         std::to_string(instrument::VersionLevel(major, minor)) + ")";
}

// A byte count with its megabytes: "2621439 bytes (2.5 MB)".
std::string BytesAndMegabytes(std::int64_t bytes) {
  return std::to_string(bytes) + " bytes (" + MegabytesText(bytes) + " MB)";
}

const char* RefusalReason(RunRefusal::Kind kind) {
  switch (kind) {
    case RunRefusal::kDriveDamaged:
      return "drive-damaged";
    case RunRefusal::kFirmware:
      return "firmware";
    case RunRefusal::kFreeSpace:
      return "free-space";
    case RunRefusal::kNqrm5Space:
      return "nqrm5-free-space";
    case RunRefusal::kDriveSize:
      return "drive-size";
    case RunRefusal::kCompressedDeclined:
      return "compressed-declined";
    case RunRefusal::kModuleHardware:
      break;
  }
  return "module-hardware";
}

// The figures behind a refusal, as a sentence.
std::string RefusalText(const RunRefusal& refusal) {
  const std::string found = std::to_string(refusal.found);
  const std::string needed = std::to_string(refusal.needed);
  switch (refusal.kind) {
    case RunRefusal::kDriveDamaged:
      return "refused: the flash drive /F0:/ cannot be made the current folder (damaged or not "
             "answering)";
    case RunRefusal::kFirmware:
      return "refused: the mainframe firmware is level " + found + "; this release needs level " +
             needed + " (V2.1) or above";
    case RunRefusal::kFreeSpace:
      return "refused: " + BytesAndMegabytes(refusal.found) + " free on /F0:/; " +
             BytesAndMegabytes(refusal.needed) + " needed";
    case RunRefusal::kNqrm5Space:
      return "refused: " + BytesAndMegabytes(refusal.found) +
             " free on /F0:/ without an NQRM5 folder; " + BytesAndMegabytes(refusal.needed) +
             " needed";
    case RunRefusal::kDriveSize:
      return "refused: the flash drive holds " + BytesAndMegabytes(refusal.found) + " in all; " +
             BytesAndMegabytes(refusal.needed) + " needed";
    case RunRefusal::kCompressedDeclined:
      return "refused: the compressed-signal question was answered no";
    case RunRefusal::kModuleHardware:
      break;
  }
  return "refused: the SCWH5 in slot " + std::to_string(refusal.slot) + " is hardware level " +
         found + "; level " + needed + " or above is needed";
}

nlohmann::ordered_json RefusalJson(const RunRefusal& refusal) {
  nlohmann::ordered_json json = {{"reason", RefusalReason(refusal.kind)}};
  if (refusal.kind != RunRefusal::kDriveDamaged &&
      refusal.kind != RunRefusal::kCompressedDeclined) {
    json["found"] = refusal.found;
    json["needed"] = refusal.needed;
  }
  if (refusal.kind == RunRefusal::kModuleHardware) json["slot"] = refusal.slot;
  return json;
}
