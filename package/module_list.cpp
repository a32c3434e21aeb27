#include "package/module_list.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "package/ini_file.h"
#include "package/local_names.h"

namespace package {
namespace {

// Whole content of a file; nothing when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(text).str();
}

// The first record named `name`, for const and non-const lists alike.
template <typename List>
auto FirstNamed(List& list, std::string_view name) -> decltype(&*list.begin()) {
  for (auto& record : list) {
    if (record.name == name) return &record;
  }
  return nullptr;
}

}  // namespace

bool IsSelectableModel(std::string_view name) {
  return std::find(kSelectableModels.begin(), kSelectableModels.end(), name) !=
         kSelectableModels.end();
}

ModuleList ParseModuleList(std::string_view manifestText) {
  const IniFile ini = IniFile::Parse(manifestText);
  ModuleList list;
  for (int n = 1;; ++n) {
    const std::string section = "ENTRY " + std::to_string(n);
    const std::int32_t id = ini.ReadInteger(section, "id", -1);
    if (id == -1) break;
    tModuleList record;
    record.id = id;
    record.name = ini.ReadString(section, "name", "");
    record.hasSignal = ini.ReadBool(section, "hasSignal", false);
    for (std::size_t k = 0; k < record.rpdFile.size(); ++k) {
      record.rpdFile[k] = ini.ReadString(section, "rpdFile" + std::to_string(k + 1), "");
      if (record.rpdFile[k].empty()) break;
    }
    list.push_back(std::move(record));
  }
  return list;
}

void ApplyCheckBoxRule(const std::string& appDir, const std::string& name, SignalBoxes& boxes) {
  if (!IsSelectableModel(name)) return;
  const auto signal = ResolveLocalPath(appDir, {kTargetFolder, name, kSignalFolder});
  const bool hasSignalFolder = signal && LocalEntryKind(*signal) == EntryKind::kFolder;
  boxes.Set(name, hasSignalFolder, false);
}

void ReadModuleList(const std::string& manifestPath, const std::string& appDir, SignalBoxes& boxes,
                    ModuleList& moduleList) {
  moduleList.clear();
  const std::optional<std::string> text = ReadWholeFile(manifestPath);
  if (!text) return;
  moduleList = ParseModuleList(*text);
  for (const tModuleList& record : moduleList) ApplyCheckBoxRule(appDir, record.name, boxes);
}

std::optional<std::string> FindManifest(const std::string& appDir) {
  const auto path = ResolveLocalPath(appDir, {kManifestName});
  if (!path || LocalEntryKind(*path) != EntryKind::kFile) return std::nullopt;
  return path;
}

ModuleList ScanTargetFolder(const std::string& appDir, SignalBoxes& boxes) {
  ModuleList list;
  const auto target = ResolveLocalPath(appDir, {kTargetFolder});
  if (!target) return list;
  const auto entries = ListLocalFolder(*target);
  if (!entries) return list;
  for (const LocalEntry& entry : *entries) {
    if (entry.name.starts_with('.') || entry.kind != EntryKind::kFolder) continue;
    tModuleList record;
    record.name = entry.name;
    ApplyCheckBoxRule(appDir, record.name, boxes);
    list.push_back(std::move(record));
  }
  std::vector<std::string> byName;
  for (const tModuleList& record : list) byName.push_back(record.name);
  std::sort(byName.begin(), byName.end());
  for (tModuleList& record : list) {
    const auto rank = std::lower_bound(byName.begin(), byName.end(), record.name) - byName.begin();
    record.id = static_cast<std::int32_t>(rank + 1);
  }
  return list;
}

ModuleList LoadModuleList(const std::string& appDir, SignalBoxes& boxes) {
  ModuleList list;
  if (const auto manifest = FindManifest(appDir)) {
    ReadModuleList(*manifest, appDir, boxes, list);
  } else {
    list = ScanTargetFolder(appDir, boxes);
  }
  return list;
}

std::string NoModulesText(const std::string& appDir) {
  return "No modules found in the package folder " + appDir +
         " (no manifest entry and no module folder under Target); nothing was sent to the "
         "instrument";
}

tModuleList* FindModule(ModuleList& moduleList, std::string_view name) {
  return FirstNamed(moduleList, name);
}

const tModuleList* FindModule(const ModuleList& moduleList, std::string_view name) {
  return FirstNamed(moduleList, name);
}

void SelectSignals(ModuleList& moduleList, std::string_view name, bool selected) {
  if (tModuleList* record = FindModule(moduleList, name)) record->hasSignal = selected;
}

void SignalBoxes::Set(std::string_view model, bool enabled, bool ticked) {
  if (!IsSelectableModel(model)) return;
  boxes_.insert_or_assign(std::string(model), Box{enabled, ticked});
}

SignalBoxes::Box SignalBoxes::Of(std::string_view model) const {
  const auto it = boxes_.find(model);
  return it == boxes_.end() ? Box{} : it->second;
}

void SignalBoxes::Click(ModuleList& moduleList, std::string_view model, bool ticked) {
  Set(model, Enabled(model), ticked);
  SelectSignals(moduleList, model, ticked);
}

void SignalBoxes::AcceptCompressedSignals(ModuleList& moduleList) {
  for (const std::string_view model : {std::string_view("PNB5"), std::string_view("SCWH5")}) {
    if (!Enabled(model)) continue;
    Set(model, false, true);
    SelectSignals(moduleList, model, true);
  }
}

}  // namespace package
