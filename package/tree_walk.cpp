#include "package/tree_walk.h"

#include <algorithm>

namespace package {

TreeVisits::Seen TreeVisits::Classify(const FolderId& id) const {
  if (std::find(path_.begin(), path_.end(), id) != path_.end()) return Seen::kOnPath;
  return entered_.contains(id) ? Seen::kBefore : Seen::kNew;
}

void TreeVisits::Push(const FolderId& id, const std::string& path) {
  path_.push_back(id);
  entered_.emplace(id, path);
}

}  // namespace package
