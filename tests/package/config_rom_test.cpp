#include "package/config_rom.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ftp/ftp_errors.h"
#include "instrument/instrument_errors.h"
#include "package/local_names.h"
#include "tests/package/steps_rig.h"
#include "tests/support/sim_instrument.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Lines = std::vector<std::string>;

package::tModuleList Module(const std::string& name, std::vector<std::string> images) {
  package::tModuleList m;
  m.id = 5;
  m.name = name;
  for (std::size_t i = 0; i < images.size(); ++i) m.rpdFile[i] = images[i];
  return m;
}

// The command lines of configuring `image` at `index` in slot 1.
Lines Configure(int index, const std::string& image) {
  return {"INST:NSEL 1", "SYSTEM:ERR?",
          "CONF:FPGA " + std::to_string(index) + ",\"N0:" + image + "\"", "SYSTEM:ERR?"};
}

Lines Joined(std::initializer_list<Lines> parts) {
  Lines all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(ProgramConfigROM, SendsConfiguresAndDeletesEachImageInIndexOrder) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  // On disk the first image is spelled in capitals; it travels under the manifest's name.
  rig.package.File("target/rks5/Flex/RKS5_A.RPD", "image a");
  rig.package.File("target/rks5/Flex/rks5_b.rpd", "image b");
  rig.modules = {Module("RKS5", {"rks5_a.rpd", "rks5_b.rpd"})};

  EXPECT_TRUE(package::ProgramConfigROM(rig.Context(), 1));

  EXPECT_EQ(rig.view.log,
            (Lines{"Start config rks5_a.rpd", "Done", "Start config rks5_b.rpd", "Done"}));
  EXPECT_EQ(rig.instrument.CommandLines(),
            Joined({Configure(0, "rks5_a.rpd"), Configure(1, "rks5_b.rpd")}));
  EXPECT_EQ(rig.FtpLines(), (Lines{"CWD N0:", "PORT *", "STOR rks5_a.rpd", "DELE rks5_a.rpd",
                                   "PORT *", "STOR rks5_b.rpd", "DELE rks5_b.rpd"}));
  EXPECT_TRUE(std::filesystem::is_empty(rig.N0()));
  EXPECT_TRUE(rig.view.messages.empty());
  // Across the two channels: each image is stored, then configured, then deleted.
  Lines order;
  for (const auto& entry : rig.instrument.Transcript().Entries()) {
    for (const char* verb : {"STOR ", "CONF:FPGA ", "DELE "})
      if (entry.line.rfind(verb, 0) == 0) order.push_back(entry.line);
  }
  EXPECT_EQ(order, (Lines{"STOR rks5_a.rpd", "CONF:FPGA 0,\"N0:rks5_a.rpd\"", "DELE rks5_a.rpd",
                          "STOR rks5_b.rpd", "CONF:FPGA 1,\"N0:rks5_b.rpd\"", "DELE rks5_b.rpd"}));
}

TEST(ProgramConfigROM, AFailedConfigurationGoesOnWithTheNextImage) {
  struct Case {
    int code;
    Lines firstLines;  // what the log shows after "Start config a.rpd"
  } cases[] = {
      {-200, {"ERROR, fail to config a.rpd", "  Confirm the H/W version."}},
      {-100, {"ERROR, fail to config a.rpd"}},
      {-241, {}},
  };
  for (const auto& c : cases) {
    vxtest::StepsRig rig(testsupport::ScenarioFromText(
        R"({"faults": [{"command": "CONF:FPGA", "image": "a.rpd", "times": 1, "error": )" +
        std::to_string(c.code) + "}]}"));
    ASSERT_TRUE(rig.connected);
    rig.package.File("Target/RKS5/FLEX/a.rpd", "image a");
    rig.package.File("Target/RKS5/FLEX/b.rpd", "image b");
    rig.modules = {Module("RKS5", {"a.rpd", "b.rpd"})};

    EXPECT_FALSE(package::ProgramConfigROM(rig.Context(), 1)) << c.code;

    Lines log = {"Start config a.rpd"};
    log.insert(log.end(), c.firstLines.begin(), c.firstLines.end());
    log.insert(log.end(), {"Start config b.rpd", "Done"});
    EXPECT_EQ(rig.view.log, log) << c.code;
    EXPECT_EQ(rig.FtpLinesStarting("DELE"), (Lines{"DELE a.rpd", "DELE b.rpd"})) << c.code;
    EXPECT_TRUE(std::filesystem::is_empty(rig.N0())) << c.code;
  }
}

// The release check found every image before connecting; one that is not a file when its
// turn comes was not sent, and the slot fails instead of passing for configured.
TEST(ProgramConfigROM, AnImageNoLongerInTheFlexFolderIsAFailedSend) {
  // Spoils the release after its check; `secret` is a file outside the release.
  using Spoil = void (*)(const testsupport::TempTree& release, const std::string& secret);
  testsupport::TempTree outside;
  outside.File("secret", "operator's secret");
  const std::string secret = std::filesystem::canonical(outside.Path("secret")).string();
  struct Case {
    const char* what;
    Spoil spoil;
    bool refusedAsOutside;
    bool dangling = false;
  } cases[] = {
      {"removed", [](const testsupport::TempTree&, const std::string&) {}, false},
      {"a folder now",
       [](const testsupport::TempTree& t, const std::string&) {
         t.Folder("Target/PCW5/FLEX/second.rpd");
       },
       false},
      {"a dangling link now",
       [](const testsupport::TempTree& t, const std::string&) {
         t.Link("nowhere.rpd", "Target/PCW5/FLEX/second.rpd");
       },
       false, true},
      {"a link out of the release now",
       [](const testsupport::TempTree& t, const std::string& secret) {
         t.Link(secret, "Target/PCW5/FLEX/second.rpd");
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vxtest::StepsRig rig;
    ASSERT_TRUE(rig.connected);
    rig.package.File("Target/PCW5/FLEX/first.rpd", "1");
    rig.package.File("Target/PCW5/FLEX/third.rpd", "3");
    c.spoil(rig.package, secret);
    rig.modules = {Module("PCW5", {"first.rpd", "second.rpd", "third.rpd"})};

    EXPECT_FALSE(package::ProgramConfigROM(rig.Context(), 2));

    const std::string second = rig.package.Path("Target/PCW5/FLEX/second.rpd");
    Lines log{"Start config first.rpd", "Done"};
    if (c.dangling) log.push_back("Broken link " + second + ": its target does not exist");
    if (c.refusedAsOutside) {
      log.push_back("Refused to send " + second + ": it leads out of the release folder, to " +
                    secret);
    }
    log.push_back("Error, fail to send " + second);
    EXPECT_EQ(rig.view.log, log);
    EXPECT_EQ(rig.FtpLinesStarting("STOR"), Lines{"STOR first.rpd"});
    EXPECT_EQ(rig.FtpLinesStarting("DELE"), Lines{"DELE first.rpd"});
  }
}

TEST(ProgramConfigROM, SlotsWithNothingToProgramSendNothing) {
  const std::string rks5At299 =
      R"({"slots": [{"slot": 1, "model": "RKS5", "hardware": "2.99", "firmware": "1.0"}]})";
  struct Case {
    const char* what;
    int slot;
    std::string scenario;
    const char* packageModel;
  } cases[] = {
      {"empty slot", 4, "{}", "RKS5"},
      {"RKS5 below 3.0", 1, rks5At299, "RKS5"},
      {"PCWX5 below 2.0", 1,
       R"({"slots": [{"slot": 1, "model": "PCWX5", "hardware": "1.99", "firmware": "1.0"}]})",
       "PCWX5"},
      {"model without a configuration ROM", 1,
       R"({"slots": [{"slot": 1, "model": "SCWH5", "hardware": "9.0", "firmware": "1.0"}]})",
       "SCWH5"},
      {"model the package does not hold", 1, "{}", "PCW5"},
      {"package name differs in letter case", 1, "{}", "Rks5"},
  };
  for (const auto& c : cases) {
    vxtest::StepsRig rig(testsupport::ScenarioFromText(c.scenario));
    ASSERT_TRUE(rig.connected) << c.what;
    rig.package.File(std::string("Target/") + c.packageModel + "/FLEX/a.rpd", "image a");
    rig.modules = {Module(c.packageModel, {"a.rpd"})};
    EXPECT_TRUE(package::ProgramConfigROM(rig.Context(), c.slot)) << c.what;
    EXPECT_THAT(rig.instrument.Transcript().Entries(), IsEmpty()) << c.what;
    EXPECT_THAT(rig.view.log, IsEmpty()) << c.what;
  }
}

TEST(ProgramConfigROM, AModuleWithoutImagesStillEntersTheImageDrive) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  rig.modules = {Module("PCWX5", {})};
  EXPECT_TRUE(package::ProgramConfigROM(rig.Context(), 3));
  EXPECT_EQ(rig.FtpLines(), Lines{"CWD N0:"});
  EXPECT_THAT(rig.instrument.CommandLines(), IsEmpty());
}

TEST(ProgramConfigROM, ARefusedStoreRaisesBeforeAnyConfiguration) {
  vxtest::StepsRig rig(testsupport::ScenarioFromText(
      R"({"ftp": {"refuse": [{"command": "STOR", "pattern": "*.rpd", "code": 452}]}})"));
  ASSERT_TRUE(rig.connected);
  rig.package.File("Target/RKS5/FLEX/a.rpd", "image a");
  rig.modules = {Module("RKS5", {"a.rpd"})};
  EXPECT_THROW(package::ProgramConfigROM(rig.Context(), 1), ftp::FTPException);
  ASSERT_EQ(rig.view.messages.size(), 1u);
  EXPECT_EQ(rig.view.messages[0].text, "Upload failed");
  EXPECT_THAT(rig.instrument.CommandLines(), IsEmpty());
}

TEST(ProgramConfigROM, AnUploadReportedAsFailedLogsTheLocalPathAndEndsAtOnce) {
  vxtest::StepsRig rig(testsupport::ScenarioFromText(
      R"({"ftp": {"refuse": [{"command": "STOR", "pattern": "a.rpd", "code": 452}]}})"));
  ASSERT_TRUE(rig.connected);
  rig.HandleFtpFailures();
  rig.package.File("Target/RKS5/FLEX/a.rpd", "image a");
  rig.package.File("Target/RKS5/FLEX/b.rpd", "image b");
  rig.modules = {Module("RKS5", {"a.rpd", "b.rpd"})};

  EXPECT_FALSE(package::ProgramConfigROM(rig.Context(), 1));

  EXPECT_EQ(rig.view.log,
            Lines{"Error, fail to send " + rig.package.Path("Target/RKS5/FLEX/a.rpd")});
  EXPECT_EQ(rig.FtpLines(), (Lines{"CWD N0:", "PORT *", "STOR a.rpd"}));
  EXPECT_THAT(rig.instrument.CommandLines(), IsEmpty());
}

TEST(ProgramConfigROM, AnImageNameThatCannotBeQuotedIsRefusedBeforeItsUpload) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  rig.package.File("Target/RKS5/FLEX/a\"b.rpd", "image");
  rig.modules = {Module("RKS5", {"a\"b.rpd"})};
  try {
    package::ProgramConfigROM(rig.Context(), 1);
    FAIL() << "an image name with a double quote was sent";
  } catch (const instrument::RefusedParameterError& e) {
    EXPECT_THAT(e.what(), HasSubstr("a\"b.rpd"));
  }
  EXPECT_THAT(rig.FtpLinesStarting("STOR"), IsEmpty());
  EXPECT_THAT(rig.instrument.CommandLines(), IsEmpty());
}

}  // namespace
