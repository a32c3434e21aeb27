#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/cli/cli_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

namespace {

using clitest::Finished;
using clitest::Instrument;
using clitest::JsonLines;
using clitest::kRunBound;
using clitest::Lines;
using clitest::MakeRelease;
using clitest::Received;
using clitest::RunCli;
using clitest::StartCli;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using testsupport::ReadFile;
using testsupport::TreeEntries;
namespace fs = std::filesystem;

// The environment that makes a program keep its temporary files in `folder`.
std::map<std::string, std::string> TemporaryFolder(const fs::path& folder) {
  return {{"TEMP", ""}, {"TMP", ""}, {"TMPDIR", folder.string()}};
}

TEST(Cli, AFullUpgradeExitsZeroWithTheReleaseOnTheFlashDrive) {
  testsupport::TempTree release;
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

  // Log lines on standard output in the run's order, then the report with its reboot
  // instruction, which a script that drops standard error still shows.
  EXPECT_THAT(run.out, StartsWith("Connecting VX500 ...\n"));
  EXPECT_THAT(run.out, HasSubstr("Copying System files ...\n"));
  EXPECT_THAT(run.out, HasSubstr("** PNB5\n"));
  EXPECT_THAT(run.out, HasSubstr("Copy completed!\nProgram Config ROMs ...\n"));
  EXPECT_THAT(run.out,
              HasSubstr("Done\nVX500 Upgrade Complete: Copy successfully completed !\nPlease "
                        "reboot the VX500.\nMemory Size:\nfree="));
  EXPECT_THAT(run.out, HasSubstr("Result: upgraded (exit code 0)"));
  EXPECT_THAT(run.err, IsEmpty());
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
       testsupport::ScenarioText("sim/scenarios/firmware-v2.0.json"),
       {},
       1,
       "VX500 Upgrade: This release requires VX500 V2.1 or above."},
      {"a damaged flash drive",
       R"({"faults": [{"command": ":MMEM:CDIR", "path": "/F0:/", "error": -256}]})",
       {},
       1,
       "VX500 Upgrade: VX500's File System was damaged!"},
      {"the compressed-signal question, with no terminal to ask on",
       testsupport::ScenarioText("tests/data/scenarios/compressed-question-mainframe-only.json"),
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
    testsupport::TempTree release;
    MakeRelease(release.Path() / "sound");
    fs::create_directories(release.Path() / "empty");
    MakeRelease(release.Path() / "badname");
    testsupport::WriteFile(release.Path() / "badname" / "MainFrame" / "a\nb", "x");
    MakeRelease(release.Path() / "linkout");
    fs::create_symlink("/etc/passwd", release.Path() / "linkout" / "MainFrame" / "passwd");
    MakeRelease(release.Path() / "noimage");
    fs::remove(release.Path() / "noimage" / "Target" / "RKS5" / "FLEX" / "rks5.rpd");
    const fs::path folder = release.Path() / (*c.release ? c.release : "sound");

    auto instrument = Instrument(c.scenario);
    const testsupport::RefusingPort refusing;
    Lines extra = c.extra;
    if (c.deadPort) {
      extra.insert(extra.end(), {"--command-port", std::to_string(refusing.Port())});
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
       testsupport::ScenarioText("tests/data/scenarios/compressed-question-mainframe-only.json"),
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
    testsupport::TempTree release;
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
    EXPECT_EQ(TreeEntries(instrument->Root()),
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
    testsupport::TempTree release;
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

// Release files named with ESC sequences (clear the screen, set the terminal's title), with the
// one-character CSI and with a right-to-left override reach the terminal written out; --json
// carries the exact names, which JSON escapes itself.
TEST(Cli, ControlCharactersInANameAreWrittenOutOnTheTerminalAndExactInJson) {
  const struct Case {
    std::string name;
    std::string shown;
  } cases[] = {
      {"\x1b]0;owned\x07\x1b[2Jlogo\x7f.bmp", "\\x1b]0;owned\\x07\\x1b[2Jlogo\\x7f.bmp"},
      {"\xc2\x9bKcaf\xc3\xa9\xe2\x80\xaepmb.bmp", "\\u009bKcaf\xc3\xa9\\u202epmb.bmp"},
  };
  testsupport::TempTree release;
  MakeRelease(release.Path());
  for (const Case& c : cases) testsupport::WriteFile(release.Path() / "MainFrame" / c.name, "logo");
  auto instrument = Instrument();

  const Finished text = RunCli(*instrument, release.Path());
  EXPECT_EQ(text.exitCode, 0) << text.out << text.err;
  for (const Case& c : cases) {
    EXPECT_THAT(text.out, HasSubstr("Copying... " + c.shown + "\n"));
    EXPECT_EQ(ReadFile(instrument->Root() / "F0:" / "SYSTEM" / c.name), "logo");
  }
  for (const std::string& stream : {text.out, text.err}) {
    EXPECT_EQ(stream.find_first_of("\x1b\x07\x7f"), std::string::npos);
    EXPECT_EQ(stream.find("\xc2\x9b"), std::string::npos);
    EXPECT_EQ(stream.find("\xe2\x80\xae"), std::string::npos);
  }

  const Finished json = RunCli(*Instrument(), release.Path(), {"--json"});
  EXPECT_EQ(json.exitCode, 0);
  const std::vector<nlohmann::json> events = JsonLines(json.out);
  for (const Case& c : cases) {
    EXPECT_THAT(events,
                Contains(nlohmann::json{{"event", "log"}, {"text", "Copying... " + c.name}}));
  }
}

// A usage error names what is wrong, exits 4 and contacts no instrument.
TEST(Cli, UsageErrorsNameTheBadOption) {
  testsupport::TempTree release;
  MakeRelease(release.Path());
  auto instrument = Instrument();
  const std::string port = std::to_string(instrument->Port());
  const struct Case {
    Lines args;
    const char* named;  // the message, after the program's name
  } cases[] = {
      {{"--ip", "10.0.0.256"}, "--ip: '10.0.0.256' is not a dotted IPv4 address"},
      {{"--command-port", port}, "--ip is required"},
      {{"--ip", "127.0.0.1", "--bogus"}, "unknown option: --bogus\n"},
      // A mistyped option is told first, before what its absence left missing.
      {{"--bogus"}, "unknown option: --bogus\n"},
      {{"--ip", "10.0.0.256", "--bogus", "stray"}, "unknown option: --bogus\n"},
      {{"--ip", "127.0.0.1", "stray"}, "unexpected argument: stray\n"},
      {{"--ip"}, "--ip: 1 required ADDRESS missing"},
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
    testsupport::ChildProcess child(argv);
    EXPECT_EQ(child.Wait(kRunBound), 4);
    EXPECT_THAT(child.Err(), StartsWith(std::string("vxupgrade-cli: ") + c.named));
  }
  EXPECT_THAT(instrument->Transcript().Entries(), IsEmpty());

  testsupport::ChildProcess help({VXUPGRADE_CLI_PROGRAM, "--help"});
  EXPECT_EQ(help.Wait(kRunBound), 0);
  EXPECT_THAT(help.Out(), AllOf(HasSubstr("--check"), HasSubstr("Exit codes ("),
                                HasSubstr("129  interrupted: stopped by SIGHUP"),
                                HasSubstr("130  interrupted: stopped by Ctrl-C"),
                                HasSubstr("143  interrupted: stopped by SIGTERM")));
  // Within 80 columns, each argument named for what it is, and examples to start from; the
  // simulator's help, which its man page is made from, keeps the same layout.
  testsupport::ChildProcess simHelp({VX500_SIM_PROGRAM, "--help"});
  EXPECT_EQ(simHelp.Wait(kRunBound), 0);
  for (const std::string& out : {help.Out(), simHelp.Out()}) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    EXPECT_THAT(out, Not(HasSubstr("TEXT")));
    EXPECT_THAT(out, Not(HasSubstr("Excludes")));
  }
  for (const char* named : {"--ip ADDRESS", "--package DIR", "--signals MODEL,...",
                            "--compressed yes|no", "--command-port PORT", "--ftp-port PORT",
                            "--report FILE", "--trace FILE", "\nExamples:\n"}) {
    EXPECT_THAT(help.Out(), HasSubstr(named));
  }
}

// The temporary NAME files in `folder` (Qt keeps a runtime folder of its own there).
int NameFiles(const fs::path& folder) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    count += entry.path().filename().string().starts_with("NAME-") ? 1 : 0;
  }
  return count;
}

// Sends the first of `signals` to `child` while its run awaits `awaited`. An FPGA
// configuration's answer, which the instrument holds, comes only once the program has said
// (`letFinish`) that it lets the configuration finish, unless a second signal follows: that one
// stops the run at once, with the configuration unanswered.
void SignalWhileAwaited(testsupport::ChildProcess& child, testsupport::SimInstrument& instrument,
                        const std::string& awaited, const std::vector<int>& signals,
                        const std::string& letFinish) {
  child.Signal(signals.front());
  if (awaited != "CONF:FPGA") return;
  EXPECT_TRUE(child.WaitForOutput(letFinish, kRunBound)) << child.Out() << child.Err();
  if (signals.size() == 2) {
    child.Signal(signals.back());
  } else {
    instrument.Release();
  }
}

// A stop signal (Ctrl-C, SIGTERM, or SIGHUP from a closed terminal) stops the run at its next
// wait: both channels closed, the temporary NAME file removed, what was written said, exit code
// 128 + the signal. An awaited FPGA configuration is let finish (the instrument holds its answer
// until the program has said it waits), and the run then stops at its next wait; a second
// signal stops at once.
TEST(Cli, AStopSignalEndsTheRunAtItsNextWaitButLetsAnFpgaConfigurationFinish) {
  using Channel = sim::Transcript::Channel;
  struct Case {
    const char* what;
    std::string scenario;
    Channel channel;
    const char* awaited;  // the line the run waits on when the signals come
    std::vector<int> signals;
    const char* written;  // what the run says it had written
    bool configured;      // the configuration's outcome was read ("Done")
  } cases[] = {
      {"Ctrl-C before anything is written",
       R"({"faults": [{"command": "*OPT?", "hold": true}]})",
       Channel::kCommand,
       "*OPT?",
       {SIGINT},
       "nothing was written to the instrument",
       false},
      {"SIGHUP during the upload of a NAME file",
       R"({"ftp": {"store": [{"pattern": "*NAME", "fault": "never_connect"}]}})",
       Channel::kFtp,
       "STOR /F0:/SYSTEM/MID1/NAME",
       {SIGHUP},
       "already written to the instrument: MID folders and NAME files in /F0:/SYSTEM (perhaps "
       "not all)",
       false},
      {"SIGTERM during the module trees",
       R"({"faults": [{"command": ":MMEM:CDIR", "path": "/F0:/RKS5", "hold": true}]})",
       Channel::kCommand,
       ":MMEM:CDIR \"/F0://RKS5\"",
       {SIGTERM},
       "already written to the instrument: the MID folders and NAME files, the system tree in "
       "/F0:/SYSTEM and part of the module trees",
       false},
      {"Ctrl-C once while an FPGA configuration is awaited",
       R"({"faults": [{"command": "CONF:FPGA", "hold": true}]})",
       Channel::kCommand,
       "CONF:FPGA",
       {SIGINT},
       "the configuration ROMs were being programmed, up to slot 1 (its configuration was let "
       "finish; an image may remain on N0:)",
       true},
      {"Ctrl-C twice while an FPGA configuration is awaited",
       R"({"faults": [{"command": "CONF:FPGA", "hold": true}]})",
       Channel::kCommand,
       "CONF:FPGA",
       {SIGINT, SIGINT},
       "the configuration ROMs were being programmed, up to slot 1 (its",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempTree release, temporary;
    MakeRelease(release.Path());
    auto instrument = Instrument(c.scenario);
    auto child = StartCli(*instrument, release.Path(), {}, TemporaryFolder(temporary.Path()));
    ASSERT_TRUE(instrument->Transcript().WaitForLine(c.channel, c.awaited, kRunBound));
    // The NAME file being sent lies in the temporary folder until the program removes it.
    EXPECT_EQ(NameFiles(temporary.Path()), c.channel == Channel::kFtp ? 1 : 0);
    SignalWhileAwaited(*child, *instrument, c.awaited, c.signals,
                       "waiting for the FPGA configuration of slot 1 (RKS5) to finish before "
                       "stopping; press Ctrl-C again");

    const int exitCode = 128 + c.signals.front();
    EXPECT_EQ(child->Wait(kRunBound), exitCode) << child->Out() << child->Err();
    EXPECT_THAT(child->Err(), HasSubstr(c.written));
    if (c.channel == Channel::kFtp) {
      // Without --report too, the note names the file being sent and where it was going.
      EXPECT_THAT(child->Err(),
                  AllOf(HasSubstr("interrupted while sending " + temporary.Path().string() + "/"),
                        HasSubstr(" to /F0:/SYSTEM/MID1/NAME\n")));
    }
    EXPECT_THAT(child->Out(),
                HasSubstr("Result: interrupted (exit code " + std::to_string(exitCode) + ")"));
    EXPECT_EQ(child->Out().find("Start config rks5.rpd\nDone\n") != std::string::npos,
              c.configured);
    // Stopped at the next wait after the configuration: the image was not deleted.
    EXPECT_FALSE(Received(instrument->FtpLines(), "DELE"));
    EXPECT_EQ(instrument->FtpLines().back(), "QUIT");
    EXPECT_EQ(NameFiles(temporary.Path()), 0);
  }
}

}  // namespace

namespace {

// A stop while the instrument's FTP server holds its reply is told in plain words, in the
// notes, the JSON outcome and the report alike; none says what the socket layer calls it.
TEST(Cli, AStopDuringAnFtpExchangeIsToldInPlainWords) {
  const std::string told = "stopped during an exchange with the instrument's FTP server";
  testsupport::TempTree release;
  MakeRelease(release.Path());
  const fs::path report = release.Path() / "run.json";
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "--json" : "text");
    auto instrument = Instrument(R"({"ftp": {"delay": [{"command": "PASS", "hold": true}]}})");
    auto child = StartCli(*instrument, release.Path(),
                          {json ? "--json" : "--quiet", "--report", report.string()});
    ASSERT_TRUE(
        instrument->Transcript().WaitForLine(sim::Transcript::Channel::kFtp, "PASS", kRunBound));
    EXPECT_EQ(child->Stop(SIGINT, kRunBound), 130) << child->Out() << child->Err();
    const std::string everything = child->Out() + child->Err() + ReadFile(report);
    EXPECT_THAT(everything, Not(HasSubstr("Socket")));
    EXPECT_EQ(nlohmann::json::parse(ReadFile(report))["error"], told);
    if (json) {
      EXPECT_EQ(JsonLines(child->Out()).back()["error"], told);
    } else {
      EXPECT_THAT(child->Err(), HasSubstr("vxupgrade-cli: interrupted (" + told + ")\n"));
    }
  }
}

// Reading a large release before connecting (its check and, with --report, its digest) stops at
// a signal as a run does: 128 + N, the report written, nothing connected. The release holds a
// sparse file of a terabyte, which would take many minutes to read whole.
TEST(Cli, AStopSignalWhileTheReleaseIsReadEndsBeforeConnecting) {
  testsupport::TempTree release;
  MakeRelease(release.Path());
  fs::resize_file(
      [&] {
        testsupport::WriteFile(release.Path() / "MainFrame" / "huge.bin", "");
        return release.Path() / "MainFrame" / "huge.bin";
      }(),
      std::uintmax_t{1} << 40);
  auto instrument = Instrument();
  const fs::path report = release.Path() / "run.json";
  auto child = StartCli(*instrument, release.Path(), {"--report", report.string()});
  ASSERT_TRUE(child->WaitCatches(SIGTERM, kRunBound));
  child->Signal(SIGTERM);
  EXPECT_EQ(child->Wait(kRunBound), 143) << child->Out() << child->Err();
  EXPECT_THAT(child->Err(), HasSubstr("interrupted before connecting"));
  EXPECT_EQ(nlohmann::json::parse(ReadFile(report))["outcome"], "interrupted");
  EXPECT_TRUE(instrument->FtpLines().empty());
}

// Outside a run, a stop signal closes the window and the program ends normally.
TEST(Window, AStopSignalOutsideARunClosesTheWindow) {
  testsupport::TempTree release;
  MakeRelease(release.Path());
  const fs::path program = release.Path() / "vxupgrade";
  fs::copy_file(VXUPGRADE_PROGRAM, program);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    testsupport::ChildProcess window({program.string()},
                                     {.environment = {{"QT_QPA_PLATFORM", "offscreen"}}});
    ASSERT_TRUE(window.WaitCatches(signal, kRunBound));
    window.Signal(signal);
    EXPECT_EQ(window.Wait(kRunBound), 0) << window.Err();  // not ended by the signal itself
  }
}

// In the window a stop signal stops the run at its next wait (an awaited FPGA configuration is
// let finish unless a second signal comes), logs out, removes the temporary NAME file and
// closes the window; after a run that left the window open, it logs out and closes it.
TEST(Window, AStopSignalStopsTheRunAtItsNextWaitLogsOutAndClosesTheWindow) {
  using Channel = sim::Transcript::Channel;
  struct Case {
    const char* what;
    std::string scenario;
    const char* awaited;  // a line the simulator receives, or (with "box: ") a line of output
    Channel channel;
    std::vector<int> signals;
    const char* logged;  // a line of output after the signals
    bool configured;     // the configuration's outcome was read ("Done")
  } cases[] = {
      {"SIGHUP during the upload of a NAME file",
       R"({"ftp": {"store": [{"pattern": "*NAME", "fault": "never_connect"}]}})",
       "STOR /F0:/SYSTEM/MID1/NAME",
       Channel::kFtp,
       {SIGHUP},
       "log: VX500 Upgrade ftp: Upload failed\nlog: Stopped: ",
       false},
      {"Ctrl-C once while an FPGA configuration is awaited",
       R"({"faults": [{"command": "CONF:FPGA", "hold": true}]})",
       "CONF:FPGA",
       Channel::kCommand,
       {SIGINT},
       "log: Stopping once the FPGA configuration of slot 1 (RKS5) has finished",
       true},
      {"SIGTERM twice while an FPGA configuration is awaited",
       R"({"faults": [{"command": "CONF:FPGA", "hold": true}]})",
       "CONF:FPGA",
       Channel::kCommand,
       {SIGTERM, SIGTERM},
       "log: Stopped: ",
       false},
      {"SIGTERM after an error left the window open and connected",
       R"({"ftp": {"refuse": [{"command": "STOR", "pattern": "*pnb5.bin", "code": 552}]}})",
       "box: VX500 Upgrade: 552",
       Channel::kFtp,
       {SIGTERM},
       "closed",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempTree release, temporary;
    MakeRelease(release.Path());
    auto instrument = Instrument(c.scenario);
    auto environment = TemporaryFolder(temporary.Path());
    environment["QT_QPA_PLATFORM"] = "offscreen";
    testsupport::ChildProcess window(
        {WINDOW_PROGRAM, std::to_string(instrument->Port()), std::to_string(instrument->FtpPort()),
         release.Path().string()},
        {.environment = environment});
    const std::string awaited = c.awaited;
    if (awaited.starts_with("box: ")) {
      ASSERT_TRUE(window.WaitForOutput(awaited, kRunBound)) << window.Out() << window.Err();
    } else {
      ASSERT_TRUE(instrument->Transcript().WaitForLine(c.channel, awaited, kRunBound));
    }
    EXPECT_EQ(NameFiles(temporary.Path()), awaited.starts_with("STOR") ? 1 : 0);

    SignalWhileAwaited(window, *instrument, awaited, c.signals,
                       "log: Stopping once the FPGA configuration of slot 1 (RKS5) has finished");
    EXPECT_EQ(window.Wait(kRunBound), 0) << window.Out() << window.Err();
    EXPECT_THAT(window.Out(), HasSubstr(c.logged));
    EXPECT_THAT(window.Out(), HasSubstr("\nclosed\n"));
    EXPECT_EQ(window.Out().find("log: Done\n") != std::string::npos, c.configured) << window.Out();
    EXPECT_FALSE(Received(instrument->FtpLines(), "DELE"));
    EXPECT_EQ(instrument->FtpLines().back(), "QUIT");
    EXPECT_EQ(NameFiles(temporary.Path()), 0);
  }
}

// Without a display the demo upgrades its simulated instrument with the command line and exits
// with its exit code, a refusal's too, and needs none of the host's ports: here they are taken
// while it runs.
TEST(Demo, RunsTheCommandLineWhenThereIsNoDisplayAndExitsWithItsCode) {
  const char* source = std::getenv("VX_SOURCE_DIR");
  const char* binary = std::getenv("VX_BINARY_DIR");
  if (source == nullptr || binary == nullptr) GTEST_SKIP() << "run through ctest";
  const struct {
    std::string scenario;  // none: the healthy default
    int exitCode;
    const char* result;
  } cases[] = {
      {"", 0, "Result: upgraded (exit code 0)"},
      {"sim/scenarios/firmware-v2.0.json", 1, "Result: refused (exit code 1)"},
  };
  // Taken where they can be had: port 21 only by root.
  net::UniqueFd commandPort = testsupport::ListenOnLoopback(5000, 1);
  net::UniqueFd ftpPort = testsupport::ListenOnLoopback(21, 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    testsupport::TempTree out;
    Lines argv = {"/bin/bash", std::string(source) + "/scripts/demo.sh"};
    if (!c.scenario.empty()) argv.push_back(std::string(source) + "/" + c.scenario);
    testsupport::ChildProcess demo(argv, {.environment = {{"DISPLAY", ""},
                                                          {"WAYLAND_DISPLAY", ""},
                                                          {"VX_DEMO_BIN", binary},
                                                          {"VX_DEMO_OUT", out.Path().string()}}});
    EXPECT_EQ(demo.Wait(kRunBound), c.exitCode) << demo.Out() << demo.Err();
    EXPECT_THAT(demo.Out(), HasSubstr("demo: no display, so vxupgrade-cli runs the upgrade"));
    EXPECT_THAT(demo.Out(), HasSubstr(c.result));
    EXPECT_EQ(fs::exists(out.Path() / "demo-instrument" / "F0:" / "SYSTEM" / "vx500.bin"),
              c.exitCode == 0);
    EXPECT_TRUE(fs::exists(out.Path() / "release" / "vxupgrade-cli"));
  }
}

// A simulator bound to another loopback address opens its data connections from there, so the
// client takes them and the upgrade goes through; its log holds the lines of both ports.
TEST(Cli, AnUpgradeOfASimulatorBoundTo127002GoesThroughAndItsLogHoldsTheFtpLines) {
  testsupport::TempTree out;
  const fs::path release = out.Path() / "release";
  MakeRelease(release);
  const fs::path root = out.Path() / "root";
  testsupport::WriteFile(root / "F0:" / "SYSTEM" / "old.bin", "old");
  const fs::path log = out.Path() / "sim.log";
  testsupport::ChildProcess sim({VX500_SIM_PROGRAM, "--root", root.string(), "--bind", "127.0.0.2",
                                 "--command-port", "0", "--ftp-port", "0"},
                                {.errorFile = log.string()});
  const std::string commands = sim.ReadLine(kRunBound);
  const std::string ftp = sim.ReadLine(kRunBound);
  ASSERT_THAT(commands, StartsWith("command 127.0.0.2:"));
  ASSERT_THAT(ftp, StartsWith("ftp 127.0.0.2:"));
  const auto port = [](const std::string& banner) { return banner.substr(banner.rfind(':') + 1); };
  const fs::path trace = out.Path() / "run.trace";
  testsupport::ChildProcess cli(
      {VXUPGRADE_CLI_PROGRAM, "--ip", "127.0.0.2", "--command-port", port(commands), "--ftp-port",
       port(ftp), "--package", release.string(), "--trace", trace.string()},
      {.environment = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}}});
  EXPECT_EQ(cli.Wait(kRunBound), 0) << cli.Out() << cli.Err();
  EXPECT_THAT(ReadFile(trace), HasSubstr("ftp-data -- peer 127.0.0.2:"));
  EXPECT_THAT(ReadFile(trace), Not(HasSubstr("peer 127.0.0.1:")));
  ASSERT_EQ(sim.Stop(SIGTERM, kRunBound), 0);
  const std::string logged = ReadFile(log);
  for (const char* line : {"vx500-sim command: < *IDN?\n", "vx500-sim ftp: < PASS ****\n",
                           "vx500-sim ftp: < STOR /F0:/SYSTEM/vx500.bin\n",
                           "vx500-sim ftp: > 226 Transfer complete.\n"}) {
    EXPECT_THAT(logged, HasSubstr(line));
  }
  EXPECT_THAT(logged, Not(HasSubstr("pelto3318")));
}

}  // namespace
