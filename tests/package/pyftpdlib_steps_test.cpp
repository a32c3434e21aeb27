#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "package/config_rom.h"
#include "package/mid_files.h"
#include "package/tree_upload.h"
#include "tests/package/steps_rig.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_tree.h"

namespace {

using ::testing::Contains;
using Content = std::map<std::string, std::string>;
using testsupport::Pattern;
using testsupport::Pyftpd;

// The simulator's command server with a stock FTP server over the same folder: MID folders,
// both trees and one slot's images arrive as a real server stores them.
TEST(PackageStepsOverPyftpdlib, MidFilesTreesAndOneSlotArriveThroughARealServer) {
  std::unique_ptr<Pyftpd> server;
  vxtest::StepsRig rig({}, [&server](const std::filesystem::path& root) {
    server = std::make_unique<Pyftpd>(root);
    return server->Port();
  });
  ASSERT_NE(server->Port(), 0) << "pyftpdlib did not start";
  ASSERT_TRUE(rig.connected);

  rig.package.File("MainFrame/boot.bin", Pattern(300'000));
  rig.package.File("MainFrame/fonts/f.ttf", Pattern(5000));
  rig.package.File("MainFrame/sys.rpd", "never");
  rig.package.File("Target/RKS5/data.bin", Pattern(1234));
  rig.package.File("Target/RKS5/SIGNAL/s.bin", "signal");
  rig.package.File("Target/RKS5/FLEX/rks5.rpd", Pattern(4096));
  rig.modules = {{4, "RKS5", false, {"rks5.rpd"}}};

  ASSERT_TRUE(package::MakeMIDFiles(rig.Context()));
  rig.session.FtpClient.Mode(2);
  package::CountFiles(rig.release, rig.package.Path("Target"), rig.Context().counters);
  package::CountFiles(rig.release, rig.package.Path("MainFrame"), rig.Context().counters);
  ASSERT_TRUE(package::CopyTree(rig.Context(), rig.package.Path("MainFrame"), "/F0:/SYSTEM"));
  ASSERT_TRUE(package::CopyModule(rig.Context(), rig.modules[0]));
  ASSERT_TRUE(package::ProgramConfigROM(rig.Context(), 1));

  // Under TYPE A this server stores its own line end.
  EXPECT_EQ(testsupport::TreeContent(rig.F0()), (Content{
                                                    {"SYSTEM/", ""},
                                                    {"SYSTEM/MID4/", ""},
                                                    {"SYSTEM/MID4/NAME", "RKS5\n"},
                                                    {"SYSTEM/boot.bin", Pattern(300'000)},
                                                    {"SYSTEM/fonts/", ""},
                                                    {"SYSTEM/fonts/f.ttf", Pattern(5000)},
                                                    {"RKS5/", ""},
                                                    {"RKS5/data.bin", Pattern(1234)},
                                                    {"RKS5/FLEX/", ""},
                                                }));
  EXPECT_TRUE(std::filesystem::is_empty(rig.N0()));
  EXPECT_THAT(rig.view.log, Contains("Done"));
  EXPECT_TRUE(rig.view.messages.empty());
  EXPECT_EQ(rig.view.progress.position, package::ProgressPosition(rig.copiedBytes, rig.totalBytes));
}

}  // namespace
