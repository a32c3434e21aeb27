#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/unique_fd.h"
#include "package/local_names.h"

namespace package {

// A folder's identity on disk, so that a folder reached again through a link is recognised.
struct FolderId {
  dev_t device;
  ino_t inode;
  auto operator<=>(const FolderId&) const = default;
};

// One entry of the release, opened by descriptor and examined as it was opened: whatever
// happens to its path afterwards, what is read from it is the entry that was judged. The
// descriptor is an O_PATH one, so opening it never reads a FIFO or wakes a device.
struct ReleaseEntry {
  net::UniqueFd fd;
  struct stat info {};
  bool link = false;  // reached through a symbolic link

  EntryKind Kind() const;
  FolderId Id() const { return {info.st_dev, info.st_ino}; }
};

// The release folder, opened once; every entry the run reads (the trees it copies, the
// configuration images, the files it digests) is reached from this descriptor one name at a
// time, and a link is followed only to a target whose own path, as the kernel gives it for the
// opened descriptor, lies inside the release. Links inside the release work as before.
class ReleaseRoot {
 public:
  // Opens `appDir` (the release folder). Throws LocalFsError when it cannot be opened.
  explicit ReleaseRoot(std::string appDir);

  // The release folder as given, ending in "/".
  const std::string& AppDir() const { return appDir_; }
  // Its real path, as the opened folder has it.
  const std::string& RealPath() const { return realPath_; }
  const ReleaseEntry& Root() const { return root_; }

  // Opens the entry `name` of the open folder `parent`; `path` is the entry's full path, for
  // texts. Nothing when there is no such entry. A link is followed; LocalFsError when it
  // dangles or its target lies outside the release (the text names the path and the target).
  std::optional<ReleaseEntry> OpenAt(const ReleaseEntry& parent, const std::string& name,
                                     const std::string& path) const;

  // Opens `path`, which is AppDir() followed by names separated by "/", one name at a time
  // from the root as OpenAt does. Nothing when a step is missing or is not a folder.
  // LocalFsError when `path` does not lie in AppDir().
  std::optional<ReleaseEntry> Open(const std::string& path) const;

  // Finds the entry of the open folder `folder` (full path `folderPath`) called `name` without
  // regard to ASCII letter case, as FindLocalEntry does: an exact match wins, else the first
  // match in byte order. The name as on disk, or nothing.
  std::optional<std::string> Find(const ReleaseEntry& folder, std::string_view name,
                                  const std::string& folderPath) const;

 private:
  std::string appDir_;
  ReleaseEntry root_;
  std::string realPath_;
};

// The entries of the open folder `folder` (full path `path`), as ListLocalFolder gives them.
// LocalFsError when it cannot be read.
std::vector<LocalEntry> ListFolder(const ReleaseEntry& folder, const std::string& path);

// The open regular file `file` (full path `path`), opened for reading: the same file, never
// its path looked up again. LocalFsError when it cannot be read.
net::UniqueFd OpenForReading(const ReleaseEntry& file, const std::string& path);

// The path the kernel gives for the open descriptor `fd`. LocalFsError (naming `path`) when
// it cannot tell.
std::string PathOfDescriptor(int fd, const std::string& path);

}  // namespace package
