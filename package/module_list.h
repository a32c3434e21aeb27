#pragma once

#include <array>
#include <functional>
#include <map>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace package {

// One module of the release: its module number, model name, whether its SIGNAL folder is
// copied, and the names of its configuration-ROM images (those in use first, the rest empty).
struct tModuleList {
  std::int32_t id = 0;
  std::string name;
  bool hasSignal = false;
  std::array<std::string, 4> rpdFile;
};

// The release's modules, in manifest order or folder-scan order; the list owns its records.
using ModuleList = std::vector<tModuleList>;

// The modules that have a check box on the window, in the window's order.
inline constexpr std::array<std::string_view, 5> kSelectableModels = {"PNB5", "PCW5", "PCWX5",
                                                                      "SCW5", "SCWH5"};

// The operator's choice of signal sets, in one place for both front ends: the state of each
// selectable model's box (enabled when the release holds the model's SIGNAL folder, and
// ticked) beside the module list, whose hasSignal a click overwrites. The window's check boxes
// show it and the command line's options set it.
class SignalBoxes {
 public:
  struct Box {
    bool enabled = false;
    bool ticked = false;
  };
  // Sets a selectable model's box; other names are ignored.
  void Set(std::string_view model, bool enabled, bool ticked);
  // The model's box; a model without one is disabled and unticked.
  Box Of(std::string_view model) const;
  bool Enabled(std::string_view model) const { return Of(model).enabled; }
  bool Ticked(std::string_view model) const { return Of(model).ticked; }
  // The operator ticks or unticks the box: its tick follows, and so does hasSignal of the
  // module of that name (SelectSignals).
  void Click(ModuleList& moduleList, std::string_view model, bool ticked);
  // The compressed-signal question was answered Yes: each of the PNB5 and SCWH5 boxes that is
  // enabled is disabled, ticked and its signals selected.
  void AcceptCompressedSignals(ModuleList& moduleList);

 private:
  std::map<std::string, Box, std::less<>> boxes_;
};

// File and folder names inside the package folder, as the release spells them; looked up
// without regard to letter case.
inline constexpr std::string_view kManifestName = "vxUpgrade.ini";
inline constexpr std::string_view kTargetFolder = "Target";
inline constexpr std::string_view kMainFrameFolder = "MainFrame";
inline constexpr std::string_view kSignalFolder = "SIGNAL";
inline constexpr std::string_view kFlexFolder = "FLEX";

// True when `name` is exactly (letter case included) one of kSelectableModels.
bool IsSelectableModel(std::string_view name);

// The records of a manifest text: ENTRY 1, ENTRY 2, ... up to the first entry whose "id" is
// missing, not an integer, or -1.
ModuleList ParseModuleList(std::string_view manifestText);

// For a selectable model: enables its box when the package holds appDir/Target/<name>/SIGNAL
// as a folder, disables it otherwise, and unticks it. Other names touch no box.
void ApplyCheckBoxRule(const std::string& appDir, const std::string& name, SignalBoxes& boxes);

// Replaces the content of `moduleList` with the manifest's records and applies the check-box
// rule to each. A manifest that cannot be read gives an empty list; nothing is reported.
void ReadModuleList(const std::string& manifestPath, const std::string& appDir, SignalBoxes& boxes,
                    ModuleList& moduleList);

// The manifest's full path when appDir holds it (any letter case) as a file, else nothing.
std::optional<std::string> FindManifest(const std::string& appDir);

// One record per sub-folder of appDir/Target whose name does not begin with ".", in the
// order the file system lists them, with the check-box rule applied. Each record's id is the
// rank of its folder name in byte order, from 1, so a release gets the same module numbers on
// every machine. A missing target folder gives an empty list; an unreadable one throws
// LocalFsError.
ModuleList ScanTargetFolder(const std::string& appDir, SignalBoxes& boxes);

// The package's modules as the window builds them: from the manifest when appDir holds one,
// else from the sub-folders of its target folder; the check-box rule applied to each.
ModuleList LoadModuleList(const std::string& appDir, SignalBoxes& boxes);

// The error text for a package folder whose module list is empty (the program was started from
// the wrong folder): it names the folder and says that nothing was sent.
std::string NoModulesText(const std::string& appDir);

// The first record whose name equals `name` byte for byte, or null.
tModuleList* FindModule(ModuleList& moduleList, std::string_view name);
const tModuleList* FindModule(const ModuleList& moduleList, std::string_view name);

// Sets hasSignal of the first record named `name` (exactly); does nothing when there is none.
void SelectSignals(ModuleList& moduleList, std::string_view name, bool selected);

}  // namespace package
