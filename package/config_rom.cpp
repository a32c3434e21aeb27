#include "package/config_rom.h"

#include <optional>
#include <string>

#include "package/local_names.h"
#include "package/package_context.h"
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

// One image the manifest names for a module, and what its FLEX folder holds under that name.
struct ImageOnDisk {
  std::int16_t index;
  std::string image;              // the manifest's name: what goes on the wire
  std::string localPath;          // as spelled on disk, or as named when it is not there
  std::optional<EntryKind> kind;  // nothing when the folder holds no such entry
};

// The images the entry of the module in `slot` names, in index order; empty when the slot
// takes no images or the package does not list its model.
std::vector<ImageOnDisk> ImagesForSlot(const PackageContext& context, std::int16_t slot) {
  std::vector<ImageOnDisk> images;
  instrument::TfrmVX500& session = context.session;
  if (!session.SlotSupportsFpgaConfig(slot)) return images;
  const tModuleList* module = FindModule(context.moduleList, session.SlotModuleName(slot));
  if (module == nullptr) return images;
  const std::string flexFolder =
      PackagePath(context.appDir, {kTargetFolder, module->name, kFlexFolder});
  for (std::int16_t index = 0; index < static_cast<std::int16_t>(module->rpdFile.size()); ++index) {
    const std::string& image = module->rpdFile[index];
    if (image.empty()) break;
    const auto onDisk = FindLocalEntry(flexFolder, image);
    const std::string localPath = JoinLocalPath(flexFolder, onDisk ? *onDisk : image);
    images.push_back({index, image, localPath, onDisk ? LocalEntryKind(localPath) : std::nullopt});
  }
  return images;
}

}  // namespace

bool ProgramConfigROM(const PackageContext& context, std::int16_t slot) {
  instrument::TfrmVX500& session = context.session;
  if (!session.SlotSupportsFpgaConfig(slot)) return true;
  if (FindModule(context.moduleList, session.SlotModuleName(slot)) == nullptr) return true;

  session.FtpClient.ChangeDir(kImageDrive);
  bool result = true;
  std::string releaseFolder;  // the release's real path, found for the first image
  for (const ImageOnDisk& found : ImagesForSlot(context, slot)) {
    const std::string& image = found.image;
    const std::string& localPath = found.localPath;
    // The image travels under the manifest's name into N0: and is named in a quoted
    // parameter of CONF:FPGA, so it is checked before the upload.
    RequireSendableName(image, true, "configuration image", localPath);

    // The release check found every image inside the release; one that is now a link out of
    // it is not sent, so that no file from elsewhere on this computer reaches the instrument.
    std::optional<std::string> outside;
    if (found.kind == EntryKind::kFile) {
      if (releaseFolder.empty()) releaseFolder = RealLocalPath(context.appDir);
      outside = LeavesReleaseProblem(localPath, releaseFolder);
      if (outside) context.view.AddLogLine(*outside);
    }
    // The release check found every image; one gone since then (or no longer a file) was
    // not sent, and a slot left unconfigured must not end in a success report.
    if (found.kind != EntryKind::kFile || outside || !session.UploadFile(localPath, image)) {
      context.view.AddLogLine("Error, fail to send " + localPath);
      return false;
    }
    context.view.AddLogLine("Start config " + image);
    const std::int16_t code = session.ConfigureFpga(slot, found.index, image);
    if (!ReportConfiguration(context.view, code, image)) result = false;
    session.FtpClient.Delete(image);
  }
  return result;
}

std::vector<std::string> PlannedConfigImages(const PackageContext& context, std::int16_t slot) {
  std::vector<std::string> planned;
  for (const ImageOnDisk& found : ImagesForSlot(context, slot)) {
    if (found.kind == EntryKind::kFile) planned.push_back(found.image);
  }
  return planned;
}

}  // namespace package
