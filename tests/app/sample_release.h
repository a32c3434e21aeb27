#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

namespace vxtest {

// Runs scripts/make_release.sh OUT PROGRAM quietly; returns its exit status (-1 when it could
// not run).
inline int MakeRelease(const std::string& out, const std::string& program) {
  const char* source = std::getenv("VX_SOURCE_DIR");
  EXPECT_NE(source, nullptr) << "VX_SOURCE_DIR is not set";
  if (source == nullptr) return -1;
  const std::string command = "bash '" + std::string(source) + "/scripts/make_release.sh' '" + out +
                              "' '" + program + "' >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vxtest
