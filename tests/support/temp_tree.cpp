#include "tests/support/temp_tree.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "net/unique_fd.h"

namespace testsupport {

namespace fs = std::filesystem;

TempTree::TempTree() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vxtest-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed for " + pattern);
  root_ = pattern;
}

TempTree::~TempTree() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void TempTree::Folder(const std::string& relative) const {
  fs::create_directories(root_ / relative);
}

void TempTree::File(const std::string& relative, const std::string& content) const {
  WriteFile(root_ / relative, content);
}

void TempTree::Link(const std::string& target, const std::string& relative) const {
  fs::create_symlink(target, root_ / relative);
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t x = 2463534242u;
  for (auto& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return bytes;
}

std::string SparseFile(const fs::path& path, off_t size) {
  net::UniqueFd f(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!f || ::ftruncate(f.Get(), size) != 0) return {};
  return path.string();
}

std::map<std::string, std::string> TreeContent(const fs::path& root) {
  std::map<std::string, std::string> out;
  if (!fs::exists(root)) return out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = entry.path().lexically_relative(root).string();
    if (entry.is_directory()) {
      out[relative + "/"] = "";
    } else {
      out[relative] = ReadFile(entry.path());
    }
  }
  return out;
}

std::set<std::string> TreeEntries(const fs::path& root) {
  std::set<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    entries.insert(entry.path().lexically_relative(root).string());
  }
  return entries;
}

FolderContents Contents(const fs::path& folder) {
  FolderContents out;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    out.emplace(name, entry.is_regular_file() ? ReadFile(entry.path()) : "(not a file)");
  }
  return out;
}

namespace {

void SetOrUnset(const std::string& name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name.c_str(), value->c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

}  // namespace

TempVariables::TempVariables(std::optional<std::string> temp, std::optional<std::string> tmp,
                             std::optional<std::string> tmpdir) {
  Set("TEMP", temp);
  Set("TMP", tmp);
  Set("TMPDIR", tmpdir);
}

TempVariables::~TempVariables() {
  for (const auto& [name, value] : saved_) SetOrUnset(name, value);
}

void TempVariables::Set(const std::string& name, const std::optional<std::string>& value) {
  const char* old = std::getenv(name.c_str());
  saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
  SetOrUnset(name, value);
}

}  // namespace testsupport
