#include "package/tree_upload.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "package/local_names.h"

namespace package {
namespace {

// A folder's identity on disk, so that a link back to a folder being walked is recognised.
struct FolderId {
  dev_t device;
  ino_t inode;
  bool operator==(const FolderId&) const = default;
};

// The folders from the root of a walk down to the one being visited.
class WalkPath {
 public:
  bool Contains(const FolderId& id) const {
    return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
  }
  void Push(const FolderId& id) { ids_.push_back(id); }
  void Pop() { ids_.pop_back(); }

 private:
  std::vector<FolderId> ids_;
};

// Identity of a folder (links followed); nothing when it does not exist.
std::optional<FolderId> IdentityOf(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return FolderId{st.st_dev, st.st_ino};
  if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
  throw LocalFsError("Cannot examine " + folder + ": " + std::strerror(errno));
}

bool IsHidden(std::string_view name) {
  return !name.empty() && name.front() == '.';
}

// Walks the tree below `folder` depth first, in file-system order: `onFile` for each file (or
// link to one), `onFolder` for each folder before it is entered. Names beginning with ".",
// folders already on the walk's path (link loops) and special files are passed over; a
// dangling link raises LocalFsError.
template <typename OnFile, typename OnFolder>
void Walk(const std::string& folder, WalkPath& path, const OnFile& onFile,
          const OnFolder& onFolder) {
  const auto entries = ListLocalFolder(folder);
  if (!entries) return;
  for (const LocalEntry& entry : *entries) {
    if (IsHidden(entry.name)) continue;
    const std::string full = JoinLocalPath(folder, entry.name);
    switch (entry.kind) {
      case EntryKind::kFile:
        onFile(entry, full);
        break;
      case EntryKind::kFolder: {
        const auto id = IdentityOf(full);
        if (!id || path.Contains(*id)) break;
        onFolder(entry, full);
        path.Push(*id);
        Walk(full, path, onFile, onFolder);
        path.Pop();
        break;
      }
      case EntryKind::kOther:
        break;
      case EntryKind::kBroken:
        ThrowBrokenLink(full);
    }
  }
}

void Scan(const std::string& folder, CopyCounters& counters, WalkPath& path) {
  Walk(
      folder, path,
      [&](const LocalEntry& entry, const std::string&) {
        ++counters.fileCount;
        counters.totalBytes += static_cast<std::int64_t>(entry.size);
      },
      [](const LocalEntry&, const std::string&) {});
}

// Applies the copy's name rules to every entry of a tree that the copy would send.
void CheckNames(const std::string& folder, WalkPath& path) {
  Walk(
      folder, path,
      [](const LocalEntry& entry, const std::string& full) {
        if (!IsConfigImageName(entry.name)) RequireSendableName(entry.name, false, "file", full);
      },
      [](const LocalEntry& entry, const std::string& full) {
        RequireSendableName(entry.name, true, "folder", full);
      });
}

void CheckTreeNames(const std::string& root) {
  const auto id = IdentityOf(root);
  if (!id) return;
  WalkPath path;
  path.Push(*id);
  CheckNames(root, path);
}

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
    Log("Copying... ", entry.name);
    if (!context_.session.UploadFile(full, remote + "/" + entry.name)) return false;
    const CopyCounters& counters = context_.counters;
    counters.copiedBytes += static_cast<std::int64_t>(entry.size);
    context_.view.SetProgress(ProgressPosition(counters.copiedBytes, counters.totalBytes));
    return true;
  }

  void Log(const char* what, const std::string& name) { context_.view.AddLogLine(what + name); }

  const PackageContext& context_;
  WalkPath path_;
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
  const auto id = IdentityOf(folder);
  if (!id) return;
  WalkPath path;
  path.Push(*id);
  Scan(folder, counters, path);
}

std::vector<std::string> ListTreeFiles(const std::string& folder) {
  std::vector<std::string> files;
  const auto id = IdentityOf(folder);
  if (!id) return files;
  WalkPath path;
  path.Push(*id);
  Walk(
      folder, path, [&](const LocalEntry&, const std::string& full) { files.push_back(full); },
      [](const LocalEntry&, const std::string&) {});
  return files;
}

std::int64_t CountFiles(const std::string& folder, CopyCounters counters) {
  ScanTree(folder, counters);
  return counters.fileCount;
}

void CheckReleaseNames(const std::string& appDir, const ModuleList& moduleList) {
  CheckTreeNames(PackagePath(appDir, {kMainFrameFolder}));
  for (const tModuleList& module : moduleList) {
    RequireModuleName(module.name);
    for (const std::string& image : module.rpdFile) {
      if (image.empty()) break;
      RequireSendableName(image, true, "configuration image", "module " + module.name);
    }
    if (const auto local = ResolveLocalPath(appDir, {kTargetFolder, module.name})) {
      CheckTreeNames(*local);
    }
  }
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
