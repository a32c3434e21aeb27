#include "package/tree_upload.h"

#include <algorithm>
#include <optional>

#include "net/text.h"

#include "package/local_names.h"
#include "package/tree_walk.h"

namespace package {
namespace {

// Measures every file a walk meets into the counters. A folder reached a second time is
// measured once, as the copy sends it once.
struct Measure : ReadingVisitor {
  explicit Measure(CopyCounters& counted) : counters(counted) {}
  bool File(const ReleaseEntry&, const LocalEntry& entry, const std::string&) {
    ++counters.fileCount;
    counters.totalBytes += static_cast<std::int64_t>(entry.size);
    return true;
  }
  CopyCounters& counters;
};

// The depth-first copy of one tree onto the instrument, every file sent from the descriptor
// the walk opened it by.
class TreeCopier {
 public:
  // Copies the content of `local` into the instrument folder `remote`; with a module, its
  // SIGNAL rule applies to the entries of `local` itself.
  TreeCopier(const PackageContext& context, const std::string& local, const std::string& remote,
             const tModuleList* module = nullptr)
      : context_(context), local_(local), remote_(remote), module_(module) {}

  bool Copy() {
    TreeVisits visits;
    return WalkTree(context_.release, local_, visits, *this);
  }

  bool File(const ReleaseEntry& folder, const LocalEntry& entry, const std::string& full) {
    if (IsConfigImageName(entry.name)) {
      Log("Skipping... ", entry.name);
      return true;
    }
    RequireSendableName(entry.name, false, "file", full);
    // The file is judged as it is now, not as the release check saw it: one that has become a
    // link out of the release, or is gone, or is no longer a regular file, is not sent.
    std::optional<ReleaseEntry> opened;
    net::UniqueFd file;
    std::string problem;
    try {
      opened = context_.release.OpenAt(folder, entry.name, full);
      if (opened && opened->Kind() == EntryKind::kFile) file = OpenForReading(*opened, full);
    } catch (const LocalFsError& error) {
      problem = error.what();
    }
    if (!problem.empty()) Refuse(problem);
    if (!opened) Refuse(full, "it no longer exists");
    if (!file) Refuse(full, "it is no longer a regular file");
    Log("Copying... ", entry.name);
    CountWritten();
    if (!context_.session.UploadFile(file, full, RemotePath(full))) return false;
    const CopyCounters& counters = context_.counters;
    counters.copiedBytes += opened->info.st_size;
    context_.view.Progress({ProgressPosition(counters.copiedBytes, counters.totalBytes),
                            counters.copiedBytes, counters.totalBytes});
    return true;
  }

  Step Folder(const LocalEntry& entry, const std::string& full, const FolderVisit& visit) {
    // Only the module's own SIGNAL folder follows the signal selection, and only when spelled
    // exactly so; deeper SIGNAL folders are ordinary folders.
    if (module_ && visit.depth == 1 && !module_->hasSignal && entry.name == kSignalFolder) {
      return Step::kPass;
    }
    if (visit.seen == TreeVisits::Seen::kOnPath) {
      Log("Skipping... ", entry.name);
      return Step::kPass;
    }
    if (visit.seen == TreeVisits::Seen::kBefore) {
      Refuse(full, "it is the folder " + *visit.firstPath + " again, reached through a link");
    }
    RequireSendableName(entry.name, true, "folder", full);
    instrument::TfrmVX500& session = context_.session;
    const std::string remote = RemotePath(full.substr(0, full.size() - entry.name.size() - 1));
    if (!session.RemoteDirExists(remote, entry.name)) {
      if (!session.MakeRemoteDir(remote, entry.name)) return Step::kStop;
      CountWritten();
    }
    return Step::kEnter;
  }

  void Special(const LocalEntry& entry, const std::string&) { Log("Skipping... ", entry.name); }
  [[noreturn]] void Broken(const std::string& path) { Refuse(BrokenLinkText(path)); }
  [[noreturn]] void Failed(const std::string&, const LocalFsError& error) { Refuse(error.what()); }

 private:
  // The instrument path of the local path `full`, which lies in the tree being copied.
  std::string RemotePath(const std::string& full) const {
    return remote_ + full.substr(local_.size());
  }

  void Log(const char* what, const std::string& name) { context_.view.AddLogLine(what + name); }

  // One folder made or file sent, counted for the tree it belongs to.
  void CountWritten() {
    if (WrittenCounts* written = context_.written) {
      ++(module_ ? written->moduleEntries : written->treeEntries);
    }
  }

  // Nothing of the entry is sent; the log says why, and the error ends the copy.
  [[noreturn]] void Refuse(const std::string& path, const std::string& reason) {
    Refuse("Refused to send " + net::PrintableText(path) + ": " + net::PrintableText(reason));
  }
  [[noreturn]] void Refuse(const std::string& text) {
    context_.view.AddLogLine(text);
    throw LocalFsError(text);
  }

  const PackageContext& context_;
  std::string local_;
  std::string remote_;
  const tModuleList* module_;
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

void ScanTree(const ReleaseRoot& release, const std::string& folder, CopyCounters counters) {
  Measure measure(counters);
  TreeVisits visits;
  WalkTree(release, folder, visits, measure);
}

std::int64_t CountFiles(const ReleaseRoot& release, const std::string& folder,
                        CopyCounters counters) {
  ScanTree(release, folder, counters);
  return counters.fileCount;
}

bool CopyTree(const PackageContext& context, const std::string& localFolder,
              const std::string& remoteFolder) {
  return TreeCopier(context, localFolder, remoteFolder).Copy();
}

bool CopyModule(const PackageContext& context, const tModuleList& module) {
  RequireModuleName(module.name);
  instrument::TfrmVX500& session = context.session;
  const std::string drive(kFlashDrive);
  if (!session.RemoteDirExists(drive, module.name)) {
    if (!session.MakeRemoteDir(drive, module.name)) return false;
    if (context.written) ++context.written->moduleEntries;
  }
  const auto local = ResolveLocalPath(context.release.AppDir(), {kTargetFolder, module.name});
  if (!local) return true;
  return TreeCopier(context, *local, drive + module.name, &module).Copy();
}

}  // namespace package
