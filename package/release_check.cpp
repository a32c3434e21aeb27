#include "package/release_check.h"

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
  explicit ReleaseChecker(const std::string& appDir) : appDir_(appDir) {
    try {
      releaseFolder_ = RealLocalPath(appDir);
    } catch (const LocalFsError& error) {
      Add(error.what());
    }
  }

  // The system tree, "MainFrame".
  void CheckSystemTree() {
    try {
      CheckTree(PackagePath(appDir_, {kMainFrameFolder}));
    } catch (const LocalFsError& error) {
      Add(error.what());
    }
  }

  // The tree that the run copies from `root` ("MainFrame", or a module's folder).
  void CheckTree(const std::string& root) {
    try {
      const auto kind = LocalEntryKind(root);
      if (kind == EntryKind::kBroken) Add(BrokenLinkText(root));
      if (kind != EntryKind::kFolder || LeavesRelease(root)) return;
      WalkTree(root, *this);
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
      if (const auto local = ResolveLocalPath(appDir_, {kTargetFolder, module.name})) {
        CheckTree(*local);
      }
      const std::string flexFolder =
          PackagePath(appDir_, {kTargetFolder, module.name, kFlexFolder});
      for (const std::string& image : module.rpdFile) {
        if (image.empty()) break;
        CheckImage(module.name, flexFolder, image);
      }
    } catch (const LocalFsError& error) {
      Add(error.what());
    }
  }

  // The text of the refusal, or nothing when the release may be installed.
  std::optional<std::string> Refusal(std::size_t listed) const {
    if (problems_.empty()) return std::nullopt;
    std::string text = "The release in " + net::PrintableText(appDir_) +
                       " cannot be installed; nothing was sent to the instrument:";
    for (std::size_t i = 0; i < problems_.size() && i < listed; ++i) text += "\n" + problems_[i];
    if (problems_.size() > listed) {
      text += "\n... and " + std::to_string(problems_.size() - listed) + " more";
    }
    return text;
  }

  const std::vector<std::string>& Problems() const { return problems_; }

  // The walk's visitor. Configuration images lying in a tree are never copied.
  void File(const LocalEntry& entry, const std::string& full) {
    if (IsConfigImageName(entry.name)) return;
    AddIf(SendableNameProblem(entry.name, false, "file", full));
    if (entry.link) LeavesRelease(full);
  }
  bool Folder(const LocalEntry& entry, const std::string& full) {
    AddIf(SendableNameProblem(entry.name, true, "folder", full));
    // A link out of the release is not entered: it may lead anywhere, the whole disk included.
    return !(entry.link && LeavesRelease(full));
  }
  void Broken(const std::string& full) { Add(BrokenLinkText(full)); }
  void Unreadable(const std::string&, const LocalFsError& error) { Add(error.what()); }

 private:
  void CheckImage(const std::string& module, const std::string& flexFolder,
                  const std::string& image) {
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
    const auto onDisk = FindLocalEntry(flexFolder, image);
    const std::string path = JoinLocalPath(flexFolder, onDisk ? *onDisk : image);
    const auto kind = onDisk ? LocalEntryKind(path) : std::nullopt;
    if (kind == EntryKind::kBroken) {
      Add(BrokenLinkText(path));
    } else if (kind == EntryKind::kFile) {
      LeavesRelease(path);
    } else {
      Add("The configuration image \"" + net::PrintableText(image) + "\" of " + owner +
          " is not a file in its FLEX folder: " + net::PrintableText(path) +
          (kind ? " is not a regular file" : " does not exist"));
    }
  }

  // True, with the reason recorded, when the real path of `path` lies outside the release.
  bool LeavesRelease(const std::string& path) {
    if (releaseFolder_.empty()) return false;
    try {
      const auto problem = LeavesReleaseProblem(path, releaseFolder_);
      if (!problem) return false;
      Add(*problem);
    } catch (const LocalFsError& error) {
      Add(error.what());
    }
    return true;
  }

  void AddIf(const std::optional<std::string>& problem) {
    if (problem) Add(*problem);
  }
  // A path met twice (a module listed twice, a folder reached through a link) is named once.
  void Add(const std::string& problem) {
    if (seen_.insert(problem).second) problems_.push_back(problem);
  }

  const std::string& appDir_;
  std::string releaseFolder_;
  std::vector<std::string> problems_;
  std::set<std::string> seen_;
};

}  // namespace

void CheckRelease(const std::string& appDir, const ModuleList& moduleList,
                  std::size_t listedProblems) {
  // A program started from the wrong folder finds no modules: there is nothing to install.
  if (moduleList.empty()) {
    const std::string text = NoModulesText(appDir);
    throw ReleaseError(text, {text});
  }
  ReleaseChecker checker(appDir);
  checker.CheckSystemTree();
  for (const tModuleList& module : moduleList) checker.CheckModule(module);
  if (auto refusal = checker.Refusal(listedProblems)) {
    throw ReleaseError(*refusal, checker.Problems());
  }
}

}  // namespace package
