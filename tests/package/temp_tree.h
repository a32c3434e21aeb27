#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vxtest {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at scope exit.
class TempTree {
 public:
  TempTree() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vxtest-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
    root_ = pattern;
  }
  ~TempTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  // The folder itself, ending in "/" like the package folder does.
  std::string Dir() const { return root_.string() + "/"; }
  std::string Path(const std::string& relative) const { return (root_ / relative).string(); }

  // Makes a folder (and its parents) below the root.
  void Folder(const std::string& relative) const {
    std::filesystem::create_directories(root_ / relative);
  }

  // Writes a file below the root, making its parent folders.
  void File(const std::string& relative, const std::string& content = "x") const {
    const auto path = root_ / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }

  // Makes a symbolic link at `relative` pointing to `target` (taken as written).
  void Link(const std::string& target, const std::string& relative) const {
    std::filesystem::create_symlink(target, root_ / relative);
  }

 private:
  std::filesystem::path root_;
};

}  // namespace vxtest
