#include "package/local_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "net/text.h"

namespace package {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

[[noreturn]] void ThrowFsError(const std::string& what, const std::string& path, int error) {
  throw LocalFsError(what + " " + net::PrintableText(path) + ": " + std::strerror(error));
}

// "Missing" is only an entry that is not there; anything else is a real failure.
bool IsMissing(int error) {
  return error == ENOENT || error == ENOTDIR;
}

// A link whose target is gone, or a link that leads back to itself.
bool IsDanglingTarget(int error) {
  return error == ENOENT || error == ELOOP;
}

EntryKind KindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return EntryKind::kFile;
  if (S_ISDIR(st.st_mode)) return EntryKind::kFolder;
  return EntryKind::kOther;
}

// Opens a folder for listing; null when it does not exist.
UniqueDir OpenFolder(const std::string& folder) {
  UniqueDir dir(::opendir(folder.c_str()));
  if (!dir && !IsMissing(errno)) ThrowFsError("Cannot read folder", folder, errno);
  return dir;
}

// Calls `visit(name, type)` for every entry except "." and "..", in file-system order; `type`
// is the entry's d_type (DT_UNKNOWN where the file system does not tell).
template <typename Visit>
void ForEachName(DIR* dir, const std::string& folder, Visit visit) {
  for (;;) {
    errno = 0;
    const dirent* ent = ::readdir(dir);
    if (ent == nullptr) {
      if (errno != 0) ThrowFsError("Cannot read folder", folder, errno);
      return;
    }
    std::string_view name = ent->d_name;
    if (name == "." || name == "..") continue;
    visit(name, ent->d_type);
  }
}

}  // namespace

std::string JoinLocalPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::optional<std::string> FindLocalEntry(const std::string& folder, std::string_view name) {
  if (name.empty() || name == "." || name == ".." ||
      name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string exact = JoinLocalPath(folder, name);
  struct stat st {};
  if (::lstat(exact.c_str(), &st) == 0) return std::string(name);
  if (!IsMissing(errno)) ThrowFsError("Cannot examine", exact, errno);

  UniqueDir dir = OpenFolder(folder);
  if (!dir) return std::nullopt;
  std::optional<std::string> best;
  ForEachName(dir.get(), folder, [&](std::string_view entry, unsigned char) {
    if (SameNameIgnoringCase(entry, name) && (!best || entry < *best)) best = std::string(entry);
  });
  return best;
}

std::optional<std::string> ResolveLocalPath(const std::string& base,
                                            std::initializer_list<std::string_view> names) {
  std::string path = base;
  for (std::string_view name : names) {
    std::optional<std::string> found = FindLocalEntry(path, name);
    if (!found) return std::nullopt;
    path = JoinLocalPath(path, *found);
  }
  return path;
}

std::optional<EntryKind> LocalEntryKind(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return KindOf(st);
  const int error = errno;
  if (!IsMissing(error) && !IsDanglingTarget(error)) ThrowFsError("Cannot examine", path, error);
  if (::lstat(path.c_str(), &st) == 0) return EntryKind::kBroken;
  if (!IsMissing(errno)) ThrowFsError("Cannot examine", path, errno);
  return std::nullopt;
}

std::optional<std::vector<LocalEntry>> ListLocalFolder(const std::string& folder) {
  UniqueDir dir = OpenFolder(folder);
  if (!dir) return std::nullopt;
  return ListOpenFolder(dir.get(), folder);
}

std::vector<LocalEntry> ListOpenFolder(DIR* dir, const std::string& folder) {
  std::vector<LocalEntry> entries;
  ForEachName(dir, folder, [&](std::string_view name, unsigned char type) {
    LocalEntry entry{std::string(name), EntryKind::kOther, 0, type == DT_LNK};
    struct stat st {};
    const int fd = ::dirfd(dir);
    if (::fstatat(fd, entry.name.c_str(), &st, 0) == 0) {
      entry.kind = KindOf(st);
      if (entry.kind == EntryKind::kFile) entry.size = static_cast<std::uint64_t>(st.st_size);
      if (type == DT_UNKNOWN) {
        struct stat own {};
        entry.link = ::fstatat(fd, entry.name.c_str(), &own, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISLNK(own.st_mode);
      }
    } else if (IsDanglingTarget(errno) &&
               ::fstatat(fd, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      entry.kind = EntryKind::kBroken;
      entry.link = true;
    } else {
      ThrowFsError("Cannot examine", JoinLocalPath(folder, name), errno);
    }
    entries.push_back(std::move(entry));
  });
  return entries;
}

bool IsWithinFolder(std::string_view path, std::string_view folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  if (!path.starts_with(folder)) return false;
  if (path.size() == folder.size() || folder == "/") return true;
  return path[folder.size()] == '/';
}

}  // namespace package
