#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "sim/command_interpreter.h"
#include "tests/support/temp_tree.h"

namespace {

namespace fs = std::filesystem;
using sim::CommandInterpreter;

class InterpreterTest : public ::testing::Test {
 protected:
  InterpreterTest() : drive_(root_.Path()) {
    fs::create_directories(root_.Path() / "F0:" / "SYSTEM");
    fs::create_directories(root_.Path() / "N0:");
  }
  // The reply to `line`, or "(none)".
  std::string Ask(CommandInterpreter& in, const std::string& line) {
    return in.Execute(line).reply.value_or("(none)");
  }
  std::string NextError(CommandInterpreter& in) { return Ask(in, "SYSTEM:ERR?"); }

  testsupport::TempTree root_;
  sim::Drive drive_;
};

TEST(CanonicalHeader, ShortensLongFormsAndIgnoresCase) {
  struct Case {
    const char* header;
    const char* want;
  } cases[] = {{":SYSTEM:ERR?", "SYST:ERR?"},       {"SYSTEM:ERR?", "SYST:ERR?"},
               {"syst:error?", "SYST:ERR?"},        {":MMEM:CDIR", "MMEM:CDIR"},
               {"MMEMORY:CATALOG?", "MMEM:CAT?"},   {"*idn?", "*IDN?"},
               {"INSTRUMENT:NSELECT", "INST:NSEL"}, {"CONF:FPGA", "CONF:FPGA"}};
  for (const auto& c : cases)
    EXPECT_EQ(CommandInterpreter::CanonicalHeader(c.header), c.want) << c.header;
}

TEST_F(InterpreterTest, ErrorQueueGivesOneEntryPerQuery) {
  CommandInterpreter in(drive_, {});
  EXPECT_EQ(NextError(in), "0,\"No error\"\n");
  EXPECT_EQ(Ask(in, "BOGUS"), "(none)");
  EXPECT_EQ(Ask(in, ":MMEM:CDIR \"/F0:/NOPE\""), "(none)");
  EXPECT_EQ(NextError(in), "-113,\"Undefined header\"\n");
  EXPECT_EQ(Ask(in, ":SYSTEM:ERR?"), "-256,\"File name not found\"\n");
  EXPECT_EQ(NextError(in), "0,\"No error\"\n");
  for (int i = 0; i < 30; ++i) in.Execute("BOGUS");
  for (int i = 0; i < 19; ++i) EXPECT_EQ(NextError(in), "-113,\"Undefined header\"\n") << i;
  EXPECT_EQ(NextError(in), "-350,\"Queue overflow\"\n");
  EXPECT_EQ(NextError(in), "0,\"No error\"\n");
}

TEST_F(InterpreterTest, IdentityAndOptionsComeFromTheScenario) {
  sim::Scenario s;
  s.identity = "ACME,VX400,1,1.0";
  s.slots = {{0, "VX500", "1.0", "2.10"}, {2, "RKS5", "3.0", "1.5"}};
  CommandInterpreter in(drive_, s);
  EXPECT_EQ(Ask(in, "*IDN?"), "ACME,VX400,1,1.0\n");
  EXPECT_EQ(Ask(in, "*OPT?"), "\"VX500:0:1.0:2.10\",\"RKS5:2:3.0:1.5\"\n");
}

TEST_F(InterpreterTest, DrivePathsWorkFromAnyFolder) {
  CommandInterpreter in(drive_, {});
  for (const char* path : {"N0:", "N0:", "/F0:/", "/F0://SYSTEM", "/F0:/SYSTEM/../SYSTEM"}) {
    in.Execute(std::string(":MMEM:CDIR \"") + path + "\"");
    EXPECT_EQ(NextError(in), "0,\"No error\"\n") << path;
  }
  EXPECT_EQ(in.CurrentFolder(), "/F0:/SYSTEM");
  EXPECT_EQ(Ask(in, "MMEM:CDIR?"), "\"/F0:/SYSTEM\"\n");
  in.Execute(":MMEM:CDIR \"/F0:/../..\"");
  EXPECT_EQ(NextError(in), "-257,\"File name error\"\n");
  EXPECT_EQ(in.CurrentFolder(), "/F0:/SYSTEM");
}

TEST_F(InterpreterTest, LinksLeadingOutOfTheRootAreRefused) {
  testsupport::TempTree outside;
  fs::create_directory_symlink(outside.Path(), root_.Path() / "F0:" / "OUT");
  testsupport::WriteFile(outside.Path() / "secret", "x");
  CommandInterpreter in(drive_, {});
  in.Execute(":MMEM:CDIR \"/F0:/OUT\"");
  EXPECT_EQ(NextError(in), "-256,\"File name not found\"\n");
  EXPECT_EQ(Ask(in, "MMEM:CAT? \"/F0:/OUT\"").find("secret"), std::string::npos);
  in.Execute("MMEM:MDIR \"/F0:/OUT/x\"");
  EXPECT_NE(NextError(in), "0,\"No error\"\n");
  EXPECT_FALSE(fs::exists(outside.Path() / "x"));
}

TEST_F(InterpreterTest, MakeFolderIsRelativeToTheCurrentFolder) {
  CommandInterpreter in(drive_, {});
  in.Execute(":MMEM:CDIR \"/F0:/SYSTEM\"");
  in.Execute("MMEM:MDIR \"MID1\"");
  EXPECT_EQ(NextError(in), "0,\"No error\"\n");
  EXPECT_EQ(NextError(in), "0,\"No error\"\n");
  EXPECT_TRUE(fs::is_directory(root_.Path() / "F0:" / "SYSTEM" / "MID1"));
  struct Case {
    const char* line;
    const char* error;
  } refused[] = {
      {"MMEM:MDIR \"MID1\"", "-257"},        // exists already
      {"MMEM:MDIR \"NOPE/MID2\"", "-256"},   // parent missing
      {"MMEM:MDIR \"/F0:/\"", "-257"},       // the drive itself
      {"MMEM:MDIR \"../../../x\"", "-257"},  // leaves the root
      {"MMEM:MDIR MID3", "-102"},            // not quoted
      {"MMEM:MDIR", "-109"},
  };
  for (const auto& c : refused) {
    in.Execute(c.line);
    EXPECT_EQ(NextError(in).substr(0, 4), c.error) << c.line;
  }
}

TEST_F(InterpreterTest, CatalogListsUsedFreeAndEachEntryQuoted) {
  testsupport::WriteFile(root_.Path() / "F0:" / "SYSTEM" / "MID1" / "NAME", "RKS5\r\n");
  testsupport::WriteFile(root_.Path() / "F0:" / "SYSTEM" / "boot.bin", std::string(100, 'x'));
  testsupport::WriteFile(root_.Path() / "F0:" / "SYSTEM" / "bad\"name", "y");
  sim::Scenario fixed;
  fixed.totalBytes = 30000000;
  fixed.freeBytes = 5000000;
  CommandInterpreter in(drive_, fixed);
  EXPECT_EQ(Ask(in, "MMEM:CAT? \"/F0:/SYSTEM\""),
            "25000000,5000000,\"MID1\",DIR,0,\"boot.bin\",BIN,100\n");
  EXPECT_EQ(Ask(in, "MMEM:CAT? \"/F0:/SYSTEM/MID1\""), "25000000,5000000,\"NAME\",BIN,6\n");
  EXPECT_EQ(NextError(in), "0,\"No error\"\n");
  // A missing folder still answers, with the sizes alone, and queues the error.
  EXPECT_EQ(Ask(in, "MMEM:CAT? \"/F0:/NOPE\""), "25000000,5000000\n");
  EXPECT_EQ(NextError(in), "-256,\"File name not found\"\n");

  sim::Scenario computed;
  computed.totalBytes = 1000;
  CommandInterpreter measured(drive_, computed);
  EXPECT_EQ(Ask(measured, "MMEM:CAT? \"/F0:/\""), "107,893,\"SYSTEM\",DIR,0\n");
  sim::Scenario freeOnly;
  freeOnly.freeBytes = 2621439;
  CommandInterpreter tight(drive_, freeOnly);
  EXPECT_EQ(Ask(tight, "MMEM:CAT?"), "107,2621439,\"SYSTEM\",DIR,0\n");
}

TEST_F(InterpreterTest, ConfigureFpgaNeedsAnImageOnN0AndAFittedSlot) {
  testsupport::WriteFile(root_.Path() / "N0:" / "image.rpd", "bits");
  sim::Scenario s = sim::ScenarioFromJson(nlohmann::json::parse(R"({
      "slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "3.0"},
                {"slot": 3, "model": "RKS5", "hardware": "3.0", "firmware": "1.5"}],
      "faults": [{"command": "CONF:FPGA", "slot": 3, "image": "bad.rpd", "error": -200}]})"));
  testsupport::WriteFile(root_.Path() / "N0:" / "bad.rpd", "bits");
  CommandInterpreter in(drive_, s);
  struct Case {
    const char* line;
    const char* error;
  } cases[] = {
      {"CONF:FPGA 0,\"N0:image.rpd\"", "-241"},  // no slot selected yet
      {"INST:NSEL 3", "0,\""},
      {"CONF:FPGA 0,\"N0:image.rpd\"", "0,\""},
      {"CONF:FPGA 3,\"N0:/image.rpd\"", "0,\""},
      {"CONF:FPGA 4,\"N0:image.rpd\"", "-222"},
      {"CONF:FPGA 0,\"N0:missing.rpd\"", "-256"},
      {"CONF:FPGA 0,\"/F0:/image.rpd\"", "-256"},
      {"CONF:FPGA 0,\"N0:bad.rpd\"", "-200"},
      {"INST:NSEL 9", "-222"},
      {"INST:NSEL 1", "0,\""},
      {"CONF:FPGA 0,\"N0:image.rpd\"", "-241"},  // slot 1 is empty
      {"CONF:FPGA x,\"N0:image.rpd\"", "-102"},
  };
  for (const auto& c : cases) {
    in.Execute(c.line);
    std::string entry = NextError(in);
    EXPECT_EQ(entry.substr(0, std::string(c.error).size()), c.error) << c.line << ": " << entry;
  }
}

TEST_F(InterpreterTest, FaultsMatchCommandPathAndCount) {
  sim::Scenario s = sim::ScenarioFromJson(nlohmann::json::parse(R"({"faults": [
      {"command": "MMEM:CDIR", "path": "/F0:/", "times": 1, "error": -250},
      {"command": "*IDN?", "delayMs": 40, "reply": "SOMETHING ELSE"},
      {"command": "*OPT?", "noAnswer": true},
      {"command": "SYSTEM:ERR?", "times": 1, "reply": "garbage"},
      {"command": "MMEM:CAT?", "closeAfter": 3},
      {"command": "INST:NSEL", "slot": 2, "reset": true}]})"));
  CommandInterpreter in(drive_, s);
  EXPECT_EQ(Ask(in, "SYSTEM:ERR?"), "garbage\n");
  in.Execute(":MMEM:CDIR \"/F0://\"");  // the same folder, spelt otherwise
  EXPECT_EQ(NextError(in), "-250,\"Mass storage error\"\n");
  in.Execute(":MMEM:CDIR \"/F0:/\"");  // fired once only
  EXPECT_EQ(NextError(in), "0,\"No error\"\n");

  auto idn = in.Execute("*IDN?");
  EXPECT_EQ(idn.reply.value_or(""), "SOMETHING ELSE\n");
  EXPECT_EQ(idn.delay.count(), 40);
  EXPECT_FALSE(in.Execute("*OPT?").reply);
  auto cat = in.Execute("MMEM:CAT?");
  EXPECT_EQ(cat.closeAfter.value_or(0), 3u);
  EXPECT_TRUE(cat.reply);
  EXPECT_TRUE(in.Execute("INST:NSEL 2").reset);
  EXPECT_FALSE(in.Execute("INST:NSEL 1").reset);
}

}  // namespace
