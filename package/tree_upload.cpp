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

// Whether a copy enters the folder `entry` that a walk is about to enter: the module's own
// SIGNAL folder follows the signal selection (only when spelled exactly so; deeper SIGNAL
// folders are ordinary folders), and a link back into the folders being walked is passed over.
Step FolderRule(const tModuleList* module, const LocalEntry& entry, const FolderVisit& visit) {
  if (module && visit.depth == 1 && !module->hasSignal && entry.name == kSignalFolder) {
    return Step::kPass;
  }
  if (visit.seen == TreeVisits::Seen::kOnPath) return Step::kPass;
  return Step::kEnter;
}

// The instrument path of the local path `full`, which lies in the tree `local` copied into
// the instrument folder `remote`.
std::string RemotePathOf(const std::string& local, const std::string& remote,
                         const std::string& full) {
  return remote + full.substr(local.size());
}

// What a copy of one tree would send, walked without the instrument: the files it would send
// with their sizes now. A folder a copy would refuse (reached a second time through a link)
// adds nothing.
class TreePlanner : public ReadingVisitor {
 public:
  TreePlanner(const std::string& local, const std::string& remote, const tModuleList* module,
              std::vector<RemoteFile>& plan)
      : local_(local), remote_(remote), module_(module), plan_(plan) {}

  bool File(const ReleaseEntry&, const LocalEntry& entry, const std::string& full) {
    if (!IsConfigImageName(entry.name)) {
      plan_.push_back({RemotePathOf(local_, remote_, full), static_cast<std::int64_t>(entry.size)});
    }
    return true;
  }
  Step Folder(const LocalEntry& entry, const std::string&, const FolderVisit& visit) {
    if (visit.seen == TreeVisits::Seen::kBefore) return Step::kPass;
    return FolderRule(module_, entry, visit);
  }

 private:
  const std::string& local_;
  const std::string& remote_;
  const tModuleList* module_;
  std::vector<RemoteFile>& plan_;
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
    const std::string remote = RemotePath(full);
    CountWritten();
    if (!context_.session.UploadFile(file, full, remote)) return false;
    const CopyCounters& counters = context_.counters;
    counters.copiedBytes += opened->info.st_size;
    context_.Sent(remote, opened->info.st_size);
    context_.view.Progress({ProgressPosition(counters.copiedBytes, counters.totalBytes),
                            counters.copiedBytes, counters.totalBytes});
    return true;
  }

  Step Folder(const LocalEntry& entry, const std::string& full, const FolderVisit& visit) {
    if (FolderRule(module_, entry, visit) == Step::kPass) {
      // A link loop is logged; a SIGNAL folder left out is not.
      if (visit.seen == TreeVisits::Seen::kOnPath) Log("Skipping... ", entry.name);
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
    return RemotePathOf(local_, remote_, full);
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

void PlanTree(const ReleaseRoot& release, const std::string& localFolder,
              const std::string& remoteFolder, std::vector<RemoteFile>& plan) {
  TreePlanner planner(localFolder, remoteFolder, nullptr, plan);
  TreeVisits visits;
  WalkTree(release, localFolder, visits, planner);
}

void PlanModule(const ReleaseRoot& release, const tModuleList& module,
                std::vector<RemoteFile>& plan) {
  const auto local = ResolveLocalPath(release.AppDir(), {kTargetFolder, module.name});
  if (!local) return;
  const std::string remote = std::string(kFlashDrive) + module.name;
  TreePlanner planner(*local, remote, &module, plan);
  TreeVisits visits;
  WalkTree(release, *local, visits, planner);
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
