#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/cli/cli_fixture.h"
#include "tests/cli/cli_process.h"
#include "tests/sim/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using clitest::Finished;
using clitest::Instrument;
using clitest::JsonLines;
using clitest::kRunBound;
using clitest::Lines;
using clitest::MakeRelease;
using clitest::ReadFile;
using clitest::Received;
using clitest::RunCli;
using clitest::StartCli;
using clitest::TreeOf;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
namespace fs = std::filesystem;

TEST(Cli, AFullUpgradeExitsZeroWithTheReleaseOnTheFlashDrive) {
  simtest::TempDir release;
  MakeRelease(release.Path());
  auto instrument = Instrument();
  const Finished run = RunCli(*instrument, release.Path(), {"--signals", "PNB5"});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

  const fs::path f0 = instrument->Root() / "F0:";
  EXPECT_EQ(ReadFile(f0 / "SYSTEM" / "vx500.bin"), "mainframe firmware");
  EXPECT_EQ(ReadFile(f0 / "SYSTEM" / "LOGO" / "logo.bmp"), "logo");
  EXPECT_EQ(ReadFile(f0 / "SYSTEM" / "MID1" / "NAME"), "PNB5\r\n");
  EXPECT_EQ(ReadFile(f0 / "SYSTEM" / "MID3" / "NAME"), "RKS5\r\n");
  EXPECT_EQ(ReadFile(f0 / "PNB5" / "SIGNAL" / "bars.sig"), "colour bars");
  EXPECT_EQ(ReadFile(f0 / "PCW5" / "pcw5.bin"), "pcw5 firmware");
  EXPECT_FALSE(fs::exists(f0 / "PCW5" / "SIGNAL"));  // its box was left unticked
  EXPECT_EQ(ReadFile(f0 / "RKS5" / "rks5.bin"), "rks5 firmware");
  EXPECT_FALSE(fs::exists(f0 / "RKS5" / "FLEX" / "rks5.rpd"));
  EXPECT_TRUE(fs::is_empty(instrument->Root() / "N0:"));  // the image was deleted after use
  EXPECT_THAT(instrument->CommandLines(), Contains("CONF:FPGA 0,\"N0:rks5.rpd\""));
  EXPECT_EQ(instrument->FtpLines().back(), "QUIT");

  // Log lines on standard output in the run's order, the report box on standard error.
  EXPECT_THAT(run.out, StartsWith("Connecting VX500 ...\n"));
  EXPECT_THAT(run.out, HasSubstr("Copying System files ...\n"));
  EXPECT_THAT(run.out, HasSubstr("** PNB5\n"));
  EXPECT_THAT(run.out, HasSubstr("Copy completed!\nProgram Config ROMs ...\n"));
  EXPECT_THAT(run.out, HasSubstr("Result: upgraded (exit code 0)"));
  EXPECT_THAT(run.err, HasSubstr("VX500 Upgrade Complete: Copy successfully completed !\nPlease "
                                 "reboot the VX500.\nMemory Size:\nfree="));
}

// Every exit code, each from a cause a user meets.
TEST(Cli, EachExitCodeComesFromItsCause) {
  struct Case {
    const char* what;
    std::string scenario;
    Lines extra;
    int exitCode;
    std::string said;          // on standard error
    bool writes = false;       // the flash drive was written to
    bool deadPort = false;     // nobody listens on the command port
    const char* release = "";  // a release folder other than the sound one
  } cases[] = {
      {"firmware V2.0 is refused",
       R"({"slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "2.0"}]})",
       {},
       1,
       "VX500 Upgrade: This release requires VX500 V2.1 or above."},
      {"a damaged flash drive",
       R"({"faults": [{"command": ":MMEM:CDIR", "path": "/F0:/", "error": -256}]})",
       {},
       1,
       "VX500 Upgrade: VX500's File System was damaged!"},
      {"the compressed-signal question, with no terminal to ask on",
       R"({"slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "2.1"}],
           "drive": {"total": 33554432, "free": 4000000}})",
       {"--signals", "PCW5"},
       1,
       "answered no"},
      {"an SCWH5 below hardware 1.00, refused after the MID folders",
       R"({"slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "3.0"},
                     {"slot": 2, "model": "SCWH5", "hardware": "0.95", "firmware": "1.0"}]})",
       {},
       1,
       "VX500 Upgrade failed: SCWH5,Ver=95",
       true},
      {"nobody answers on the command port", "{}", {}, 2, "Can't connect VX500.", false, true},
      {"not a VX500",
       R"({"identity": "KOVA/ZEPHLORAN,VX400,1,V3.0"})",
       {},
       2,
       "This instrument is not a VX500."},
      {"the FTP log-in is refused",
       R"({"ftp": {"refuse": [{"command": "PASS", "code": 530, "text": "Login incorrect."}]}})",
       {},
       2,
       "VX500 Upgrade: 530 Login incorrect.\n"},
      {"a garbled slot inventory",
       R"({"faults": [{"command": "*OPT?", "reply": "\"VX500:0:x\""}]})",
       {},
       2,
       "is not a valid integer value"},
      {"a failed FPGA configuration",
       R"({"faults": [{"command": "CONF:FPGA", "error": -200}]})",
       {},
       3,
       "VX500 Upgrade: Fail to config FPGA on RKS5.",
       true},
      {"an upload refused in the module phase",
       R"({"ftp": {"refuse": [{"command": "STOR", "pattern": "*pnb5.bin", "code": 552}]}})",
       {},
       3,
       "VX500 Upgrade ftp: Upload failed",
       true},
      {"a missing release folder", "{}", {}, 4, "does not exist", false, false, "missing"},
      {"a release without modules",
       "{}",
       {},
       4,
       "no modules in the release folder",
       false,
       false,
       "empty"},
      {"a file name that cannot be sent",
       "{}",
       {},
       4,
       "Refused to send the file \"a\\nb\"",
       false,
       false,
       "badname"},
      {"a link out of the release",
       "{}",
       {},
       4,
       "MainFrame/passwd: it leads out of the release folder",
       false,
       false,
       "linkout"},
      {"an image the manifest names is missing",
       "{}",
       {},
       4,
       "Target/RKS5/FLEX/rks5.rpd does not exist",
       false,
       false,
       "noimage"},
      {"a model without a signal box",
       "{}",
       {"--signals", "RKS5"},
       4,
       "--signals: RKS5 has no signal box"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    simtest::TempDir release;
    MakeRelease(release.Path() / "sound");
    fs::create_directories(release.Path() / "empty");
    MakeRelease(release.Path() / "badname");
    simtest::WriteFile(release.Path() / "badname" / "MainFrame" / "a\nb", "x");
    MakeRelease(release.Path() / "linkout");
    fs::create_symlink("/etc/passwd", release.Path() / "linkout" / "MainFrame" / "passwd");
    MakeRelease(release.Path() / "noimage");
    fs::remove(release.Path() / "noimage" / "Target" / "RKS5" / "FLEX" / "rks5.rpd");
    const fs::path folder = release.Path() / (*c.release ? c.release : "sound");

    auto instrument = Instrument(c.scenario);
    std::unique_ptr<simtest::SimInstrument> gone;
    Lines extra = c.extra;
    if (c.deadPort) {
      gone = Instrument();
      const int port = gone->Port();
      gone.reset();
      extra.insert(extra.end(), {"--command-port", std::to_string(port)});
    }
    const Finished run = RunCli(*instrument, folder, extra);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    EXPECT_THAT(run.err, HasSubstr(c.said));
    EXPECT_THAT(run.out, HasSubstr("(exit code " + std::to_string(c.exitCode) + ")"));
    const Lines commands = instrument->CommandLines();
    EXPECT_EQ(Received(commands, "MMEM:MDIR"), c.writes);
    // What a run that did not finish left on the instrument is said.
    EXPECT_EQ(run.err.find("already written to the instrument") != std::string::npos, c.writes);
    if (c.exitCode == 4) {
      EXPECT_THAT(commands, IsEmpty());
      EXPECT_THAT(instrument->FtpLines(), IsEmpty());
    }
    // The run ends with both channels closed: a log-in is followed by its log-out.
    const Lines ftp = instrument->FtpLines();
    if (Received(ftp, "PASS") && c.exitCode != 2) {
      EXPECT_EQ(ftp.back(), "QUIT");
    }
  }
}

// --check runs every check, reports the figures and the verdict, and writes nothing.
TEST(Cli, CheckReportsFiguresAndVerdictAndWritesNothing) {
  struct Case {
    const char* what;
    std::string scenario;
    Lines extra;
    int exitCode;
    Lines report;  // lines of standard output
  } cases[] = {
      {"a sound instrument",
       "{}",
       {},
       0,
       {"Firmware level: 300",
        "Flash drive /F0:/: free 64.0 MB (67108861 bytes), total 64.0 MB (67108864 bytes)",
        "NQRM5 folder: absent", "Slot 1: RKS5, hardware 3.0 (level 300), firmware 1.5 (level 105)",
        "Compressed-signal question: would not be asked",
        "Modules to copy: PNB5, PCW5 (with signals), RKS5",
        "Configuration ROMs to program: slot 1 RKS5 (rks5.rpd)", "Verdict: every check passed",
        "Result: checks-passed (exit code 0)"}},
      {"the question would come, and is not asked",
       R"({"slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "2.1"}],
           "drive": {"total": 33554432, "free": 4000000}})",
       {},
       0,
       {"Firmware level: 201", "Compressed-signal question: would be asked",
        "Configuration ROMs to program: none", "Verdict: every check passed"}},
      {"a 16 MB instrument",
       R"({"drive": {"total": 16777216, "free": 10000000}})",
       {},
       1,
       {"Flash drive /F0:/: free 9.5 MB (10000000 bytes), total 16.0 MB (16777216 bytes)",
        "Verdict: refused", "Result: refused (exit code 1)"}},
      {"an SCWH5 below hardware 1.00",
       R"({"slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "3.0"},
                     {"slot": 4, "model": "SCWH5", "hardware": "0.95", "firmware": "1.0"}]})",
       {},
       1,
       {"Slot 4: SCWH5, hardware 0.95 (level 95), firmware 1.0 (level 100)", "Verdict: refused"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    simtest::TempDir release;
    MakeRelease(release.Path());
    auto instrument = Instrument(c.scenario);
    Lines extra = c.extra;
    extra.insert(extra.end(), {"--check", "--signals", "PCW5"});
    const Finished run = RunCli(*instrument, release.Path(), extra);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    for (const auto& line : c.report) EXPECT_THAT(run.out, HasSubstr(line + "\n"));
    EXPECT_THAT(run.err, Not(HasSubstr("Click YES")));
    for (const char* write : {"MMEM:MDIR", "CONF:FPGA", "INST:NSEL"}) {
      EXPECT_FALSE(Received(instrument->CommandLines(), write)) << write;
    }
    for (const char* write : {"STOR", "DELE", "MKD", "TYPE"}) {
      EXPECT_FALSE(Received(instrument->FtpLines(), write)) << write;
    }
    EXPECT_EQ(instrument->FtpLines().back(), "QUIT");
    EXPECT_EQ(TreeOf(instrument->Root()),
              (std::set<std::string>{"F0:", "F0:/SYSTEM", "F0:/SYSTEM/old.bin", "N0:"}));
  }
}

}  // namespace

namespace {

// With --json every line of standard output is one event, the last one the outcome, and
// nothing goes to standard error.
TEST(Cli, JsonEventsParseLineByLineAndEndWithTheOutcome) {
  struct Case {
    const char* what;
    std::string scenario;
    int exitCode;
    const char* outcome;
    const char* caption;  // of a message event the run must show
  } cases[] = {
      {"a full upgrade", "{}", 0, "upgraded", "VX500 Upgrade Complete"},
      {"a refusal", R"({"drive": {"total": 16777216, "free": 10000000}})", 1, "refused",
       "VX500 Upgrade"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    simtest::TempDir release;
    MakeRelease(release.Path());
    auto instrument = Instrument(c.scenario);
    const Finished run = RunCli(*instrument, release.Path(), {"--json"});
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_THAT(run.err, IsEmpty());
    std::vector<nlohmann::json> events;
    ASSERT_NO_THROW(events = JsonLines(run.out)) << run.out;
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(),
              (nlohmann::json{
                  {"event", "progress"}, {"percent", 0}, {"copiedBytes", 0}, {"totalBytes", 0}}));
    EXPECT_EQ(events[1], (nlohmann::json{{"event", "log"}, {"text", "Connecting VX500 ..."}}));
    bool shown = false;
    for (const auto& event : events) {
      if (event["event"] == "message" && event["caption"] == c.caption) shown = true;
    }
    EXPECT_TRUE(shown);
    const nlohmann::json& last = events.back();
    EXPECT_EQ(last["event"], "outcome");
    EXPECT_EQ(last["outcome"], c.outcome);
    EXPECT_EQ(last["exitCode"], c.exitCode);
  }
}

// A usage error names what is wrong, exits 4 and contacts no instrument.
TEST(Cli, UsageErrorsNameTheBadOption) {
  simtest::TempDir release;
  MakeRelease(release.Path());
  auto instrument = Instrument();
  const std::string port = std::to_string(instrument->Port());
  const struct Case {
    Lines args;
    const char* named;
  } cases[] = {
      {{"--ip", "10.0.0.256"}, "--ip: '10.0.0.256' is not a dotted IPv4 address"},
      {{"--command-port", port}, "--ip is required"},
      {{"--ip", "127.0.0.1", "--bogus"}, "--bogus"},
      {{"--ip", "127.0.0.1", "--compressed", "maybe"}, "--compressed"},
      {{"--ip", "127.0.0.1", "--ftp-port", "70000"}, "--ftp-port"},
      {{"--ip", "127.0.0.1", "--command-port", port, "--signals", "PNB5,SCW5"},
       "--signals: the SCW5 box is disabled"},
      {{"--ip", "127.0.0.1", "--command-port", port, "--signals", "PNB5", "--no-signals", "PNB5"},
       "--signals and --no-signals both name PNB5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.named);
    Lines argv = {VXUPGRADE_CLI_PROGRAM, "--package", release.Path().string()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    clitest::ChildRun child(argv);
    EXPECT_EQ(child.Wait(kRunBound), 4);
    EXPECT_THAT(child.Err(), HasSubstr(c.named));
  }
  EXPECT_THAT(instrument->Transcript().Entries(), IsEmpty());

  clitest::ChildRun help({VXUPGRADE_CLI_PROGRAM, "--help"});
  EXPECT_EQ(help.Wait(kRunBound), 0);
  EXPECT_THAT(help.Out(),
              AllOf(HasSubstr("--check"), HasSubstr("Exit codes:"), HasSubstr("130  interrupted")));
}

// On a terminal the compressed-signal question is asked and answered there, and a progress bar
// follows the bytes copied; `script` gives the program a terminal.
TEST(Cli, OnATerminalTheQuestionIsAskedAndABarShowsTheCopy) {
  simtest::TempDir release;
  MakeRelease(release.Path());
  simtest::WriteFile(release.Path() / "answer", "y\n");
  auto instrument = Instrument(
      R"({"slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "2.1"}],
          "drive": {"total": 33554432, "free": 4000000}})");
  const std::string command =
      std::string(VXUPGRADE_CLI_PROGRAM) + " --ip 127.0.0.1 --signals PCW5 --command-port " +
      std::to_string(instrument->Port()) + " --ftp-port " + std::to_string(instrument->FtpPort()) +
      " --package " + release.Path().string();
  clitest::ChildRun child({"/usr/bin/script", "-qec", command, "/dev/null"}, {},
                          (release.Path() / "answer").string());
  EXPECT_EQ(child.Wait(kRunBound), 0) << child.Out();
  EXPECT_THAT(child.Out(), HasSubstr("Click YES to continue.\r\n[y/N] "));
  // Yes selected the PNB5 signals, whose box was enabled but not ticked.
  EXPECT_EQ(ReadFile(instrument->Root() / "F0:" / "PNB5" / "SIGNAL" / "bars.sig"), "colour bars");
  // The bar is erased before each log line and drawn again after it.
  EXPECT_THAT(child.Out(), HasSubstr("\r\033[KCopying... pnb5.bin\r\n\r["));
  EXPECT_THAT(child.Out(), HasSubstr("##] 100%"));
}

// Ctrl-C (or SIGTERM) stops the run at its next wait, closes both channels and says what was
// written; an awaited FPGA configuration is let finish unless Ctrl-C comes twice.
TEST(Cli, CtrlCStopsAtTheNextWaitButLetsAnFpgaConfigurationFinish) {
  struct Case {
    const char* what;
    std::string scenario;
    const char* awaited;  // the command line the run waits on when Ctrl-C comes
    int presses;
    const char* written;  // what the run says it had written
    bool configured;      // the configuration's outcome was read ("Done")
    int signal = SIGINT;
  } cases[] = {
      {"before anything is written", R"({"faults": [{"command": "*OPT?", "delayMs": 60000}]})",
       "*OPT?", 1, "nothing was written to the instrument", false},
      {"during the module trees",
       R"({"faults": [{"command": ":MMEM:CDIR", "path": "/F0:/RKS5", "delayMs": 60000}]})",
       ":MMEM:CDIR \"/F0://RKS5\"", 1,
       "already written to the instrument: the MID folders and NAME files, the system tree in "
       "/F0:/SYSTEM and part of the module trees",
       false, SIGTERM},
      {"once while an FPGA configuration is awaited",
       R"({"faults": [{"command": "CONF:FPGA", "delayMs": 1000}]})", "CONF:FPGA", 1,
       "the configuration ROMs were being programmed, up to slot", true},
      {"twice while an FPGA configuration is awaited",
       R"({"faults": [{"command": "CONF:FPGA", "delayMs": 60000}]})", "CONF:FPGA", 2,
       "the configuration ROMs were being programmed, up to slot 1 (", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    simtest::TempDir release;
    MakeRelease(release.Path());
    auto instrument = Instrument(c.scenario);
    auto child = StartCli(*instrument, release.Path());
    ASSERT_TRUE(instrument->Transcript().WaitForLine(sim::Transcript::Channel::kCommand, c.awaited,
                                                     kRunBound));
    child->Signal(c.signal);
    const bool fpga = std::string(c.awaited) == "CONF:FPGA";
    if (fpga) {
      EXPECT_TRUE(
          child->WaitForOutput("waiting for the FPGA configuration of slot 1 (RKS5) to "
                               "finish before stopping; press Ctrl-C again",
                               kRunBound));
    }
    if (c.presses == 2) child->Signal(SIGINT);
    // Well within the instrument's delays: the run stops at once.
    EXPECT_EQ(child->Wait(kRunBound), 130) << child->Out() << child->Err();
    EXPECT_THAT(child->Err(), HasSubstr(c.written));
    EXPECT_THAT(child->Out(), HasSubstr("Result: interrupted (exit code 130)"));
    EXPECT_EQ(child->Out().find("Start config rks5.rpd\nDone\n") != std::string::npos,
              c.configured);
    EXPECT_EQ(instrument->FtpLines().back(), "QUIT");
  }
}

}  // namespace

namespace {

// A listening socket on the host's 127.0.0.1:port, when the port can be had.
net::UniqueFd HoldPort(int port) {
  net::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd.Get(), 1) != 0)
    return {};
  return fd;
}

// Without a display the demo upgrades its simulated instrument with the command line, and
// needs none of the host's ports: here they are taken while it runs.
TEST(Demo, RunsTheCommandLineWhenThereIsNoDisplay) {
  const char* source = std::getenv("VX_SOURCE_DIR");
  const char* binary = std::getenv("VX_BINARY_DIR");
  if (source == nullptr || binary == nullptr) GTEST_SKIP() << "run through ctest";
  net::UniqueFd commandPort = HoldPort(5000);
  net::UniqueFd ftpPort = HoldPort(21);
  simtest::TempDir out;
  clitest::ChildRun demo({"/bin/bash", std::string(source) + "/scripts/demo.sh"},
                         {{"DISPLAY", ""},
                          {"WAYLAND_DISPLAY", ""},
                          {"VX_DEMO_BIN", binary},
                          {"VX_DEMO_OUT", out.Path().string()}});
  EXPECT_EQ(demo.Wait(kRunBound), 0) << demo.Out() << demo.Err();
  EXPECT_THAT(demo.Out(), HasSubstr("demo: no display, so vxupgrade-cli runs the upgrade"));
  EXPECT_THAT(demo.Out(), HasSubstr("Result: upgraded (exit code 0)"));
  EXPECT_TRUE(fs::exists(out.Path() / "demo-instrument" / "F0:" / "SYSTEM" / "vx500.bin"));
  EXPECT_TRUE(fs::exists(out.Path() / "release" / "vxupgrade-cli"));
}

}  // namespace
