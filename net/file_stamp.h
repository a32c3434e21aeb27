#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace net {

// What tells one version of a file from another without reading it: the file itself (device
// and inode), its size and its last modification, to the nanosecond.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;
  bool operator==(const FileStamp&) const = default;
};

// The stamp of what `info` describes.
inline FileStamp StampOf(const struct stat& info) {
  return {info.st_dev, info.st_ino, static_cast<std::int64_t>(info.st_size),
          static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

// The stamp of the open file `fd`; nothing when it cannot be examined.
inline std::optional<FileStamp> StampOfFd(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return StampOf(info);
}

}  // namespace net
