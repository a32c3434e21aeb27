#include "upgrade/catalogue_check.h"

#include <map>
#include <set>

#include "package/mid_files.h"
#include "package/tree_upload.h"

namespace {

// The name of the file at an instrument path: the text after its last "/".
std::string BaseNameOf(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// Every folder on the paths of `files`, from the drive down.
std::set<std::string> FoldersOnPaths(const std::vector<package::RemoteFile>& files) {
  std::set<std::string> folders;
  for (const package::RemoteFile& file : files) {
    for (std::string folder = InstrumentFolderOf(file.path);
         folder != instrument::kFlashDrive && folders.insert(folder).second;
         folder = InstrumentFolderOf(folder)) {
    }
  }
  return folders;
}

// The path of an entry listed in `folder`.
std::string PathIn(const std::string& folder, const std::string& name) {
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

}  // namespace

std::string MismatchText(const FileOnInstrument& file, const char* expected) {
  const std::string listed = file.listedAsFolder ? "listed as a folder"
                             : file.listed       ? std::to_string(*file.listed) + " listed"
                             : file.missing      ? "not listed"
                                                 : "listed without a size";
  return file.path + ": " + std::to_string(file.expectedBytes) + " bytes " + expected + ", " +
         listed;
}

std::string InstrumentFolderOf(const std::string& path) {
  const std::string drive = instrument::kFlashDrive;
  const auto slash = path.rfind('/');
  if (slash == std::string::npos || slash < drive.size()) return drive;
  return path.substr(0, slash);
}

namespace {

// The catalogues of one comparison: each folder's asked at most once, and only once its parent's
// catalogue lists it, since a catalogue query of a missing folder leaves an error in the
// instrument's error queue that the next checked command would read as its own.
class CatalogueReader {
 public:
  explicit CatalogueReader(instrument::TfrmVX500& session) : session_(session) {}

  // The catalogue of `folder`; none when the folder is not listed in its parent.
  const instrument::Catalog* Of(const std::string& folder) {
    if (const auto known = read_.find(folder); known != read_.end()) {
      return known->second ? &*known->second : nullptr;
    }
    std::optional<instrument::Catalog> catalog;
    if (folder == instrument::kFlashDrive || Lists(Of(InstrumentFolderOf(folder)), folder)) {
      catalog = session_.ReadCatalog(folder);
    }
    const auto& stored = read_.emplace(folder, std::move(catalog)).first->second;
    return stored ? &*stored : nullptr;
  }

 private:
  // Whether `parent` lists the folder `folder`; a catalogue of names only gives no types, so
  // there a name stands for a folder.
  static bool Lists(const instrument::Catalog* parent, const std::string& folder) {
    if (!parent) return false;
    const std::string name = BaseNameOf(folder);
    for (const instrument::CatalogEntry& entry : parent->entries) {
      if (entry.name == name && (entry.IsFolder() || entry.type.empty())) return true;
    }
    return false;
  }

  instrument::TfrmVX500& session_;
  std::map<std::string, std::optional<instrument::Catalog>> read_;
};

}  // namespace

CatalogueCheck CheckCatalogues(instrument::TfrmVX500& session,
                               const std::vector<package::RemoteFile>& files) {
  // The files by folder, folders in the order the files first name them.
  std::vector<std::string> folders;
  std::map<std::string, std::vector<const package::RemoteFile*>> byFolder;
  for (const package::RemoteFile& file : files) {
    auto& inFolder = byFolder[InstrumentFolderOf(file.path)];
    if (inFolder.empty()) folders.push_back(InstrumentFolderOf(file.path));
    inFolder.push_back(&file);
  }
  const std::set<std::string> knownFolders = FoldersOnPaths(files);

  CatalogueCheck check;
  CatalogueReader catalogues(session);
  bool anyEntry = false;
  bool anySize = false;
  // Every file with the entry listed under its name, if any; judged once all are read, since
  // whether sizes count depends on every catalogue.
  std::vector<std::pair<const package::RemoteFile*, std::optional<instrument::CatalogEntry>>> read;
  for (const std::string& folder : folders) {
    const instrument::Catalog* catalog = catalogues.Of(folder);
    std::map<std::string, const instrument::CatalogEntry*> listed;
    if (catalog) {
      ++check.foldersAsked;
      check.unreadable += catalog->unreadable;
      for (const instrument::CatalogEntry& entry : catalog->entries) {
        anyEntry = true;
        anySize = anySize || (entry.bytes.has_value() && !entry.IsFolder());
        listed.emplace(entry.name, &entry);
      }
    }
    std::set<std::string> expected;
    for (const package::RemoteFile* file : byFolder[folder]) {
      const std::string name = BaseNameOf(file->path);
      expected.insert(name);
      const auto found = listed.find(name);
      read.emplace_back(file, found == listed.end() ? std::nullopt : std::optional(*found->second));
    }
    if (!catalog) continue;
    for (const instrument::CatalogEntry& entry : catalog->entries) {
      const std::string path = PathIn(folder, entry.name);
      if (expected.count(entry.name) == 0 && knownFolders.count(path) == 0) {
        check.extras.push_back(path);
      }
    }
  }
  check.namesOnly = anyEntry && !anySize;
  for (const auto& [file, entry] : read) {
    FileOnInstrument seen;
    seen.path = file->path;
    seen.expectedBytes = file->bytes;
    if (!entry) {
      seen.missing = true;
      check.missing.push_back(seen);
      continue;
    }
    seen.listedAsFolder = entry->IsFolder();
    if (!seen.listedAsFolder) seen.listed = entry->bytes;
    const bool matches = !seen.listedAsFolder && (check.namesOnly ? !entry->bytes.has_value()
                                                                  : entry->bytes == file->bytes);
    (matches ? check.matching : check.differing).push_back(seen);
  }
  return check;
}

std::vector<package::RemoteFile> PlanUpgrade(const package::ReleaseRoot& release,
                                             const package::ModuleList& modules) {
  std::vector<package::RemoteFile> plan;
  for (const package::tModuleList& module : modules) {
    plan.push_back({package::MidFolderPath(module) + "/NAME", package::NameFileBytes(module)});
  }
  AddTreesToPlan(release, modules, plan);
  return plan;
}

void AddTreesToPlan(const package::ReleaseRoot& release, const package::ModuleList& modules,
                    std::vector<package::RemoteFile>& plan) {
  const std::string mainFrame = package::PackagePath(release.AppDir(), {package::kMainFrameFolder});
  package::PlanTree(release, mainFrame, std::string(package::kSystemFolder), plan);
  for (const package::tModuleList& module : modules) package::PlanModule(release, module, plan);
}

std::int64_t BytesOf(const std::vector<package::RemoteFile>& files) {
  std::int64_t bytes = 0;
  for (const package::RemoteFile& file : files) bytes += file.bytes;
  return bytes;
}
