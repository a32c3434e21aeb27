#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "net/file_stamp.h"
#include "package/release_root.h"

namespace package {

// The SHA-256 of a release, in hexadecimal: over every file of its MainFrame and Target trees
// (as the copy walks them: names beginning with "." passed over, links within the release
// followed, each folder once) and its manifest, in byte order of their paths relative to the
// release folder; for each file its path, a NUL byte, its size in decimal, a NUL byte and its
// contents. Also gives the count and bytes, and the stamp of each file as it was read (by its
// full path, as the copy names it), so that a file sent later can be told to be the one
// digested. A file that changed while it was read has no stamp.
struct ReleaseDigest {
  std::string sha256;
  std::int64_t files = 0;
  std::int64_t bytes = 0;
  std::map<std::string, net::FileStamp> stamps;
};

// Reads the whole release from its root descriptor. `stop` is asked between files: when it is
// true the digest raises WalkStopped. LocalFsError for a file that cannot be read.
ReleaseDigest DigestRelease(const ReleaseRoot& release, const std::function<bool()>& stop = {});

}  // namespace package
