#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "instrument/command_socket.h"
#include "instrument/instrument_errors.h"
#include "instrument/tfrm_vx500.h"
#include "net/ipv4.h"
#include "net/unique_fd.h"
#include "tests/support/loopback.h"
#include "tests/support/sim_session.h"
#include "tests/support/temp_tree.h"

namespace {

using namespace std::chrono_literals;
using instrument::TfrmVX500;
using Lines = std::vector<std::string>;

using testsupport::ScenarioFromText;

// A session connected to a simulator over loopback, with short bounds.
struct Rig : testsupport::SimSession<> {
  explicit Rig(sim::Scenario scenario = {}, std::chrono::milliseconds reply = 5s)
      : SimSession(std::move(scenario)) {
    instrument::CommandBounds bounds = session.Bounds();
    bounds.reply = reply;
    session.SetCommandBounds(bounds);
    session.OpenCommandConnection("127.0.0.1");
  }
};

TEST(AgainstSimulator, FullQuerySequenceAndItsTranscript) {
  Rig rig(ScenarioFromText(R"({
      "slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "2.10"},
                {"slot": 3, "model": "RKS5", "hardware": "3.0", "firmware": "1.5"}],
      "drive": {"total": 23003136, "free": 2621440}})"));
  testsupport::WriteFile(rig.instrument.Root() / "F0:" / "SYSTEM" / "boot.bin", "x");
  testsupport::WriteFile(rig.instrument.Root() / "N0:" / "image.rpd", "bits");
  TfrmVX500& s = rig.session;

  s.SendCommand("*IDN?");
  EXPECT_NE(s.ReadReply().find("KOVA/ZEPHLORAN,VX500"), std::string::npos);
  s.ReadSlotInventory();
  EXPECT_EQ(s.SlotFirmwareLevel(0), 210);
  EXPECT_TRUE(s.SlotSupportsFpgaConfig(3));
  EXPECT_TRUE(s.ChangeDirectory("/F0:/"));
  EXPECT_FALSE(s.RemoteDirExists("/F0:/", "NQRM5"));
  EXPECT_TRUE(s.MakeRemoteDir("/F0:/", "NQRM5"));
  EXPECT_TRUE(s.RemoteDirExists("/F0:/", "NQRM5"));
  EXPECT_FALSE(s.MakeRemoteDir("/F0:/", "NQRM5"));  // exists already
  EXPECT_TRUE(s.MakeRemoteDir("/F0:/SYSTEM", "MID1"));
  EXPECT_FALSE(s.CatalogContains("/F0:/SYSTEM/MID1", "NAME"));
  testsupport::WriteFile(rig.instrument.Root() / "F0:" / "SYSTEM" / "MID1" / "NAMES", "RKS5\r\n");
  EXPECT_FALSE(s.CatalogContains("/F0:/SYSTEM/MID1", "NAME"));
  testsupport::WriteFile(rig.instrument.Root() / "F0:" / "SYSTEM" / "MID1" / "NAME", "RKS5\r\n");
  EXPECT_TRUE(s.CatalogContains("/F0:/SYSTEM/MID1", "NAME"));
  EXPECT_EQ(s.FreeFlashBytes(), 2621440);
  EXPECT_EQ(s.TotalFlashBytes(), 23003136);
  EXPECT_EQ(s.ConfigureFpga(3, 0, "image.rpd"), 0);
  EXPECT_EQ(s.ConfigureFpga(3, 1, "missing.rpd"), -256);

  EXPECT_EQ(rig.instrument.CommandLines(), (Lines{
                                               "*IDN?",
                                               "*OPT?",
                                               ":MMEM:CDIR \"/F0:/\"",
                                               "SYSTEM:ERR?",
                                               ":MMEM:CDIR \"/F0://NQRM5\"",
                                               "SYSTEM:ERR?",
                                               ":MMEM:CDIR \"/F0:/\"",
                                               "SYSTEM:ERR?",
                                               "MMEM:MDIR \"NQRM5\"",
                                               ":SYSTEM:ERR?",
                                               ":MMEM:CDIR \"/F0://NQRM5\"",
                                               "SYSTEM:ERR?",
                                               ":MMEM:CDIR \"/F0:/\"",
                                               "SYSTEM:ERR?",
                                               "MMEM:MDIR \"NQRM5\"",
                                               ":SYSTEM:ERR?",
                                               ":MMEM:CDIR \"/F0:/SYSTEM\"",
                                               "SYSTEM:ERR?",
                                               "MMEM:MDIR \"MID1\"",
                                               ":SYSTEM:ERR?",
                                               "MMEM:CAT? \"/F0:/SYSTEM/MID1\"",
                                               "MMEM:CAT? \"/F0:/SYSTEM/MID1\"",
                                               "MMEM:CAT? \"/F0:/SYSTEM/MID1\"",
                                               "MMEM:CAT? \"/F0:/\"",
                                               "MMEM:CAT? \"/F0:/\"",
                                               "INST:NSEL 3",
                                               "SYSTEM:ERR?",
                                               "CONF:FPGA 0,\"N0:image.rpd\"",
                                               "SYSTEM:ERR?",
                                               "INST:NSEL 3",
                                               "SYSTEM:ERR?",
                                               "CONF:FPGA 1,\"N0:missing.rpd\"",
                                               "SYSTEM:ERR?",
                                           }));
}

TEST(AgainstSimulator, AnErrorLeftInTheQueueIsReadByTheNextCheck) {
  Rig rig;
  rig.session.SendCommand("BOGUS");
  EXPECT_FALSE(rig.session.ChangeDirectory("/F0:/"));  // reads the -113 of BOGUS
  EXPECT_TRUE(rig.session.ChangeDirectory("/F0:/"));
}

TEST(AgainstSimulator, LongPathsGoOutWholeAndTheInstrumentJudges) {
  Rig rig;
  std::string path = "/F0:/" + std::string(150, 'd');
  EXPECT_FALSE(rig.session.ChangeDirectory(path));
  EXPECT_EQ(rig.instrument.CommandLines().front(), ":MMEM:CDIR \"" + path + "\"");
}

TEST(AgainstSimulator, PeerClosingMidReplyGivesThePartAndThenNothing) {
  Rig rig(ScenarioFromText(R"({"identity": "KOVA/ZEPHLORAN,VX500,1,V3.0",
                       "faults": [{"command": "*IDN?", "closeAfter": 9}]})"));
  rig.session.SendCommand("*IDN?");
  EXPECT_EQ(rig.session.ReadReply(), "KOVA/ZEPH");
  EXPECT_FALSE(rig.session.CommandConnectionOpen());
  EXPECT_EQ(rig.session.ReadReply(), "");
  rig.session.SendCommand("*OPT?");  // writes nothing
  EXPECT_EQ(rig.instrument.CommandLines(), Lines{"*IDN?"});
}

TEST(AgainstSimulator, GarbageErrorQueueRepliesRaiseTheConversionError) {
  Rig rig(
      ScenarioFromText(R"({"faults": [{"command": "SYSTEM:ERR?", "times": 1, "reply": "garbage"},
                                  {"command": "SYSTEM:ERR?", "times": 1, "reply": "ok,1"}]})"));
  struct Case {
    const char* want;
  } cases[] = {{"'' is not a valid integer value"}, {"'ok' is not a valid integer value"}};
  for (const auto& c : cases) {
    try {
      rig.session.ChangeDirectory("/F0:/");
      ADD_FAILURE();
    } catch (const instrument::ConversionError& e) {
      EXPECT_STREQ(e.what(), c.want);
    }
  }
  EXPECT_TRUE(rig.session.ChangeDirectory("/F0:/"));  // the channel stayed in step
}

TEST(AgainstSimulator, AReplyThatNeverComesEndsAtTheBound) {
  Rig rig(ScenarioFromText(R"({"faults": [{"command": "*IDN?", "times": 1, "noAnswer": true},
                                  {"command": "*OPT?", "times": 1, "hold": true}]})"),
          150ms);
  rig.session.SendCommand("*IDN?");
  try {
    rig.session.ReadReply();
    ADD_FAILURE();
  } catch (const instrument::CommandTimeoutError& e) {
    EXPECT_NE(std::string(e.what()).find("did not answer \"*IDN?\" within 150 ms"),
              std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(rig.session.CommandConnectionOpen());

  // A late reply is never taken for the next command's: the bound closed its connection.
  rig.session.OpenCommandConnection("127.0.0.1");
  EXPECT_THROW(rig.session.ReadSlotInventory(), instrument::CommandTimeoutError);
  rig.instrument.Release();
  instrument::CommandBounds bounds = rig.session.Bounds();
  bounds.reply = 5s;
  rig.session.SetCommandBounds(bounds);
  rig.session.OpenCommandConnection("127.0.0.1");
  rig.session.SendCommand("*IDN?");
  EXPECT_NE(rig.session.ReadReply().find("VX500"), std::string::npos);
}

TEST(AgainstSimulator, AResetEndsInASocketErrorAndClosesTheConnection) {
  Rig rig(ScenarioFromText(R"({"faults": [{"command": "INST:NSEL", "reset": true}]})"));
  try {
    rig.session.ConfigureFpga(1, 0, "image.rpd");
    ADD_FAILURE();
  } catch (const instrument::CommandSocketError& e) {
    // The reset arrives while the error query is written or while its reply is awaited.
    EXPECT_TRUE(e.Api() == "send" || e.Api() == "recv") << e.Api();
    EXPECT_EQ(e.Number(), 10054);
    EXPECT_NE(std::string(e.what()).find("10054:Connection reset by peer"), std::string::npos);
  }
  EXPECT_FALSE(rig.session.CommandConnectionOpen());
}

TEST(AgainstSimulator, AnOverlongReplyLineIsRefused) {
  Rig rig(ScenarioFromText(R"({"faults": [{"command": "*OPT?", "reply":
      "\"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA:1:1.0:1.0\""}]})"));
  auto bounds = rig.session.Bounds();
  bounds.maxReplyBytes = 64;
  rig.session.SetCommandBounds(bounds);
  EXPECT_THROW(rig.session.ReadSlotInventory(), instrument::ReplyTooLongError);
  EXPECT_FALSE(rig.session.CommandConnectionOpen());
}

TEST(CommandConnection, RefusedConnectsAndBadAddressesRaiseTheConnectError) {
  const testsupport::RefusingPort closedPort;
  TfrmVX500 session(closedPort.Port());
  try {
    session.OpenCommandConnection("127.0.0.1");
    ADD_FAILURE();
  } catch (const instrument::CommandConnectError& e) {
    EXPECT_NE(std::string(e.what()).find("10061:Connection refused"), std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(session.CommandConnectionOpen());
  EXPECT_THROW(session.OpenCommandConnection("127.0.0.1:5000"), instrument::CommandConnectError);
}

TEST(AgainstSimulator, ScenariosExpressEachPreCopyBoundary) {
  struct Case {
    const char* scenario;
    bool identified;
    bool driveAnswers;
    int16_t firmware;
    uint32_t freeBytes;
    uint32_t totalBytes;
  } cases[] = {
      {R"({"identity": "KOVA/ZEPHLORAN,VX400,1,V3.0"})", false, true, 300, 0, 0},
      {R"({"slots": [{"slot": 1, "model": "RKS5", "hardware": "3.0", "firmware": "1.5"}],
           "drive": {"total": 23003135, "free": 2621439}})",
       true, true, 0, 2621439, 23003135},
      {R"({"slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "2.0"}],
           "drive": {"total": 4294967294, "free": 2147483647}})",
       true, true, 200, 2147483647u, 4294967294u},
      {R"({"faults": [{"command": "MMEM:CDIR", "path": "/F0:/", "error": -256}]})", true, false,
       300, 0, 0},
  };
  for (const auto& c : cases) {
    Rig rig(ScenarioFromText(c.scenario));
    testsupport::WriteFile(rig.instrument.Root() / "F0:" / "SYSTEM" / "a.bin", "x");
    rig.session.SendCommand("*IDN?");
    EXPECT_EQ(rig.session.ReadReply().find("KOVA/ZEPHLORAN,VX500") != std::string::npos,
              c.identified)
        << c.scenario;
    rig.session.ReadSlotInventory();
    EXPECT_EQ(rig.session.ChangeDirectory("/F0:/"), c.driveAnswers) << c.scenario;
    EXPECT_EQ(rig.session.SlotFirmwareLevel(0), c.firmware) << c.scenario;
    if (c.totalBytes == 0) continue;
    EXPECT_EQ(static_cast<uint32_t>(rig.session.FreeFlashBytes()), c.freeBytes) << c.scenario;
    EXPECT_EQ(static_cast<uint32_t>(rig.session.TotalFlashBytes()), c.totalBytes) << c.scenario;
  }
}

TEST(CommandConnection, AConnectThatIsNeverAcceptedEndsAtTheBound) {
  const testsupport::UnansweredPort unanswered;
  TfrmVX500 session(unanswered.Port());
  instrument::CommandBounds bounds;
  bounds.connect = 200ms;
  session.SetCommandBounds(bounds);
  try {
    session.OpenCommandConnection("127.0.0.1");
    ADD_FAILURE();
  } catch (const instrument::CommandConnectError& e) {
    EXPECT_NE(std::string(e.what()).find("no answer within 200 ms"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(session.CommandConnectionOpen());
}

TEST(CommandConnection, RepliesArrivingTogetherAreReadOneLineEach) {
  testsupport::Listener listener(1);
  instrument::CommandSocket channel(listener.Port());
  ASSERT_EQ(channel.Open(*net::ParseIPv4("127.0.0.1"), net::Deadline::After(5s)).kind,
            instrument::TransportStatus::kOk);
  net::UniqueFd peer = listener.Accept();
  // Three replies in one write (a zero byte in the third), then a line longer than the bound.
  const std::string longLine(40, '7');
  const std::string bytes = "0,\"No error\"\n-256,\"File name not found\"\nKO" +
                            std::string(1, '\0') + "VA\n" + longLine + "\n";
  ASSERT_EQ(send(peer.Get(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));

  constexpr size_t kBound = 30;
  struct Read {
    instrument::TransportStatus::Kind kind;
    std::string line;
  } reads[] = {{instrument::TransportStatus::kOk, "0,\"No error\"\n"},
               {instrument::TransportStatus::kOk, "-256,\"File name not found\"\n"},
               {instrument::TransportStatus::kOk, "KOVA\n"},
               {instrument::TransportStatus::kTooLong, longLine.substr(0, kBound - 1)}};
  for (const Read& want : reads) {
    std::string line;
    EXPECT_EQ(channel.ReadLine(line, net::Deadline::After(5s), kBound).kind, want.kind);
    EXPECT_EQ(line, want.line);
  }
}

}  // namespace
