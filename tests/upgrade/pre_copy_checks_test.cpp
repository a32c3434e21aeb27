#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "ftp/ftp_errors.h"
#include "instrument/instrument_errors.h"
#include "tests/upgrade/run_host.h"
#include "tests/support/loopback.h"
#include "tests/support/sim_instrument.h"
#include "upgrade/upgrade_run.h"

namespace {

using Lines = std::vector<std::string>;
using Message = testsupport::EventRecorder::Message;
using vxtest::ExpectMessages;

constexpr int kError = kMbIconError;
constexpr char kCaption[] = "VX500 Upgrade";
const std::string kQuestion =
    "There is not enough space to upgrade VX500.\n\nThe signals of SCWH5/PNB5 are overwritten "
    "with compressed signals.\n\nClick YES to continue.";
const Message kNeedsV21{
    "This release requires VX500 V2.1 or above.\n\nPlease upgrade V2.1 first, then try again",
    kCaption, kError};
const Message kNoSpace{
    "There isn't enough space to upgrade VX500. \n\nPlease remove some pictures or LOGO files "
    "first, then try again.",
    kCaption, kError};
const Message kNoSpaceNqrm5{
    "There isn't enough space to upgrade NQRM5\n\nPlease remove some pictures or LOGO files "
    "first, then try again.",
    kCaption, kError};
const Message kSixteenMb{"Can't update for 16Mb VX500\n", kCaption, kError};
const Message kDamaged{"VX500's File System was damaged!", kCaption, kError};
const Message kNotVX500{"This instrument is not a VX500.\n\nCan not continue.", kCaption, kError};
const Message kCantConnect{"Can't connect VX500.\n\nPlease check IP address.", kCaption, kError};
const Message kAsk{kQuestion, kCaption, kMbYesNoQuestion};

// What the simulator receives, piece by piece, in the order the run sends it.
const Lines kIdentify = {"*IDN?", "*OPT?"};
const Lines kDriveTest = {":MMEM:CDIR \"/F0:/\"", "SYSTEM:ERR?"};
const Lines kSizes = {"MMEM:CAT? \"/F0:/\"", "MMEM:CAT? \"/F0:/\""};
const Lines kNqrm5Test = {":MMEM:CDIR \"/F0://NQRM5\"", "SYSTEM:ERR?"};
const Lines kLogIn = {"USER kestro", "PASS pelto3318"};
const Lines kLogInOut = {"USER kestro", "PASS pelto3318", "QUIT"};

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// How a run ended.
enum class Ending {
  kStopped,  // window open, channels as the run left them (connected)
  kE1,       // disconnected, released and closed
  kPassed,   // every check passed and the run went on: with no trees in the package it made
             // the MID folders, programmed nothing, reported success and closed the window
  kNoLink,   // the connection failed: window open, nothing connected
};

// A scenario with the mainframe's firmware version and the drive's figures.
std::string Instrument(const char* firmware, unsigned long long freeBytes,
                       unsigned long long totalBytes, const std::string& extra = "") {
  return R"({"slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": ")" +
         std::string(firmware) + R"("}, {"slot": 1, "model": "RKS5", "hardware": "3.0",
         "firmware": "1.5"}], "drive": {"total": )" +
         std::to_string(totalBytes) + R"(, "free": )" + std::to_string(freeBytes) + "}" + extra +
         "}";
}

constexpr unsigned long long kRoomy = 33554432;  // 32 MiB drive

// What the operator and the instrument's drive bring to a run besides the scenario.
struct RunSetup {
  bool nqrm5Folder = false;          // the drive holds /F0:/NQRM5
  std::vector<std::string> ticked;   // boxes enabled and ticked
  std::vector<std::string> enabled;  // boxes enabled, unticked
  std::deque<int> answers;           // answers to the message boxes, in order
};

RunSetup Ticked(std::vector<std::string> ticked, std::deque<int> answers = {}) {
  RunSetup setup;
  setup.ticked = std::move(ticked);
  setup.answers = std::move(answers);
  return setup;
}
RunSetup WithNqrm5(std::vector<std::string> ticked = {}) {
  RunSetup setup = Ticked(std::move(ticked));
  setup.nqrm5Folder = true;
  return setup;
}
RunSetup Enabled(std::vector<std::string> enabled) {
  RunSetup setup;
  setup.enabled = std::move(enabled);
  return setup;
}

struct Row {
  const char* what;
  std::string scenario;
  RunSetup setup;
  std::vector<Message> messages;
  Ending ending;
  Lines commands;
};

// The FTP lines of a run that ended so: logged in, and out again when it disconnected.
Lines FtpLinesOf(Ending ending) {
  switch (ending) {
    case Ending::kE1:
      return kLogInOut;
    case Ending::kPassed:
      return {"USER kestro", "PASS pelto3318", "TYPE A"};  // then the NAME files
    case Ending::kStopped:
      return kLogIn;
    case Ending::kNoLink:
      break;
  }
  return {};
}

void ExpectEnding(const vxtest::RunHost& host, Ending ending) {
  switch (ending) {
    case Ending::kE1:
    case Ending::kPassed:
      EXPECT_TRUE(host.closed);
      EXPECT_FALSE(host.commandOpenAtRelease);
      EXPECT_FALSE(host.ftpConnectedAtRelease);
      EXPECT_EQ(host.session, nullptr);
      EXPECT_TRUE(host.modules.empty());
      return;
    case Ending::kStopped:
      ASSERT_FALSE(host.closed);
      EXPECT_TRUE(host.session->CommandConnectionOpen());
      EXPECT_TRUE(host.session->FtpClient.Connected());
      return;
    case Ending::kNoLink:
      ASSERT_FALSE(host.closed);
      EXPECT_FALSE(host.session->CommandConnectionOpen());
      EXPECT_FALSE(host.session->FtpClient.Connected());
      return;
  }
}

// An instrument as it comes: its drive holds the system folder (a drive that lists nothing
// answers a catalogue the tool cannot read, as the real one would).
void SeedDrive(const testsupport::SimInstrument& instrument, bool nqrm5Folder = false) {
  testsupport::WriteFile(instrument.Root() / "F0:" / "SYSTEM" / "vx500.bin", "firmware");
  if (nqrm5Folder) std::filesystem::create_directories(instrument.Root() / "F0:" / "NQRM5");
}

// Runs one press of Copy against a simulator set up as the row says and checks the outcome.
void RunRow(const Row& row) {
  SCOPED_TRACE(row.what);
  testsupport::SimInstrument instrument(testsupport::ScenarioFromText(row.scenario));
  SeedDrive(instrument, row.setup.nqrm5Folder);
  vxtest::RunHost host(instrument);
  host.modules = {{1, "PNB5", false, {}}, {2, "PCW5", false, {}}, {3, "SCWH5", false, {}}};
  for (const auto& model : row.setup.enabled) host.boxes.Set(model, true, false);
  for (const auto& model : row.setup.ticked) host.boxes.Set(model, true, true);
  host.view.answers = row.setup.answers;
  host.view.log = {"left over from before"};
  host.view.progress.position = 42;

  host.Run();

  ExpectEnding(host, row.ending);
  if (row.ending != Ending::kPassed) {
    EXPECT_EQ(host.view.progress.position, 0);
    EXPECT_EQ(host.view.log, Lines{"Connecting VX500 ..."});
    ExpectMessages(host.view.messages, row.messages);
    EXPECT_EQ(instrument.CommandLines(), row.commands);
    EXPECT_EQ(instrument.FtpLines(), FtpLinesOf(row.ending));
    return;
  }
  // The checks passed: the run went on to the MID folders, then found nothing to copy.
  EXPECT_EQ(host.view.log,
            (Lines{"Connecting VX500 ...", "Copy completed!", "Program Config ROMs ..."}));
  ASSERT_EQ(host.view.messages.size(), row.messages.size() + 1);
  ExpectMessages({host.view.messages.begin(), host.view.messages.end() - 1}, row.messages);
  EXPECT_EQ(host.view.messages.back().caption, "VX500 Upgrade Complete");
  const Lines commands = instrument.CommandLines();
  ASSERT_GT(commands.size(), row.commands.size());
  EXPECT_EQ(Lines(commands.begin(), commands.begin() + row.commands.size()), row.commands);
  EXPECT_EQ(commands[row.commands.size()], ":MMEM:CDIR \"/F0:/SYSTEM/MID1\"");
  const Lines ftp = instrument.FtpLines();
  ASSERT_GT(ftp.size(), 3u);
  EXPECT_EQ(Lines(ftp.begin(), ftp.begin() + 3), FtpLinesOf(Ending::kPassed));
  EXPECT_EQ(ftp.back(), "QUIT");
}

TEST(PreCopyChecks, FirmwareLevelsAreSigned16BitAndNeedV21) {
  const Lines refused = Join({kIdentify, kDriveTest});
  const Lines passed = Join({kIdentify, kDriveTest, kSizes});
  // clang-format off
  const Row rows[] = {
      {"V2.0 is refused", Instrument("2.0", kRoomy, kRoomy), {}, {kNeedsV21}, Ending::kE1, refused},
      {"V2.1 passes", Instrument("2.1", kRoomy, kRoomy), {}, {}, Ending::kPassed, passed},
      {"no mainframe record reads as level 0",
       R"({"slots": [{"slot": 1, "model": "RKS5", "hardware": "3.0", "firmware": "1.5"}],
           "drive": {"total": 33554432, "free": 33554432}})",
       {}, {kNeedsV21}, Ending::kE1, refused},
      // 400 * 100 does not fit 16 bits: the level wraps below zero and is refused.
      {"V400.0 wraps negative", Instrument("400.0", kRoomy, kRoomy), {}, {kNeedsV21}, Ending::kE1,
       refused},
  };
  // clang-format on
  for (const Row& row : rows) RunRow(row);
}

TEST(PreCopyChecks, FreeSpaceBelowV30AndTheCompressedSignalQuestion) {
  const Lines sized = Join({kIdentify, kDriveTest, kSizes});
  // clang-format off
  const Row rows[] = {
      {"2,621,439 free is refused", Instrument("2.99", 2621439, kRoomy), {}, {kNoSpace},
       Ending::kE1, sized},
      {"2,621,440 free passes", Instrument("2.99", 2621440, kRoomy), {}, {}, Ending::kPassed,
       sized},
      {"under 5 MB, nothing ticked: no question", Instrument("2.99", 5242879, kRoomy),
       Enabled({"PNB5"}), {}, Ending::kPassed, sized},
      {"under 5 MB, PCW5 ticked, No ends the run", Instrument("2.1", 5242879, kRoomy),
       Ticked({"PCW5"}, {kIdNo}), {kAsk}, Ending::kE1, sized},
      {"under 5 MB, PCWX5 ticked, Yes goes on", Instrument("2.1", 2621440, kRoomy),
       Ticked({"PCWX5"}, {kIdYes}), {kAsk}, Ending::kPassed, sized},
      {"5 MB free, PCW5 ticked: no question", Instrument("2.1", 5242880, kRoomy),
       Ticked({"PCW5"}), {}, Ending::kPassed, sized},
      {"free passes, 23,003,135 in all is refused", Instrument("2.1", 5242880, 23003135), {},
       {kSixteenMb}, Ending::kE1, sized},
  };
  // clang-format on
  for (const Row& row : rows) RunRow(row);
}

// Yes ticks and disables the enabled ones of PNB5 and SCWH5 and selects their signals.
TEST(PreCopyChecks, YesToTheQuestionSelectsTheEnabledCompressedSignals) {
  testsupport::SimInstrument instrument(
      testsupport::ScenarioFromText(Instrument("2.1", 4000000, kRoomy)));
  SeedDrive(instrument);
  vxtest::RunHost host(instrument);
  host.modules = {{1, "PNB5", false, {}}, {2, "PCW5", false, {}}, {3, "SCWH5", false, {}}};
  host.boxes.Set("PNB5", true, false);
  host.boxes.Set("PCW5", true, true);
  host.boxes.Set("SCWH5", false, false);
  host.Run();
  ASSERT_EQ(host.view.messages.size(), 2u);  // the question, then the success report
  ExpectMessages({host.view.messages.front()}, {kAsk});
  EXPECT_FALSE(host.boxes.Enabled("PNB5"));
  EXPECT_TRUE(host.boxes.Ticked("PNB5"));
  EXPECT_FALSE(host.boxes.Ticked("SCWH5"));
  ExpectEnding(host, Ending::kPassed);
  EXPECT_TRUE(package::FindModule(host.modulesAtRelease, "PNB5")->hasSignal);
  EXPECT_FALSE(package::FindModule(host.modulesAtRelease, "SCWH5")->hasSignal);
}

TEST(PreCopyChecks, FreeSpaceFromV30DependsOnTheNqrm5Folder) {
  const Lines sized = Join({kIdentify, kDriveTest, kSizes, kNqrm5Test});
  // clang-format off
  const Row rows[] = {
      {"no NQRM5, 8,388,607 free is refused", Instrument("3.0", 8388607, kRoomy), {},
       {kNoSpaceNqrm5}, Ending::kE1, sized},
      {"no NQRM5, 8,388,608 free passes", Instrument("3.0", 8388608, kRoomy), {}, {},
       Ending::kPassed, sized},
      {"NQRM5 there, 2,097,151 free is refused", Instrument("3.0", 2097151, kRoomy), WithNqrm5(),
       {kNoSpace}, Ending::kE1, sized},
      // Neither the 2.5 MB and 5 MB limits nor the question apply from V3.0 on.
      {"NQRM5 there, 2,097,152 free passes without a question", Instrument("3.0", 2097152, kRoomy),
       WithNqrm5({"PCW5", "PCWX5"}), {}, Ending::kPassed, sized},
  };
  // clang-format on
  for (const Row& row : rows) RunRow(row);
}

TEST(PreCopyChecks, DriveSizesCompareUnsigned) {
  const Lines sized = Join({kIdentify, kDriveTest, kSizes, kNqrm5Test});
  // clang-format off
  const Row rows[] = {
      {"23,003,135 in all is refused", Instrument("3.0", 16777216, 23003135), {}, {kSixteenMb},
       Ending::kE1, sized},
      {"23,003,136 in all is accepted", Instrument("3.0", 16777216, 23003136), {}, {},
       Ending::kPassed, sized},
      // 4 GiB - 2 bytes reads as -2 when signed.
      {"a total above 2 GiB is large", Instrument("3.0", 2147483647, 4294967294), {}, {},
       Ending::kPassed, sized},
      // The instrument reports -1 free bytes: 4 GiB - 1 when taken as a byte count.
      // The drive behind that reply has room for the release, which is then stored.
      {"a free figure of -1 is large",
       Instrument("3.0", kRoomy, kRoomy, R"(, "faults": [{"command": "MMEM:CAT?",
                                                     "reply": "23003137,-1,\"SYSTEM\",DIR,0"}])"),
       {}, {}, Ending::kPassed, sized},
  };
  // clang-format on
  for (const Row& row : rows) RunRow(row);
}

TEST(PreCopyChecks, StopsThatLeaveTheWindowOpen) {
  // clang-format off
  const Row rows[] = {
      {"drive refuses to be entered",
       Instrument("3.0", kRoomy, kRoomy,
                  R"(, "faults": [{"command": ":MMEM:CDIR", "path": "/F0:/", "error": -256}])"),
       {}, {kDamaged}, Ending::kStopped, Join({kIdentify, kDriveTest})},
      {"not a VX500 still reads the slots",
       Instrument("3.0", kRoomy, kRoomy, R"(, "identity": "KOVA/ZEPHLORAN,VX400,1,V3.0")"),
       {}, {kNotVX500}, Ending::kStopped, kIdentify},
  };
  // clang-format on
  for (const Row& row : rows) RunRow(row);
}

TEST(PreCopyChecks, AFailedConnectShowsOneMessageAndSendsNothing) {
  testsupport::SimInstrument instrument;
  for (const char* address : {"", "127.0.0", "999.0.0.1"}) {
    SCOPED_TRACE(address);
    vxtest::RunHost host(instrument);
    host.address = address;
    host.Run();
    ASSERT_EQ(host.view.messages.size(), 1u);
    EXPECT_EQ(host.view.messages[0].text, kCantConnect.text);
    EXPECT_EQ(host.view.messages[0].flags, kError);
    ExpectEnding(host, Ending::kNoLink);
  }
  // A well-formed address where nobody answers.
  testsupport::SimInstrument other;
  const testsupport::RefusingPort closed;
  vxtest::RunHost host(closed.Port(), other.FtpPort());
  host.Run();
  ASSERT_EQ(host.view.messages.size(), 1u);
  EXPECT_EQ(host.view.messages[0].text, kCantConnect.text);
  ExpectEnding(host, Ending::kNoLink);
  EXPECT_TRUE(instrument.CommandLines().empty());
  EXPECT_TRUE(instrument.FtpLines().empty());
  EXPECT_TRUE(other.FtpLines().empty());
}

// Errors from below leave the run where they stand, with no message of the run's own and no
// ending: the window's error display takes over.
TEST(PreCopyChecks, ErrorsFromBelowEndTheRunWhereItStands) {
  struct Case {
    const char* what;
    const char* scenario;
    std::string error;
    Lines commands;
    bool commandOpen;
    // A short bound only where nothing answers: a reply from a loaded machine may take long.
    std::chrono::milliseconds replyBound = std::chrono::seconds(5);
  } cases[] = {
      {"FTP log-in refused",
       R"({"ftp": {"refuse": [{"command": "PASS", "code": 530, "text": "Login incorrect."}]}})",
       "530 Login incorrect.\r\n",
       {},
       true},
      {"unreadable *OPT? reply", R"({"faults": [{"command": "*OPT?", "reply": "\"VX500:0:x\""}]})",
       "", kIdentify, true},
      {"silent instrument",
       R"({"faults": [{"command": "*IDN?", "noAnswer": true}]})",
       "The instrument at 127.0.0.1 did not answer \"*IDN?\" within 300 ms; the command "
       "connection was closed",
       {"*IDN?"},
       false,
       std::chrono::milliseconds(300)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::SimInstrument instrument(testsupport::ScenarioFromText(c.scenario));
    vxtest::RunHost host(instrument);
    instrument::CommandBounds bounds = host.session->Bounds();
    bounds.reply = c.replyBound;
    host.session->SetCommandBounds(bounds);
    std::string raised;
    try {
      host.Run();
    } catch (const std::exception& error) {
      raised = error.what();
    }
    EXPECT_FALSE(raised.empty());
    if (!c.error.empty()) {
      EXPECT_EQ(raised, c.error);
    }
    EXPECT_TRUE(host.view.messages.empty());
    EXPECT_EQ(host.view.log, Lines{"Connecting VX500 ..."});
    ASSERT_FALSE(host.closed);
    EXPECT_EQ(host.session->CommandConnectionOpen(), c.commandOpen);
    EXPECT_EQ(instrument.CommandLines(), c.commands);
  }
}

// A check-only run asks nothing, writes nothing and says whether the question would come.
TEST(PreCopyChecks, CheckOnlyRunsAskAndWriteNothing) {
  testsupport::SimInstrument instrument(
      testsupport::ScenarioFromText(Instrument("2.1", 4000000, kRoomy)));
  SeedDrive(instrument);
  vxtest::RunHost host(instrument);
  host.modules = {{1, "PNB5", false, {}}, {2, "PCW5", false, {}}};
  host.boxes.Set("PNB5", true, false);
  host.boxes.Set("PCW5", true, true);
  host.Run(RunMode::kCheckOnly);
  EXPECT_EQ(host.result.outcome, RunOutcome::kChecksPassed);
  EXPECT_TRUE(host.result.compressedQuestionDue);
  EXPECT_FALSE(host.result.WritingStarted());
  EXPECT_TRUE(host.view.messages.empty());
  EXPECT_EQ(host.view.log,
            (Lines{"Connecting VX500 ...", "Checks passed: free= 3.8 MB,total=32.0 MB"}));
  EXPECT_EQ(instrument.CommandLines(), Join({kIdentify, kDriveTest, kSizes}));
  EXPECT_EQ(instrument.FtpLines(), kLogInOut);
}

TEST(FormatMegabytes, WritesFourWideWithOneDecimal) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0, " 0.0"},        {52428, " 0.0"},    {52429, " 0.1"},         {2621440, " 2.5"},
      {10485760, "10.0"}, {23003136, "21.9"}, {4294967295u, "4096.0"}, {104857600, "100.0"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatMegabytes(bytes), text) << bytes;
}

// Every scenario file shipped for the demo and hand tests ends the way its name says.
TEST(ScenarioFiles, EachEndsTheRunAsNamed) {
  struct Expect {
    Ending ending;
    std::vector<Message> messages;
    RunSetup setup;
    bool raises;
  };
  const std::map<std::string, Expect> expected = {
      {"healthy-v2.1", {Ending::kPassed, {}, {}, false}},
      {"healthy-v3.0", {Ending::kPassed, {}, {}, false}},
      {"firmware-v2.0", {Ending::kE1, {kNeedsV21}, {}, false}},
      {"no-mainframe-record", {Ending::kE1, {kNeedsV21}, {}, false}},
      {"low-free-v2.1", {Ending::kE1, {kNoSpace}, {}, false}},
      {"compressed-question-v2.1", {Ending::kPassed, {kAsk}, Ticked({"PCW5"}), false}},
      {"low-free-without-nqrm5", {Ending::kE1, {kNoSpaceNqrm5}, {}, false}},
      {"low-free-with-nqrm5", {Ending::kE1, {kNoSpace}, WithNqrm5(), false}},
      {"small-drive-16mb", {Ending::kE1, {kSixteenMb}, {}, false}},
      {"not-vx500", {Ending::kStopped, {kNotVX500}, {}, false}},
      {"damaged-drive", {Ending::kStopped, {kDamaged}, {}, false}},
      {"ftp-login-refused", {Ending::kStopped, {}, {}, true}},
  };
  const char* source = std::getenv("VX_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  std::vector<std::string> seen;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(source) / "sim" / "scenarios")) {
    if (entry.path().extension() != ".json") continue;
    const std::string name = entry.path().stem().string();
    SCOPED_TRACE(name);
    seen.push_back(name);
    const auto it = expected.find(name);
    ASSERT_NE(it, expected.end()) << "no expectation for this scenario file";
    const Expect& e = it->second;
    testsupport::SimInstrument instrument(sim::LoadScenario(entry.path()));
    SeedDrive(instrument, e.setup.nqrm5Folder);
    vxtest::RunHost host(instrument);
    host.modules = {{1, "PNB5", false, {}}, {2, "PCW5", false, {}}};
    for (const auto& model : e.setup.ticked) host.boxes.Set(model, true, true);
    if (e.raises) {
      EXPECT_THROW(host.Run(), ftp::FTPException);
      EXPECT_FALSE(host.closed);
      EXPECT_TRUE(host.session->CommandConnectionOpen());
      continue;
    }
    host.Run();
    if (e.ending == Ending::kPassed) host.view.messages.pop_back();  // the success report
    ASSERT_EQ(host.view.messages.size(), e.messages.size());
    for (std::size_t i = 0; i < e.messages.size(); ++i)
      EXPECT_EQ(host.view.messages[i].text, e.messages[i].text);
    ExpectEnding(host, e.ending);
  }
  EXPECT_EQ(seen.size(), expected.size());
}

}  // namespace
