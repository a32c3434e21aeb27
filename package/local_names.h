#pragma once

#include <dirent.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace package {

// A local folder or file exists but cannot be read; the text names the path and the cause.
class LocalFsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Joins a folder and a name with exactly one "/" between them.
std::string JoinLocalPath(std::string_view folder, std::string_view name);

// True when the two names are equal without regard to ASCII letter case.
bool SameNameIgnoringCase(std::string_view a, std::string_view b);

// Finds the entry of `folder` that is called `name`, without regard to ASCII letter case:
// an exact match wins, else the first match in byte order. Returns the name as it is on
// disk, or nothing when the folder or the entry does not exist. A name that cannot be a
// single entry ("", ".", "..", one holding "/") finds nothing. Throws LocalFsError when the
// folder exists but cannot be read.
std::optional<std::string> FindLocalEntry(const std::string& folder, std::string_view name);

// Follows `names` from `base` one entry at a time with FindLocalEntry; returns the full path
// as spelled on disk, or nothing when a step is missing.
std::optional<std::string> ResolveLocalPath(const std::string& base,
                                            std::initializer_list<std::string_view> names);

enum class EntryKind {
  kFile,    // a regular file, or a link to one
  kFolder,  // a folder, or a link to one
  kOther,   // FIFO, socket, device node (or a link to one)
  kBroken,  // a link whose target does not exist
};

// One entry of a local folder; `size` is the byte size for files, else 0; `link` tells that
// the entry itself is a symbolic link (its kind is that of its target).
struct LocalEntry {
  std::string name;
  EntryKind kind = EntryKind::kOther;
  std::uint64_t size = 0;
  bool link = false;
};

// Lists a folder in the order the file system yields its entries, without "." and "..";
// links are followed to decide the kind. Nothing when the folder does not exist (or is not
// a folder); LocalFsError when it exists but cannot be read.
std::optional<std::vector<LocalEntry>> ListLocalFolder(const std::string& folder);
// The same for the folder open in `dir`, whose path `folder` names it in errors.
std::vector<LocalEntry> ListOpenFolder(DIR* dir, const std::string& folder);

// Kind of the entry at `path`, following links; nothing when there is no such entry.
// Throws LocalFsError for any other failure to examine it.
std::optional<EntryKind> LocalEntryKind(const std::string& path);

// True when the real path `path` is the real folder `folder` or lies below it.
bool IsWithinFolder(std::string_view path, std::string_view folder);

}  // namespace package
