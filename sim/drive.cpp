#include "sim/drive.h"

#include <algorithm>
#include <cctype>
#include <system_error>
#include <vector>

namespace sim {
namespace {

namespace fs = std::filesystem;

// Splits at "/" dropping empty parts and ".", resolving ".." (false if it climbs out).
bool Push(std::vector<std::string>& parts, std::string_view text) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('/', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view part = text.substr(pos, end - pos);
    if (part == "..") {
      if (parts.size() <= 1) return false;  // the drive itself is the top
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.emplace_back(part);
    }
    pos = end + 1;
  }
  return true;
}

// A drive name: letters and digits, then a colon ("F0:", "N0:").
bool IsDrive(std::string_view part) {
  if (part.size() < 2 || part.back() != ':') return false;
  part.remove_suffix(1);
  return std::all_of(part.begin(), part.end(),
                     [](unsigned char c) { return std::isalnum(c) != 0; });
}

// True when `local`, a path under `root` spelt without "." or "..", stays under the root once
// every link on its way is followed. A dangling link or a loop counts as leaving, since
// creating through it would land wherever it points.
bool StaysUnderRoot(const fs::path& root, const fs::path& local) {
  std::error_code ec;
  fs::path realRoot = fs::canonical(root, ec);
  if (ec) return false;
  // The longest leading part that exists (a link counts, even a dangling one); what follows
  // it does not exist, so it holds no link.
  fs::path existing = local;
  while (!fs::exists(fs::symlink_status(existing, ec)) && existing.has_relative_path())
    existing = existing.parent_path();
  fs::path real = fs::canonical(existing, ec);
  if (ec) return false;
  fs::path rel = real.lexically_relative(realRoot);
  return !rel.empty() && *rel.begin() != "..";
}

// Bytes of the regular files below `folder`.
std::uint64_t StoredBytes(const fs::path& folder) {
  std::uint64_t total = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator
           it(folder, fs::directory_options::skip_permission_denied, ec),
       end;
       !ec && it != end; it.increment(ec)) {
    std::error_code sizeError;
    if (it->is_regular_file(sizeError)) {
      auto size = it->file_size(sizeError);
      if (!sizeError) total += size;
    }
  }
  return total;
}

std::uint64_t Less(std::uint64_t total, std::uint64_t used) {
  return total > used ? total - used : 0;
}

}  // namespace

Drive::Drive(std::filesystem::path root) : root_(std::move(root)) {}

void Drive::Prepare(bool systemFolder) const {
  fs::create_directories(root_ / "F0:");
  fs::create_directories(root_ / "N0:");
  if (systemFolder) fs::create_directories(root_ / "F0:" / "SYSTEM");
}

std::optional<std::string> Drive::Normalize(std::string_view path, std::string_view cwd) const {
  // The system calls end a path at a NUL: "/F0:/..\0x" would be "/F0:/.." to them.
  if (path.find('\0') != std::string_view::npos || cwd.find('\0') != std::string_view::npos)
    return std::nullopt;
  std::vector<std::string> parts;
  auto stripLeading = [](std::string_view p) {
    while (!p.empty() && p.front() == '/') p.remove_prefix(1);
    return p;
  };
  std::string_view p = stripLeading(path);
  size_t firstEnd = p.find('/');
  std::string_view first = p.substr(0, firstEnd);
  // "N0:image.rpd": the drive written directly in front of a name, as CONF:FPGA names images.
  size_t colon = first.find(':');
  if (!IsDrive(first) && colon != std::string_view::npos && colon > 0) {
    first = first.substr(0, colon + 1);
    firstEnd = colon;
  }
  if (IsDrive(first)) {
    parts.emplace_back(first);
    if (firstEnd != std::string_view::npos && !Push(parts, p.substr(firstEnd + 1)))
      return std::nullopt;
  } else {
    std::string_view c = stripLeading(cwd);
    size_t cEnd = c.find('/');
    std::string_view drive = c.substr(0, cEnd);
    if (!IsDrive(drive)) return std::nullopt;
    parts.emplace_back(drive);
    if (cEnd != std::string_view::npos && !Push(parts, c.substr(cEnd + 1))) return std::nullopt;
    if (!Push(parts, p)) return std::nullopt;
  }
  std::string out;
  if (parts.front() == "F0:") out = "/";
  out += parts.front();
  if (parts.size() == 1) {
    if (out.front() == '/') out += '/';
    return out;
  }
  for (size_t i = 1; i < parts.size(); ++i) out += "/" + parts[i];
  return out;
}

std::optional<std::filesystem::path> Drive::Resolve(std::string_view path,
                                                    std::string_view cwd) const {
  auto norm = Normalize(path, cwd);
  if (!norm) return std::nullopt;
  std::string_view n = *norm;
  while (!n.empty() && n.front() == '/') n.remove_prefix(1);
  std::filesystem::path local = root_;
  size_t pos = 0;
  while (pos <= n.size()) {
    size_t end = n.find('/', pos);
    if (end == std::string_view::npos) end = n.size();
    if (end > pos) local /= std::string(n.substr(pos, end - pos));
    pos = end + 1;
  }
  if (!StaysUnderRoot(root_, local)) return std::nullopt;
  return local;
}

DriveUsage Drive::Usage(std::string_view drive, const DriveCapacity& flash) const {
  if (drive == "N0:") {
    std::uint64_t used = StoredBytes(root_ / "N0:");
    return {used, Less(kN0TotalBytes, used)};
  }
  if (flash.totalBytes && flash.freeBytes)
    return {Less(*flash.totalBytes, *flash.freeBytes), *flash.freeBytes};
  std::uint64_t used = StoredBytes(root_ / "F0:");
  if (flash.freeBytes) return {used, *flash.freeBytes};
  return {used, Less(flash.totalBytes.value_or(kDefaultTotalBytes), used)};
}

std::uint64_t Drive::RoomFor(const std::filesystem::path& file, const DriveCapacity& flash) const {
  std::error_code ec;
  fs::path rel = file.lexically_relative(fs::canonical(root_, ec));
  std::string drive = rel.empty() || ec ? std::string("F0:") : rel.begin()->string();
  std::uint64_t old = 0;
  if (fs::is_regular_file(file, ec)) {
    old = fs::file_size(file, ec);
    if (ec) old = 0;
  }
  std::uint64_t room = Usage(drive, flash).free + old;
  // With fixed figures the catalogue never changes, so the drive's own total bounds what its
  // files may add up to; with a fixed free figure alone the drive has no total.
  std::optional<std::uint64_t> total;
  if (drive == "N0:")
    total = kN0TotalBytes;
  else if (flash.totalBytes || !flash.freeBytes)
    total = flash.totalBytes.value_or(kDefaultTotalBytes);
  if (total) room = std::min(room, Less(*total + old, StoredBytes(root_ / drive)));
  return room;
}

}  // namespace sim
