#include "package/config_rom.h"

#include <optional>
#include <string>

#include "package/local_names.h"
#include "package/package_context.h"
#include "package/release_root.h"
#include "package/tree_upload.h"

namespace package {
namespace {

constexpr const char* kImageDrive = "N0:";

// The outcome of one configuration in the log; false when it failed.
bool ReportConfiguration(OperatorView& view, std::int16_t code, const std::string& image) {
  switch (code) {
    case 0:
      view.AddLogLine("Done");
      return true;
    case -100:
      view.AddLogLine("ERROR, fail to config " + image);
      return false;
    case -200:
      view.AddLogLine("ERROR, fail to config " + image);
      view.AddLogLine("  Confirm the H/W version.");
      return false;
    default:
      return false;
  }
}

}  // namespace

namespace {

// One image the manifest names for a module, and what its FLEX folder holds under that name,
// opened from the release root as it is now.
struct ImageOnDisk {
  std::int16_t index;
  std::string image;                   // the manifest's name: what goes on the wire
  std::string localPath;               // as spelled on disk, or as named when it is not there
  std::optional<ReleaseEntry> opened;  // nothing when it is not there or cannot be sent
  std::string problem;                 // why it cannot be sent, when it leads out of the release
};

// The images the entry of the module in `slot` names, in index order; empty when the slot
// takes no images or the package does not list its model.
std::vector<ImageOnDisk> ImagesForSlot(const PackageContext& context, std::int16_t slot) {
  std::vector<ImageOnDisk> images;
  instrument::TfrmVX500& session = context.session;
  if (!session.SlotSupportsFpgaConfig(slot)) return images;
  const tModuleList* module = FindModule(context.moduleList, session.SlotModuleName(slot));
  if (module == nullptr) return images;
  const ReleaseRoot& release = context.release;
  const std::string flexPath =
      PackagePath(release.AppDir(), {kTargetFolder, module->name, kFlexFolder});
  std::optional<ReleaseEntry> flexFolder;
  std::string flexProblem;
  try {
    flexFolder = release.Open(flexPath);
  } catch (const LocalFsError& error) {
    flexProblem = error.what();
  }
  for (std::int16_t index = 0; index < static_cast<std::int16_t>(module->rpdFile.size()); ++index) {
    const std::string& image = module->rpdFile[index];
    if (image.empty()) break;
    ImageOnDisk found{index, image, JoinLocalPath(flexPath, image), std::nullopt, flexProblem};
    try {
      const auto onDisk = flexFolder ? release.Find(*flexFolder, image, flexPath) : std::nullopt;
      if (onDisk) {
        found.localPath = JoinLocalPath(flexPath, *onDisk);
        found.opened = release.OpenAt(*flexFolder, *onDisk, found.localPath);
      }
    } catch (const LocalFsError& error) {
      found.problem = error.what();
    }
    if (found.opened && found.opened->Kind() != EntryKind::kFile) found.opened.reset();
    images.push_back(std::move(found));
  }
  return images;
}

}  // namespace

bool ProgramConfigROM(const PackageContext& context, std::int16_t slot) {
  instrument::TfrmVX500& session = context.session;
  if (!session.SlotSupportsFpgaConfig(slot)) return true;
  if (FindModule(context.moduleList, session.SlotModuleName(slot)) == nullptr) return true;

  session.ChangeFtpFolder(kImageDrive);
  bool result = true;
  for (const ImageOnDisk& found : ImagesForSlot(context, slot)) {
    const std::string& image = found.image;
    const std::string& localPath = found.localPath;
    // The image travels under the manifest's name into N0: and is named in a quoted
    // parameter of CONF:FPGA, so it is checked before the upload.
    RequireSendableName(image, true, "configuration image", localPath);

    // The image is sent from the descriptor it was opened by: one that has become a link out
    // of the release since the check is not sent, so that no file from elsewhere on this
    // computer reaches the instrument; one gone since then (or no longer a file) was not sent
    // either, and a slot left unconfigured must not end in a success report.
    if (!found.problem.empty()) context.view.AddLogLine(found.problem);
    bool sent = false;
    if (found.opened && found.problem.empty()) {
      const net::UniqueFd file = OpenForReading(*found.opened, localPath);
      sent = session.UploadFile(file, localPath, image);
    }
    if (!sent) {
      context.view.AddLogLine("Error, fail to send " + localPath);
      return false;
    }
    context.view.AddLogLine("Start config " + image);
    const std::int16_t code = session.ConfigureFpga(slot, found.index, image);
    if (!ReportConfiguration(context.view, code, image)) result = false;
    session.DeleteFile(image);
  }
  return result;
}

std::vector<std::string> PlannedConfigImages(const PackageContext& context, std::int16_t slot) {
  std::vector<std::string> planned;
  for (const ImageOnDisk& found : ImagesForSlot(context, slot)) {
    if (found.opened && found.problem.empty()) planned.push_back(found.image);
  }
  return planned;
}

}  // namespace package
