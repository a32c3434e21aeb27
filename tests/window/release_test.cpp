#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCheckBox>

#include <map>
#include <string>

#include "app/window/main_window.h"
#include "package/local_names.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_tree.h"

namespace {

using testsupport::MakeSampleRelease;

TEST(SampleRelease, IsAPackageTheWindowReadsWithTheProgramCopiedIn) {
  testsupport::TempTree tree;
  tree.File("build/vxupgrade", "#!/bin/sh\n");
  tree.Link("build/vxupgrade", "program-link");
  ASSERT_EQ(MakeSampleRelease(tree.Path("release"), tree.Path("program-link")), 0);

  struct stat st {};
  ASSERT_EQ(::lstat(tree.Path("release/vxupgrade").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "the program must be a copy, not a link";
  EXPECT_TRUE(st.st_mode & S_IXUSR);

  TfrmMain window(TfrmMain::kCommandPort, TfrmMain::kFtpPort, tree.Path("release"));
  std::map<std::string, std::string> modules;
  for (const auto& m : window.moduleList) {
    std::string images;
    for (const auto& image : m.rpdFile) {
      if (image.empty()) continue;
      images += image + " ";
      EXPECT_TRUE(package::ResolveLocalPath(window.appDir, {"Target", m.name, "FLEX", image}))
          << image;
    }
    modules[std::to_string(m.id) + " " + m.name + (m.hasSignal ? " +sig" : "")] = images;
  }
  EXPECT_EQ(modules, (std::map<std::string, std::string>{{"1 PNB5", ""},
                                                         {"2 PCWX5", "pcwx5_0.rpd pcwx5_1.rpd "},
                                                         {"3 RKS5", "rks5.rpd "},
                                                         {"4 SCWH5", ""},
                                                         {"5 NQRM5 +sig", ""}}));
  EXPECT_TRUE(window.cbPNB5->isEnabled());
  EXPECT_TRUE(window.cbPCWX5->isEnabled());
  EXPECT_TRUE(window.cbSCWH5->isEnabled());
  EXPECT_FALSE(window.cbPCW5->isEnabled());
  EXPECT_FALSE(window.cbSCW5->isEnabled());
  EXPECT_TRUE(package::ResolveLocalPath(window.appDir, {"MainFrame", "LOGO", "logo.bmp"}));

  // A second run replaces its own earlier release, but never an unrelated folder.
  EXPECT_EQ(MakeSampleRelease(tree.Path("release"), tree.Path("build/vxupgrade")), 0);
  tree.File("other/keep.txt");
  EXPECT_NE(MakeSampleRelease(tree.Path("other"), tree.Path("build/vxupgrade")), 0);
  EXPECT_TRUE(package::FindLocalEntry(tree.Path("other"), "keep.txt"));
}

}  // namespace
