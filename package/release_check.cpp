#include "package/release_check.h"

#include <functional>
#include <optional>
#include <set>

#include "net/text.h"

#include "package/local_names.h"
#include "package/tree_upload.h"
#include "package/tree_walk.h"

namespace package {
namespace {

// Collects every reason why the release cannot be installed; also the visitor of the walk
// over each tree that the run would copy.
class ReleaseChecker {
 public:
  ReleaseChecker(const ReleaseRoot& release, std::function<bool()> stop)
      : release_(release), stop_(std::move(stop)) {}

  // The system tree, "MainFrame".
  void CheckSystemTree() {
    try {
      CheckTree(PackagePath(release_.AppDir(), {kMainFrameFolder}));
    } catch (const LocalFsError& error) {
      Add(error.what());
    }
  }

  // A listed module: its name, its tree and the configuration images its entry names.
  void CheckModule(const tModuleList& module) {
    if (auto problem = ModuleNameProblem(module.name)) {
      Add(*problem);
      return;
    }
    try {
      if (const auto local = ResolveLocalPath(release_.AppDir(), {kTargetFolder, module.name})) {
        CheckTree(*local);
      }
      const std::string flexPath =
          PackagePath(release_.AppDir(), {kTargetFolder, module.name, kFlexFolder});
      std::optional<ReleaseEntry> flexFolder;
      try {
        flexFolder = release_.Open(flexPath);
      } catch (const LocalFsError& error) {
        Add(error.what());
      }
      for (const std::string& image : module.rpdFile) {
        if (image.empty()) break;
        CheckImage(module.name, flexFolder, flexPath, image);
      }
    } catch (const LocalFsError& error) {
      Add(error.what());
    }
  }

  // The text of the refusal, or nothing when the release may be installed.
  std::optional<std::string> Refusal(std::size_t listed) const {
    if (problems_.empty()) return std::nullopt;
    std::string text = "The release in " + net::PrintableText(release_.AppDir()) +
                       " cannot be installed; nothing was sent to the instrument:";
    for (std::size_t i = 0; i < problems_.size() && i < listed; ++i) text += "\n" + problems_[i];
    if (problems_.size() > listed) {
      text += "\n... and " + std::to_string(problems_.size() - listed) + " more";
    }
    return text;
  }

  const std::vector<std::string>& Problems() const { return problems_; }

  // The walk's visitor. Configuration images lying in a tree are never copied.
  bool File(const ReleaseEntry& folder, const LocalEntry& entry, const std::string& full) {
    if (IsConfigImageName(entry.name)) return true;
    AddIf(SendableNameProblem(entry.name, false, "file", full));
    // A link is judged by opening it, as the copy will.
    if (entry.link) {
      try {
        release_.OpenAt(folder, entry.name, full);
      } catch (const LocalFsError& error) {
        Add(error.what());
      }
    }
    return true;
  }
  Step Folder(const LocalEntry& entry, const std::string& full, const FolderVisit& visit) {
    if (visit.seen == TreeVisits::Seen::kOnPath) return Step::kPass;
    if (visit.seen == TreeVisits::Seen::kBefore) {
      Add("The folder " + net::PrintableText(full) + " is the folder " +
          net::PrintableText(*visit.firstPath) +
          " again, reached through a link; a folder is copied once");
      return Step::kPass;
    }
    AddIf(SendableNameProblem(entry.name, true, "folder", full));
    return Step::kEnter;
  }
  void Special(const LocalEntry&, const std::string&) {}
  void Broken(const std::string& full) { Add(BrokenLinkText(full)); }
  void Failed(const std::string&, const LocalFsError& error) { Add(error.what()); }

 private:
  // The tree that the run copies from `root` ("MainFrame", or a module's folder).
  void CheckTree(const std::string& root) {
    TreeVisits visits(stop_);
    try {
      WalkTree(release_, root, visits, *this);
    } catch (const LocalFsError& error) {
      Add(error.what());
    }
  }

  void CheckImage(const std::string& module, const std::optional<ReleaseEntry>& flexFolder,
                  const std::string& flexPath, const std::string& image) {
    const std::string owner = "module " + module;
    if (auto problem = SendableNameProblem(image, true, "configuration image", owner)) {
      Add(*problem);
      return;
    }
    // The image is looked up as one entry of the FLEX folder, never as a path.
    if (image == "." || image == ".." || image.find('/') != std::string::npos) {
      Add("The configuration image \"" + net::PrintableText(image) + "\" of " + owner +
          " is not a file name");
      return;
    }
    const auto onDisk = flexFolder ? release_.Find(*flexFolder, image, flexPath) : std::nullopt;
    const std::string path = JoinLocalPath(flexPath, onDisk ? *onDisk : image);
    std::optional<ReleaseEntry> opened;
    try {
      if (onDisk) opened = release_.OpenAt(*flexFolder, *onDisk, path);
    } catch (const LocalFsError& error) {
      Add(error.what());
      return;
    }
    if (opened && opened->Kind() == EntryKind::kFile) return;
    Add("The configuration image \"" + net::PrintableText(image) + "\" of " + owner +
        " is not a file in its FLEX folder: " + net::PrintableText(path) +
        (opened ? " is not a regular file" : " does not exist"));
  }

  void AddIf(const std::optional<std::string>& problem) {
    if (problem) Add(*problem);
  }
  // A path met twice (a module listed twice, a folder reached through a link) is named once.
  void Add(const std::string& problem) {
    if (seen_.insert(problem).second) problems_.push_back(problem);
  }

  const ReleaseRoot& release_;
  std::function<bool()> stop_;
  std::vector<std::string> problems_;
  std::set<std::string> seen_;
};

}  // namespace

void CheckRelease(const ReleaseRoot& release, const ModuleList& moduleList,
                  std::size_t listedProblems, const std::function<bool()>& stop) {
  // A program started from the wrong folder finds no modules: there is nothing to install.
  if (moduleList.empty()) {
    const std::string text = NoModulesText(release.AppDir());
    throw ReleaseError(text, {text});
  }
  ReleaseChecker checker(release, stop);
  checker.CheckSystemTree();
  for (const tModuleList& module : moduleList) checker.CheckModule(module);
  if (auto refusal = checker.Refusal(listedProblems)) {
    throw ReleaseError(*refusal, checker.Problems());
  }
}

}  // namespace package
