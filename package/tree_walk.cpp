#include "package/tree_walk.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace package {

std::optional<FolderId> IdentityOf(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return FolderId{st.st_dev, st.st_ino};
  if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
  throw LocalFsError("Cannot examine " + folder + ": " + std::strerror(errno));
}

bool WalkPath::Contains(const FolderId& id) const {
  return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
}

}  // namespace package
