#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// The size of "/F0:/" when a scenario gives none, and the size of "N0:".
inline constexpr std::uint64_t kDefaultTotalBytes = 64ull << 20;
inline constexpr std::uint64_t kN0TotalBytes = 8ull << 20;

// What a scenario says of the flash drive "/F0:/". With both figures, used = total - free,
// whatever is stored; with one or none, used is what is stored under F0: and the other figure
// follows (total defaults to kDefaultTotalBytes).
struct DriveCapacity {
  std::optional<std::uint64_t> totalBytes;
  std::optional<std::uint64_t> freeBytes;
};

// The two figures a drive's catalogue begins with.
struct DriveUsage {
  std::uint64_t used = 0;
  std::uint64_t free = 0;
};

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

  // The catalogue figures of the drive named `drive` ("F0:", "N0:"): N0: holds kN0TotalBytes,
  // every other drive reports the figures of F0: under `flash`.
  DriveUsage Usage(std::string_view drive, const DriveCapacity& flash) const;

  // How many bytes a store may write into `file` (a local path under the root, links followed;
  // an existing file there is replaced and frees its size) without taking its drive past what
  // the catalogue reports, nor the files on the drive past its total.
  std::uint64_t RoomFor(const std::filesystem::path& file, const DriveCapacity& flash) const;

 private:
  std::filesystem::path root_;
};

}  // namespace sim
