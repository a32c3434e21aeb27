#include "package/tree_walk.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/text.h"

namespace package {

std::optional<FolderId> IdentityOf(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) return FolderId{st.st_dev, st.st_ino};
  const int error = errno;
  if (error == ENOENT || error == ENOTDIR) return std::nullopt;
  throw LocalFsError("Cannot examine " + net::PrintableText(folder) + ": " + std::strerror(error));
}

bool WalkPath::Contains(const FolderId& id) const {
  return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
}

}  // namespace package
