#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// The instrument's drives as folders under one root: "/F0:/X" is ROOT/"F0:"/X and "N0:" is
// ROOT/"N0:" (the layout a stock FTP server serving ROOT shows). Drive paths are valid from
// any current folder; other paths are relative to the current folder. "//" collapses to "/",
// and no path may leave the root, nor may a link inside it.
class Drive {
 public:
  explicit Drive(std::filesystem::path root);

  const std::filesystem::path& Root() const { return root_; }

  // Makes the folders of the drives F0: and N0: when missing and, with `systemFolder`, the
  // folder "/F0:/SYSTEM" that every instrument has.
  void Prepare(bool systemFolder) const;

  // Normalises an instrument path against `cwd` (itself an instrument path such as "/F0:/" or
  // "N0:") into its canonical instrument form ("/F0:/SYSTEM/MID1", "N0:", "N0:/x.rpd").
  // Gives nothing when the path would leave the root, names a drive other than letters and
  // digits before the colon, or holds a NUL.
  std::optional<std::string> Normalize(std::string_view path, std::string_view cwd) const;

  // The local path of an instrument path, when it stays under the root with every link on the
  // way followed (a link whose target is missing counts as leaving). Both servers resolve
  // every path through this.
  std::optional<std::filesystem::path> Resolve(std::string_view path, std::string_view cwd) const;

 private:
  std::filesystem::path root_;
};

}  // namespace sim
