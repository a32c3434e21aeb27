#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "package/local_names.h"

namespace package {

// A folder's identity on disk, so that a link back to a folder being walked is recognised.
struct FolderId {
  dev_t device;
  ino_t inode;
  bool operator==(const FolderId&) const = default;
};

// Identity of a folder (links followed); nothing when it does not exist. Throws LocalFsError
// for any other failure to examine it.
std::optional<FolderId> IdentityOf(const std::string& folder);

// The folders from the root of a walk down to the one being visited.
class WalkPath {
 public:
  bool Contains(const FolderId& id) const;
  void Push(const FolderId& id) { ids_.push_back(id); }
  void Pop() { ids_.pop_back(); }

 private:
  std::vector<FolderId> ids_;
};

// True for a name the package never sends or measures: one beginning with ".".
inline bool IsHidden(std::string_view name) {
  return !name.empty() && name.front() == '.';
}

// Walks the tree below `folder` depth first, in file-system order, calling on `visitor`:
//   File(entry, fullPath)             for each file (or link to one);
//   Folder(entry, fullPath) -> bool   for each folder before it is entered; false skips it;
//   Broken(fullPath)                  for each link whose target does not exist;
//   Unreadable(folder, LocalFsError)  for a folder that exists but cannot be listed.
// Names beginning with ".", folders already on the walk's path (link loops) and special files
// are passed over.
template <typename Visitor>
void Walk(const std::string& folder, WalkPath& path, Visitor& visitor) {
  std::optional<std::vector<LocalEntry>> entries;
  try {
    entries = ListLocalFolder(folder);
  } catch (const LocalFsError& error) {
    visitor.Unreadable(folder, error);
    return;
  }
  if (!entries) return;
  for (const LocalEntry& entry : *entries) {
    if (IsHidden(entry.name)) continue;
    const std::string full = JoinLocalPath(folder, entry.name);
    switch (entry.kind) {
      case EntryKind::kFile:
        visitor.File(entry, full);
        break;
      case EntryKind::kFolder: {
        const auto id = IdentityOf(full);
        if (!id || path.Contains(*id) || !visitor.Folder(entry, full)) break;
        path.Push(*id);
        Walk(full, path, visitor);
        path.Pop();
        break;
      }
      case EntryKind::kOther:
        break;
      case EntryKind::kBroken:
        visitor.Broken(full);
        break;
    }
  }
}

// Walks the tree below `root` as Walk does, with `root` itself on the walk's path; a missing
// root visits nothing.
template <typename Visitor>
void WalkTree(const std::string& root, Visitor& visitor) {
  const auto id = IdentityOf(root);
  if (!id) return;
  WalkPath path;
  path.Push(*id);
  Walk(root, path, visitor);
}

}  // namespace package
