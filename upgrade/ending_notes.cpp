#include "upgrade/ending_notes.h"

#include <algorithm>
#include <cstddef>

namespace {

// "A", "A and B", "A, B and C".
std::string Listed(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? " and " : ", ";
    text += items[i];
  }
  return text;
}

// The MID folders and NAME files the run wrote: "MID folders and NAME files", "MID folders",
// "NAME files", or empty.
std::string MidFilesWritten(const package::WrittenCounts& written) {
  std::vector<std::string> kinds;
  if (written.midFolders > 0) kinds.emplace_back("MID folders");
  if (written.nameFiles > 0) kinds.emplace_back("NAME files");
  return Listed(kinds);
}

}  // namespace

std::string Size(std::int64_t bytes) {
  if (bytes < (std::int64_t{1} << 20)) return std::to_string(bytes) + " bytes";
  std::string megabytes =
      FormatMegabytes(static_cast<std::uint32_t>(std::min<std::int64_t>(bytes, 0xFFFFFFFF)));
  megabytes.erase(0, megabytes.find_first_not_of(' '));
  return megabytes + " MB";
}

std::string WrittenSummary(const UpgradeResult& run, std::int64_t copiedBytes, bool letFinish) {
  constexpr char kNothing[] = "nothing was written to the instrument";
  const std::string copied = " (" + Size(copiedBytes) + " of files copied)";
  const package::WrittenCounts& counts = run.written;
  const std::string midFiles = MidFilesWritten(counts);
  std::string written;
  switch (run.phase) {
    case RunPhase::kChecks:
      return kNothing;
    case RunPhase::kMidFolders:
      if (midFiles.empty()) return kNothing;
      written = midFiles + " in /F0:/SYSTEM (perhaps not all)";
      break;
    case RunPhase::kSystemTree:
    case RunPhase::kModuleTrees: {
      std::vector<std::string> parts;
      if (!midFiles.empty()) parts.push_back("the " + midFiles);
      const bool inSystemTree = run.phase == RunPhase::kSystemTree;
      if (counts.treeEntries > 0) {
        parts.push_back(std::string(inSystemTree ? "part of " : "") +
                        "the system tree in /F0:/SYSTEM");
      }
      if (counts.moduleEntries > 0) parts.emplace_back("part of the module trees");
      if (parts.empty()) return kNothing;
      written = Listed(parts);
      if (counts.treeEntries > 0 || counts.moduleEntries > 0) written += copied;
      break;
    }
    case RunPhase::kVerification:
      written = "every file of the release" + copied + ", not all of it verified";
      break;
    case RunPhase::kConfigRoms:
      written = "every file of the release" + copied +
                "; the configuration ROMs were being programmed, up to slot " +
                std::to_string(run.configSlot) + " (" +
                (letFinish ? "its configuration was let finish; " : "") +
                "an image may remain on N0:)";
      break;
    case RunPhase::kReported:
      return "the whole release was written";
  }
  return "already written to the instrument: " + written +
         ". Nothing is rolled back; run the upgrade again to complete it";
}

std::vector<std::string> ErrorNotes(const std::string& connectDiagnostic,
                                    const std::optional<std::string>& upload,
                                    const std::string& error) {
  std::vector<std::string> notes;
  if (!connectDiagnostic.empty()) notes.push_back(connectDiagnostic);
  if (upload) notes.push_back("the upload of " + *upload + " failed: " + error);
  return notes;
}

std::string StoppedNote(const std::optional<std::string>& upload, const std::string& error) {
  return upload ? "interrupted while sending " + *upload : "interrupted (" + error + ")";
}
