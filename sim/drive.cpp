#include "sim/drive.h"

#include <vector>

namespace sim {
namespace {

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

bool IsDrive(std::string_view part) {
  return part.size() >= 2 && part.back() == ':' && part.find('/') == std::string_view::npos;
}

}  // namespace

Drive::Drive(std::filesystem::path root) : root_(std::move(root)) {}

std::optional<std::string> Drive::Normalize(std::string_view path, std::string_view cwd) const {
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
  return local;
}

}  // namespace sim
