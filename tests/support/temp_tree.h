#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at scope exit.
class TempTree {
 public:
  // Raises std::runtime_error when no folder can be made.
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  // The folder itself.
  const std::filesystem::path& Path() const { return root_; }
  // The path of `relative` below the folder, as text.
  std::string Path(const std::string& relative) const { return (root_ / relative).string(); }
  // The folder as text ending in "/", as the package folder does.
  std::string Dir() const { return root_.string() + "/"; }

  // Makes a folder (and its parents) below the root.
  void Folder(const std::string& relative) const;
  // Writes a file below the root, making its parent folders.
  void File(const std::string& relative, const std::string& content = "x") const;
  // Makes a symbolic link at `relative` pointing to `target` (taken as written).
  void Link(const std::string& target, const std::string& relative) const;

 private:
  std::filesystem::path root_;
};

// Sets the temporary-folder variables TEMP, TMP and TMPDIR (nothing: unset) for one scope and
// puts the old values back after it.
class TempVariables {
 public:
  TempVariables(std::optional<std::string> temp, std::optional<std::string> tmp,
                std::optional<std::string> tmpdir);
  ~TempVariables();
  TempVariables(const TempVariables&) = delete;
  TempVariables& operator=(const TempVariables&) = delete;

 private:
  void Set(const std::string& name, const std::optional<std::string>& value);
  std::map<std::string, std::optional<std::string>> saved_;
};

// Writes `bytes` into the file at `path`, making its folders.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// The bytes of the file at `path`; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

// Bytes that differ from position to position, so a lost or repeated block shows.
std::string Pattern(std::size_t size);

// Makes `path` a sparse file of `size` zero bytes, larger than any socket buffer without using
// the disk; its path as text, or empty when it cannot be made.
std::string SparseFile(const std::filesystem::path& path, off_t size);

// Every file (relative path -> content) and folder (relative path + "/" -> "") below `root`,
// a link under its own name; nothing when `root` does not exist.
std::map<std::string, std::string> TreeContent(const std::filesystem::path& root);

// Every entry below `root`, as paths relative to it (a link under its own name).
std::set<std::string> TreeEntries(const std::filesystem::path& root);

// The entries directly in a folder, each with the contents of a file or "(not a file)".
using FolderContents = std::set<std::pair<std::string, std::string>>;
FolderContents Contents(const std::filesystem::path& folder);

}  // namespace testsupport
