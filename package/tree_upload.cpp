#include "package/tree_upload.h"

#include <algorithm>
#include <optional>

#include "package/local_names.h"
#include "package/tree_walk.h"

namespace package {
namespace {

// Measures every file a walk meets into the counters, and lists its path when asked to.
struct Measure {
  CopyCounters& counters;
  std::vector<std::string>* files = nullptr;
  void File(const LocalEntry& entry, const std::string& path) {
    ++counters.fileCount;
    counters.totalBytes += static_cast<std::int64_t>(entry.size);
    if (files) files->push_back(path);
  }
  bool Folder(const LocalEntry&, const std::string&) { return true; }
  [[noreturn]] void Broken(const std::string& path) { ThrowBrokenLink(path); }
  [[noreturn]] void Unreadable(const std::string&, const LocalFsError& error) { throw error; }
};

// The depth-first copy of one tree onto the instrument.
class TreeCopier {
 public:
  explicit TreeCopier(const PackageContext& context) : context_(context) {}

  // Copies the content of `local` into `remote`; with a module, its SIGNAL rule applies to
  // the entries of `local` itself.
  bool CopyRoot(const std::string& local, const std::string& remote,
                const tModuleList* module = nullptr) {
    const auto id = IdentityOf(local);
    if (!id) return true;
    RequireWithinRelease(local);
    path_.Push(*id);
    return CopyFolder(local, remote, module);
  }

 private:
  bool CopyFolder(const std::string& local, const std::string& remote, const tModuleList* module) {
    const auto entries = ListLocalFolder(local);
    if (!entries) return true;
    for (const LocalEntry& entry : *entries) {
      if (IsHidden(entry.name)) continue;
      const std::string full = JoinLocalPath(local, entry.name);
      switch (entry.kind) {
        case EntryKind::kBroken:
          ThrowBrokenLink(full);
        case EntryKind::kOther:
          Log("Skipping... ", entry.name);
          break;
        case EntryKind::kFolder:
          if (!CopySubfolder(entry, full, remote, module)) return false;
          break;
        case EntryKind::kFile:
          if (!CopyFile(entry, full, remote)) return false;
          break;
      }
    }
    return true;
  }

  bool CopySubfolder(const LocalEntry& entry, const std::string& full, const std::string& remote,
                     const tModuleList* module) {
    // Only the module's own SIGNAL folder follows the signal selection, and only when spelled
    // exactly so; deeper SIGNAL folders are ordinary folders.
    if (module && !module->hasSignal && entry.name == kSignalFolder) return true;
    const auto id = IdentityOf(full);
    if (!id) return true;
    if (path_.Contains(*id)) {
      Log("Skipping... ", entry.name);
      return true;
    }
    RequireSendableName(entry.name, true, "folder", full);
    if (entry.link) RequireWithinRelease(full);
    instrument::TfrmVX500& session = context_.session;
    if (!session.RemoteDirExists(remote, entry.name) &&
        !session.MakeRemoteDir(remote, entry.name)) {
      return false;
    }
    path_.Push(*id);
    const bool copied = CopyFolder(full, remote + "/" + entry.name, nullptr);
    path_.Pop();
    return copied;
  }

  bool CopyFile(const LocalEntry& entry, const std::string& full, const std::string& remote) {
    if (IsConfigImageName(entry.name)) {
      Log("Skipping... ", entry.name);
      return true;
    }
    RequireSendableName(entry.name, false, "file", full);
    if (entry.link) RequireWithinRelease(full);
    Log("Copying... ", entry.name);
    if (!context_.session.UploadFile(full, remote + "/" + entry.name)) return false;
    const CopyCounters& counters = context_.counters;
    counters.copiedBytes += static_cast<std::int64_t>(entry.size);
    context_.view.SetProgress(ProgressPosition(counters.copiedBytes, counters.totalBytes));
    return true;
  }

  void Log(const char* what, const std::string& name) { context_.view.AddLogLine(what + name); }

  // The release was checked before anything was sent, but a link in it may have been changed
  // since: one whose real path now leaves the release folder is an error naming it, and
  // nothing of it is sent. Only links (and the tree's root) are resolved, so the check costs
  // nothing for plain files and folders.
  void RequireWithinRelease(const std::string& path) {
    if (releaseFolder_.empty()) releaseFolder_ = RealLocalPath(context_.appDir);
    if (auto problem = LeavesReleaseProblem(path, releaseFolder_)) throw LocalFsError(*problem);
  }

  const PackageContext& context_;
  WalkPath path_;
  std::string releaseFolder_;  // the real path of context_.appDir, found at the first check
};

}  // namespace

std::string PackagePath(const std::string& appDir, std::initializer_list<std::string_view> names) {
  std::string path = appDir;
  bool found = true;
  for (std::string_view name : names) {
    std::optional<std::string> onDisk;
    if (found) onDisk = FindLocalEntry(path, name);
    found = onDisk.has_value();
    path = JoinLocalPath(path, found ? std::string_view(*onDisk) : name);
  }
  return path;
}

bool IsConfigImageName(std::string_view name) {
  const auto dot = name.rfind('.');
  const std::string_view extension = dot == std::string_view::npos ? name : name.substr(dot + 1);
  return SameNameIgnoringCase(extension, "rpd");
}

int ProgressPosition(std::int64_t copied, std::int64_t total) {
  if (total <= 0) return 0;
  const double position = static_cast<double>(copied) * 100.0 / static_cast<double>(total);
  return static_cast<int>(std::clamp(position, 0.0, 100.0));
}

void ScanTree(const std::string& folder, CopyCounters counters) {
  Measure measure{counters};
  WalkTree(folder, measure);
}

std::vector<std::string> ListTreeFiles(const std::string& folder) {
  std::vector<std::string> files;
  std::int64_t fileCount = 0, totalBytes = 0, copiedBytes = 0;
  CopyCounters counters{fileCount, totalBytes, copiedBytes};
  Measure measure{counters, &files};
  WalkTree(folder, measure);
  return files;
}

std::int64_t CountFiles(const std::string& folder, CopyCounters counters) {
  ScanTree(folder, counters);
  return counters.fileCount;
}

bool CopyTree(const PackageContext& context, const std::string& localFolder,
              const std::string& remoteFolder) {
  return TreeCopier(context).CopyRoot(localFolder, remoteFolder);
}

bool CopyModule(const PackageContext& context, const tModuleList& module) {
  RequireModuleName(module.name);
  instrument::TfrmVX500& session = context.session;
  const std::string drive(kFlashDrive);
  if (!session.RemoteDirExists(drive, module.name) && !session.MakeRemoteDir(drive, module.name)) {
    return false;
  }
  const auto local = ResolveLocalPath(context.appDir, {kTargetFolder, module.name});
  if (!local) return true;
  return TreeCopier(context).CopyRoot(*local, drive + module.name, &module);
}

}  // namespace package
