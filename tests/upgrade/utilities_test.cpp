#include "upgrade/utilities.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SplitPath, SplitsAtTheLastSlashWithoutLengthLimit) {
  const std::string deep = "/" + std::string(300, 'd') + "/" + std::string(200, 'n');
  struct Case {
    std::string path, folder, name;
  } cases[] = {
      {"/opt/release/vxupgrade", "/opt/release/", "vxupgrade"},
      {"/vxupgrade", "/", "vxupgrade"},
      {"vxupgrade", "/", "vxupgrade"},
      {"/opt/release/", "/opt/release/", ""},
      {"", "/", ""},
      {"/a b/c.d/e f", "/a b/c.d/", "e f"},
      {deep, "/" + std::string(300, 'd') + "/", std::string(200, 'n')},
  };
  for (const auto& c : cases) {
    std::string folder = "old", name = "old";
    SplitPath(c.path, folder, name);
    EXPECT_EQ(folder, c.folder) << c.path;
    EXPECT_EQ(name, c.name) << c.path;
  }
}

TEST(ProgramFilePath, IsTheRealPathOfThisProgram) {
  const std::string path = ProgramFilePath();
  EXPECT_TRUE(path.starts_with('/')) << path;
  EXPECT_TRUE(path.ends_with("/upgrade_tests")) << path;
}

}  // namespace
