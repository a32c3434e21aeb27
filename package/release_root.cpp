#include "package/release_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "net/text.h"
#include "package/package_context.h"

namespace package {
namespace {

[[noreturn]] void ThrowFsError(const std::string& what, const std::string& path, int error) {
  throw LocalFsError(what + " " + net::PrintableText(path) + ": " + std::strerror(error));
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Opens `name` in `parent` as an O_PATH descriptor and examines it; -1 in `entry.fd` with
// errno set when that fails.
void OpenPath(int parent, const char* name, int flags, ReleaseEntry& entry) {
  entry.fd.Reset(::openat(parent, name, O_PATH | O_CLOEXEC | flags));
  if (entry.fd && ::fstat(entry.fd.Get(), &entry.info) != 0) {
    const int error = errno;
    entry.fd.Reset();
    errno = error;
  }
}

}  // namespace

EntryKind ReleaseEntry::Kind() const {
  if (S_ISREG(info.st_mode)) return EntryKind::kFile;
  if (S_ISDIR(info.st_mode)) return EntryKind::kFolder;
  return EntryKind::kOther;
}

ReleaseRoot::ReleaseRoot(std::string appDir) : appDir_(std::move(appDir)) {
  if (appDir_.empty() || appDir_.back() != '/') appDir_ += '/';
  OpenPath(AT_FDCWD, appDir_.c_str(), O_DIRECTORY, root_);
  if (!root_.fd) ThrowFsError("Cannot open the release folder", appDir_, errno);
  realPath_ = PathOfDescriptor(root_.fd.Get(), appDir_);
}

std::optional<ReleaseEntry> ReleaseRoot::OpenAt(const ReleaseEntry& parent, const std::string& name,
                                                const std::string& path) const {
  ReleaseEntry entry;
  OpenPath(parent.fd.Get(), name.c_str(), O_NOFOLLOW, entry);
  if (!entry.fd) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    ThrowFsError("Cannot open", path, errno);
  }
  if (!S_ISLNK(entry.info.st_mode)) return entry;

  // A link: followed, and judged by where the opened descriptor lies, never by a path looked
  // at before (the link may have been swapped since the release was checked).
  entry.link = true;
  OpenPath(parent.fd.Get(), name.c_str(), 0, entry);
  if (!entry.fd) {
    if (errno == ENOENT || errno == ELOOP) throw LocalFsError(BrokenLinkText(path));
    ThrowFsError("Cannot open", path, errno);
  }
  const std::string real = PathOfDescriptor(entry.fd.Get(), path);
  if (!IsWithinFolder(real, realPath_)) {
    throw LocalFsError("Refused to send " + net::PrintableText(path) +
                       ": it leads out of the release folder, to " + net::PrintableText(real));
  }
  return entry;
}

std::optional<ReleaseEntry> ReleaseRoot::Open(const std::string& path) const {
  if (!path.starts_with(appDir_) && path + "/" != appDir_) {
    throw LocalFsError(net::PrintableText(path) + " does not lie in the release folder " +
                       net::PrintableText(appDir_));
  }
  ReleaseEntry current;
  current.fd.Reset(::fcntl(root_.fd.Get(), F_DUPFD_CLOEXEC, 0));
  if (!current.fd) ThrowFsError("Cannot open", appDir_, errno);
  current.info = root_.info;
  std::string reached = appDir_;
  std::string_view rest = path.size() > appDir_.size() ? std::string_view(path).substr(appDir_.size())
                                                       : std::string_view();
  while (!rest.empty()) {
    const auto slash = rest.find('/');
    const std::string name(rest.substr(0, slash));
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (name.empty()) continue;
    if (current.Kind() != EntryKind::kFolder) return std::nullopt;
    reached = JoinLocalPath(reached, name);
    auto next = OpenAt(current, name, reached);
    if (!next) return std::nullopt;
    current = std::move(*next);
  }
  return current;
}

std::optional<std::string> ReleaseRoot::Find(const ReleaseEntry& folder, std::string_view name,
                                             const std::string& folderPath) const {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string exact(name);
  struct stat st {};
  if (::fstatat(folder.fd.Get(), exact.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return exact;
  if (errno != ENOENT && errno != ENOTDIR) {
    ThrowFsError("Cannot examine", JoinLocalPath(folderPath, name), errno);
  }
  if (folder.Kind() != EntryKind::kFolder) return std::nullopt;
  std::optional<std::string> best;
  for (const LocalEntry& entry : ListFolder(folder, folderPath)) {
    if (SameNameIgnoringCase(entry.name, name) && (!best || entry.name < *best)) best = entry.name;
  }
  return best;
}

std::vector<LocalEntry> ListFolder(const ReleaseEntry& folder, const std::string& path) {
  net::UniqueFd readable(::openat(folder.fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!readable) ThrowFsError("Cannot read folder", path, errno);
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(readable.Get()));
  if (!dir) ThrowFsError("Cannot read folder", path, errno);
  readable.Release();
  return ListOpenFolder(dir.get(), path);
}

net::UniqueFd OpenForReading(const ReleaseEntry& file, const std::string& path) {
  // Reopening the O_PATH descriptor through /proc opens the very file it holds.
  const std::string self = "/proc/self/fd/" + std::to_string(file.fd.Get());
  net::UniqueFd readable(::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!readable) ThrowFsError("Cannot read", path, errno);
  return readable;
}

std::string PathOfDescriptor(int fd, const std::string& path) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  char buffer[PATH_MAX + 1];
  const ssize_t n = ::readlink(self.c_str(), buffer, sizeof buffer);
  if (n < 0) ThrowFsError("Cannot resolve", path, errno);
  if (static_cast<std::size_t>(n) >= sizeof buffer) ThrowFsError("Cannot resolve", path, ENAMETOOLONG);
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace package
