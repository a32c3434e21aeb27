#include "upgrade/utilities.h"

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) {
    folder = "/";
    name = path;
    return;
  }
  folder = path.substr(0, slash + 1);
  name = path.substr(slash + 1);
}

std::string ProgramFilePath() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    throw std::runtime_error("Cannot find the program file (/proc/self/exe): " + error.message());
  }
  return path.string();
}

std::string ReleaseFolder(const std::string& packageDir) {
  if (!packageDir.empty()) return packageDir.ends_with('/') ? packageDir : packageDir + "/";
  std::string folder, programName;
  SplitPath(ProgramFilePath(), folder, programName);
  return folder;
}
