#include "package/mid_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "instrument/instrument_errors.h"
#include "tests/package/steps_rig.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Lines = std::vector<std::string>;

package::tModuleList Module(int id, const std::string& name) {
  package::tModuleList m;
  m.id = id;
  m.name = name;
  return m;
}

TEST(TemporaryFolder, TempThenTmpThenTmpdirThenSlashTmp) {
  using V = std::optional<std::string>;
  struct Case {
    V temp, tmp, tmpdir;
    std::string folder;
  } cases[] = {
      {"/a", "/b", "/c", "/a"},
      {std::nullopt, "/b", "/c", "/b"},
      {"", "/b", "/c", "/b"},  // an empty variable counts as unset
      {std::nullopt, std::nullopt, "/c", "/c"},
      {std::nullopt, std::nullopt, std::nullopt, "/tmp"},
  };
  for (const auto& c : cases) {
    testsupport::TempVariables vars(c.temp, c.tmp, c.tmpdir);
    EXPECT_EQ(package::TemporaryFolder(), c.folder);
  }
}

TEST(MakeMIDFiles, MakesMissingFoldersAndNameFilesAndLeavesExistingOnesAlone) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  testsupport::TempTree temp;
  testsupport::TempVariables vars(temp.Path().string(), std::nullopt, std::nullopt);
  testsupport::WriteFile(rig.F0() / "SYSTEM/MID7/NAME", "old content");
  std::filesystem::create_directories(rig.F0() / "SYSTEM/MID8");
  rig.modules = {Module(1, "PNB5"), Module(-2, ""), Module(1, "DUPLICATE"), Module(7, "RKS5"),
                 Module(8, "SCW5")};

  ASSERT_TRUE(package::MakeMIDFiles(rig.Context()));

  const std::map<std::string, std::string> expected = {
      {"MID1/", ""}, {"MID1/NAME", "PNB5\r\n"},    {"MID-2/", ""}, {"MID-2/NAME", "\r\n"},
      {"MID7/", ""}, {"MID7/NAME", "old content"}, {"MID8/", ""},  {"MID8/NAME", "SCW5\r\n"},
  };
  EXPECT_EQ(testsupport::TreeContent(rig.F0() / "SYSTEM"), expected);
  EXPECT_THAT(rig.FtpLines(),
              ElementsAre("TYPE A", "PORT *", "STOR /F0:/SYSTEM/MID1/NAME", "PORT *",
                          "STOR /F0:/SYSTEM/MID-2/NAME", "PORT *", "STOR /F0:/SYSTEM/MID8/NAME"));
  // Folders are made in list order, each looked for first.
  EXPECT_EQ(testsupport::LinesStarting(rig.instrument.CommandLines(), "MMEM:MDIR"),
            (Lines{"MMEM:MDIR \"MID1\"", "MMEM:MDIR \"MID-2\""}));
  EXPECT_THAT(rig.view.log, IsEmpty());
  // No temporary file is left behind.
  EXPECT_TRUE(std::filesystem::is_empty(temp.Path()));
}

TEST(MakeMIDFiles, WithoutTheSystemFolderTheFirstModuleFails) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  std::filesystem::remove_all(rig.F0() / "SYSTEM");
  rig.modules = {Module(1, "PNB5"), Module(2, "RKS5")};
  EXPECT_FALSE(package::MakeMIDFiles(rig.Context()));
  EXPECT_EQ(rig.FtpLines(), Lines{"TYPE A"});
  for (const auto& line : rig.instrument.CommandLines())
    EXPECT_THAT(line, ::testing::Not(HasSubstr("MID2")));
}

TEST(MakeMIDFiles, ATemporaryFileThatCannotBeMadeLogsTwoLinesAndGoesOn) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  testsupport::TempVariables vars("/nonexistent-vx-temp", "/tmp", std::nullopt);
  rig.modules = {Module(1, "PNB5"), Module(2, "RKS5")};
  ASSERT_TRUE(package::MakeMIDFiles(rig.Context()));
  EXPECT_EQ(rig.view.log, (Lines{"*** ERROR ***", "Can't open temporary NAME file", "*** ERROR ***",
                                 "Can't open temporary NAME file"}));
  EXPECT_EQ(testsupport::TreeContent(rig.F0() / "SYSTEM"),
            (std::map<std::string, std::string>{{"MID1/", ""}, {"MID2/", ""}}));
  EXPECT_EQ(rig.FtpLines(), Lines{"TYPE A"});
}

TEST(MakeMIDFiles, AnEmptyModuleListIsAnErrorNamingThePackageFolderBeforeAnythingIsSent) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  try {
    package::MakeMIDFiles(rig.Context());
    FAIL() << "an empty module list went on";
  } catch (const package::PackageError& e) {
    EXPECT_THAT(e.what(), HasSubstr(rig.appDir));
  }
  EXPECT_THAT(rig.instrument.Transcript().Entries(), IsEmpty());
}

TEST(MakeMIDFiles, AnUnusableModuleNameAnywhereInTheListIsRefusedBeforeAnythingIsSent) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  rig.modules = {Module(1, "PNB5"), Module(2, "RK\r\nS5")};
  try {
    package::MakeMIDFiles(rig.Context());
    FAIL() << "an unusable module name was sent";
  } catch (const instrument::RefusedParameterError& e) {
    EXPECT_THAT(e.what(), HasSubstr("RK\\r\\nS5"));
  }
  EXPECT_THAT(rig.instrument.Transcript().Entries(), IsEmpty());
}

}  // namespace
