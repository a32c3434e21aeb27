#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "package/local_names.h"
#include "package/package_context.h"
#include "package/release_root.h"

namespace package {

// A walk of the release ended because a stop was asked for (a stop signal during the check).
class WalkStopped : public std::runtime_error {
 public:
  WalkStopped() : std::runtime_error("The release check was stopped") {}
};

// True for a name the package never sends or measures: one beginning with ".".
inline bool IsHidden(std::string_view name) {
  return !name.empty() && name.front() == '.';
}

// Raises WalkStopped when `stop` is set and asks for a stop.
inline void StopIfAsked(const std::function<bool()>& stop) {
  if (stop && stop()) throw WalkStopped();
}

// The folders one walk of a tree has entered: those on the path from its root down to the
// folder being visited, and every folder entered before, with the path it was reached by. A
// folder is entered once per walk, so links that fan out cannot make the walk grow beyond the
// tree's real size.
class TreeVisits {
 public:
  // How a folder about to be entered stands to the walk.
  enum class Seen {
    kNew,     // not entered before
    kOnPath,  // one of the folders being walked: a link loop
    kBefore,  // entered before through another path
  };

  // `stop` is asked between entries; when it is true the walk raises WalkStopped.
  explicit TreeVisits(std::function<bool()> stop = {}) : stop_(std::move(stop)) {}

  // How `id` stands to the walk.
  Seen Classify(const FolderId& id) const;
  // The path by which `id` was first entered.
  const std::string& FirstPath(const FolderId& id) const { return entered_.at(id); }
  // `id`, reached by `path`, is being entered.
  void Push(const FolderId& id, const std::string& path);
  void Pop() { path_.pop_back(); }
  // The number of folders being walked: 1 while the root's own entries are visited.
  std::size_t Depth() const { return path_.size(); }
  void CheckStop() const { StopIfAsked(stop_); }

 private:
  std::function<bool()> stop_;
  std::vector<FolderId> path_;
  std::map<FolderId, std::string> entered_;
};

// How a folder about to be entered stands to its walk: `seen`, `depth` (1 for the entries of
// the root itself) and, for a folder entered before, the path by which it was.
struct FolderVisit {
  TreeVisits::Seen seen;
  std::size_t depth;
  const std::string* firstPath;
};

// Walks the open folder `folder` (full path `path`) depth first, in file-system order, every
// entry reached from it by descriptor, calling on `visitor`:
//   File(folder, entry, fullPath) -> bool      for each file (or link to one);
//   Folder(entry, fullPath, FolderVisit) -> Step   for each folder, once it is opened;
//   Special(entry, fullPath)                   for a FIFO, socket or device node;
//   Broken(fullPath)                           for a link whose target does not exist;
//   Failed(fullPath, LocalFsError)             for a folder that cannot be opened or listed,
//                                              or a link to a folder out of the release.
// What the visitor raises passes through.
// Names beginning with "." are passed over. False as soon as the visitor stops the walk.
enum class Step { kEnter, kPass, kStop };

template <typename Visitor>
bool Walk(const ReleaseRoot& release, const ReleaseEntry& folder, const std::string& path,
          TreeVisits& visits, Visitor& visitor) {
  std::vector<LocalEntry> entries;
  try {
    entries = ListFolder(folder, path);
  } catch (const LocalFsError& error) {
    visitor.Failed(path, error);
    return true;
  }
  for (const LocalEntry& entry : entries) {
    visits.CheckStop();
    if (IsHidden(entry.name)) continue;
    const std::string full = JoinLocalPath(path, entry.name);
    switch (entry.kind) {
      case EntryKind::kFile:
        if (!visitor.File(folder, entry, full)) return false;
        break;
      case EntryKind::kFolder: {
        std::optional<ReleaseEntry> sub;
        try {
          sub = release.OpenAt(folder, entry.name, full);
        } catch (const LocalFsError& error) {
          visitor.Failed(full, error);
          break;
        }
        if (!sub || sub->Kind() != EntryKind::kFolder) break;
        const TreeVisits::Seen seen = visits.Classify(sub->Id());
        const FolderVisit visit{seen, visits.Depth(),
                                seen == TreeVisits::Seen::kBefore ? &visits.FirstPath(sub->Id())
                                                                  : nullptr};
        const Step step = visitor.Folder(entry, full, visit);
        if (step == Step::kStop) return false;
        if (step == Step::kPass || seen != TreeVisits::Seen::kNew) break;
        visits.Push(sub->Id(), full);
        const bool goOn = Walk(release, *sub, full, visits, visitor);
        visits.Pop();
        if (!goOn) return false;
        break;
      }
      case EntryKind::kOther:
        visitor.Special(entry, full);
        break;
      case EntryKind::kBroken:
        visitor.Broken(full);
        break;
    }
  }
  return true;
}

// A visitor for walks that only read the release: it enters every folder, passes special files
// over, and raises for a dangling link or a folder it cannot open or list.
struct ReadingVisitor {
  Step Folder(const LocalEntry&, const std::string&, const FolderVisit&) { return Step::kEnter; }
  void Special(const LocalEntry&, const std::string&) {}
  [[noreturn]] void Broken(const std::string& path) { ThrowBrokenLink(path); }
  [[noreturn]] void Failed(const std::string&, const LocalFsError& error) { throw error; }
};

// Walks the tree at `root` (AppDir() followed by names) as Walk does, with the root itself
// entered first; a missing root visits nothing and is true. LocalFsError when the root leads
// out of the release or cannot be opened.
template <typename Visitor>
bool WalkTree(const ReleaseRoot& release, const std::string& root, TreeVisits& visits,
              Visitor& visitor) {
  const auto folder = release.Open(root);
  if (!folder || folder->Kind() != EntryKind::kFolder) return true;
  visits.Push(folder->Id(), root);
  return Walk(release, *folder, root, visits, visitor);
}

}  // namespace package
