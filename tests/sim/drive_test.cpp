#include <gtest/gtest.h>

#include "sim/drive.h"

namespace {

TEST(Drive, NormalizesDrivePathsFromAnyFolder) {
  sim::Drive d("/root");
  struct Case {
    const char* path;
    const char* cwd;
    const char* want;
  } cases[] = {
      {"/F0:/", "/F0:/", "/F0:/"},
      {"/F0://NQRM5", "N0:", "/F0:/NQRM5"},
      {"/F0:/SYSTEM/MID1", "/F0:/", "/F0:/SYSTEM/MID1"},
      {"N0:", "N0:", "N0:"},
      {"N0:", "/F0:/SYSTEM", "N0:"},
      {"image.rpd", "N0:", "N0:/image.rpd"},
      {"NAME", "/F0:/SYSTEM/MID1", "/F0:/SYSTEM/MID1/NAME"},
      {"../x", "/F0:/SYSTEM", "/F0:/x"},
      {"F0:/a", "N0:", "/F0:/a"},
      {"N0:image.rpd", "/F0:/SYSTEM", "N0:/image.rpd"},
      {"/F0:SYSTEM/MID1", "N0:", "/F0:/SYSTEM/MID1"},
  };
  for (const auto& c : cases) {
    auto n = d.Normalize(c.path, c.cwd);
    ASSERT_TRUE(n) << c.path;
    EXPECT_EQ(*n, c.want) << c.path << " from " << c.cwd;
  }
}

TEST(Drive, NeverLeavesTheRoot) {
  sim::Drive d("/root");
  EXPECT_FALSE(d.Normalize("/F0:/../../etc", "/F0:/"));
  EXPECT_FALSE(d.Normalize("..", "/F0:/"));
  EXPECT_FALSE(d.Normalize("x", "nodrive"));
  auto p = d.Resolve("/F0:/SYSTEM//MID1", "/F0:/");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->string(), "/root/F0:/SYSTEM/MID1");
  EXPECT_EQ(d.Resolve("N0:", "/F0:/")->string(), "/root/N0:");
}

}  // namespace
