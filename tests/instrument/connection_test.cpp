#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftp_errors.h"
#include "instrument/instrument_errors.h"
#include "tests/support/event_recorder.h"
#include "upgrade/session_messages.h"
#include "instrument/session_observer.h"
#include "instrument/tfrm_vx500.h"
#include "net/unique_fd.h"
#include "tests/support/loopback.h"
#include "tests/support/sim_session.h"
#include "tests/support/temp_tree.h"

namespace {

using namespace std::chrono_literals;
using instrument::TfrmVX500;
using Lines = std::vector<std::string>;

using testsupport::ScenarioFromText;

// The session's events as the operator is shown them; every box is answered OK.
using RecordingSink = testsupport::EventRecorder;
using Box = testsupport::EventRecorder::Message;

// A session on a simulator's two ports, with short bounds, its messages recorded.
using Rig = testsupport::SimSession<RecordingSink>;

TEST(ConnectInstrument, BringsUpBothChannelsIdentifiesAndReadsTheSlots) {
  Rig rig;
  ASSERT_TRUE(rig.session.ConnectInstrument("127.0.0.1"));
  EXPECT_TRUE(rig.sink.messages.empty());
  EXPECT_TRUE(rig.session.CommandConnectionOpen());
  EXPECT_TRUE(rig.session.FtpClient.Connected());
  EXPECT_EQ(rig.session.SlotModuleName(1), "RKS5");
  EXPECT_EQ(rig.instrument.CommandLines(), (Lines{"*IDN?", "*OPT?"}));
  EXPECT_EQ(rig.instrument.FtpLines(), (Lines{"USER kestro", "PASS pelto3318"}));

  // Connecting again closes and reopens both channels.
  ASSERT_TRUE(rig.session.ConnectInstrument("127.0.0.1"));
  EXPECT_EQ(rig.instrument.FtpLines(),
            (Lines{"USER kestro", "PASS pelto3318", "QUIT", "USER kestro", "PASS pelto3318"}));

  rig.session.DisconnectInstrument();
  EXPECT_FALSE(rig.session.CommandConnectionOpen());
  EXPECT_FALSE(rig.session.FtpClient.Connected());
  rig.session.DisconnectInstrument();  // a second call does nothing
  EXPECT_EQ(rig.instrument.FtpLines().size(), 6u);
}

TEST(ConnectInstrument, UnreachableOrMalformedAddressShowsOneMessageAndSendsNothing) {
  for (const char* address : {"", "127.0.0", "localhost"}) {
    Rig rig;
    EXPECT_FALSE(rig.session.ConnectInstrument(address)) << address;
    EXPECT_EQ(rig.sink.messages,
              (std::vector<Box>{
                  {"Can't connect VX500.\n\nPlease check IP address.", "VX500 Upgrade", 16}}));
    EXPECT_TRUE(rig.instrument.CommandLines().empty());
    EXPECT_TRUE(rig.instrument.FtpLines().empty());
  }
  // Nobody listening on the command port.
  RecordingSink sink;
  const testsupport::RefusingPort refusing;
  TfrmVX500 session(refusing.Port(), 1);
  const SessionEventsShown shown(session, sink);
  EXPECT_FALSE(session.ConnectInstrument("127.0.0.1"));
  ASSERT_EQ(sink.messages.size(), 1u);
  EXPECT_FALSE(session.FtpClient.Connected());
}

TEST(ConnectInstrument, IdentityIsACaseSensitiveSubstringAndSlotsAreReadEitherWay) {
  struct Case {
    const char* identity;
    bool accepted;
  } cases[] = {{"KOVA/ZEPHLORAN,VX500,1,V2.1", true},
               {"Firmware KOVA/ZEPHLORAN,VX500", true},
               {"kova/zephloran,vx500,1,V2.1", false},
               {"OTHER,VX400,1,V2.1", false}};
  for (const auto& c : cases) {
    Rig rig(ScenarioFromText(
        (std::string(R"({"identity": ")") + c.identity +
         R"(", "slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "2.1"}]})")
            .c_str()));
    EXPECT_EQ(rig.session.ConnectInstrument("127.0.0.1"), c.accepted) << c.identity;
    EXPECT_EQ(rig.session.SlotFirmwareLevel(0), 201) << c.identity;
    EXPECT_EQ(rig.instrument.CommandLines(), (Lines{"*IDN?", "*OPT?"}));
    if (c.accepted) {
      EXPECT_TRUE(rig.sink.messages.empty());
    } else {
      EXPECT_EQ(
          rig.sink.messages,
          (std::vector<Box>{
              {"This instrument is not a VX500.\n\nCan not continue.", "VX500 Upgrade", 16}}));
      // Both channels stay open after a refused identification.
      EXPECT_TRUE(rig.session.CommandConnectionOpen());
      EXPECT_TRUE(rig.session.FtpClient.Connected());
    }
  }
}

TEST(ConnectInstrument, RefusedFtpLogInIsRaisedWithTheCommandChannelLeftOpen) {
  Rig rig(ScenarioFromText(R"({"ftp": {"refuse": [{"command": "PASS", "code": 530,
                                             "text": "Login incorrect."}]}})"));
  try {
    rig.session.ConnectInstrument("127.0.0.1");
    FAIL() << "no error raised";
  } catch (const ftp::FTPException& e) {
    EXPECT_EQ(std::string(e.what()), "530 Login incorrect.\r\n");
  }
  EXPECT_TRUE(rig.sink.messages.empty());
  EXPECT_TRUE(rig.session.CommandConnectionOpen());
  EXPECT_FALSE(rig.session.FtpClient.Connected());
  EXPECT_TRUE(rig.instrument.CommandLines().empty());
}

TEST(UploadFile, StoresAFileAndRefusalsShowTheirMessagesBeforeTheError) {
  Rig rig(ScenarioFromText(
      R"({"ftp": {"refuse": [{"command": "STOR", "pattern": "*.bad", "code": 501}]}})"));
  ASSERT_TRUE(rig.session.ConnectInstrument("127.0.0.1"));
  testsupport::TempTree local;
  testsupport::WriteFile(local.Path() / "a.bin", "firmware");
  testsupport::WriteFile(local.Path() / "b.bad", "x");

  EXPECT_TRUE(rig.session.UploadFile((local.Path() / "a.bin").string(), "/F0:/a.bin"));
  EXPECT_EQ(testsupport::ReadFile(rig.instrument.Root() / "F0:" / "a.bin"), "firmware");

  EXPECT_THROW(rig.session.UploadFile((local.Path() / "b.bad").string(), "/F0:/b.bad"),
               ftp::FTPException);
  EXPECT_FALSE(rig.session.transferOk);
  EXPECT_EQ(rig.sink.messages, (std::vector<Box>{
                                {"Upload not supported by this server", "VX500 Upgrade ftp", 16},
                                {"Upload failed", "VX500 Upgrade ftp", 16}}));

  // The client stays usable: the next upload succeeds and sets the flag again.
  EXPECT_TRUE(rig.session.UploadFile((local.Path() / "a.bin").string(), "/F0:/c.bin"));
  EXPECT_TRUE(rig.session.transferOk);
}

// Once the front end asks to stop, the next line is not sent on either channel (the programs'
// tests stop waits on both), each with a cancel error of its own, and the command connection
// is closed.
TEST(CancelPredicate, StopsBothChannelsBeforeTheNextLine) {
  Rig rig;
  ASSERT_TRUE(rig.session.ConnectInstrument("127.0.0.1"));
  rig.session.SetCancelPredicate([] { return true; });
  testsupport::TempTree local;
  testsupport::WriteFile(local.Path() / "a.bin", "firmware");
  std::string raised;
  try {
    rig.session.UploadFile((local.Path() / "a.bin").string(), "/F0:/a.bin");
  } catch (const ftp::ESockError& e) {
    raised = e.what();
  }
  EXPECT_EQ(raised, "Socket send aborted");
  EXPECT_THROW(rig.session.FreeFlashBytes(), instrument::CommandCancelledError);
  EXPECT_FALSE(rig.session.CommandConnectionOpen());
  EXPECT_EQ(rig.instrument.CommandLines().back(), "*OPT?");
  EXPECT_EQ(rig.instrument.FtpLines().back(), "PASS pelto3318");
}

TEST(FtpNotifications, KindsOutsideTheTableShowNothing) {
  RecordingSink sink;
  TfrmVX500 session(1, 1);
  const SessionEventsShown shown(session, sink);
  bool handled = false;
  session.FtpClientFailure(handled, static_cast<ftp::TCmdType>(16));
  session.FtpClientUnSupportedFunction(static_cast<ftp::TCmdType>(-1));
  EXPECT_TRUE(sink.messages.empty());
  EXPECT_FALSE(session.transferOk);
  EXPECT_FALSE(handled);
  session.FtpClientFailure(handled, ftp::cmdChangeDir);
  session.FtpClientUnSupportedFunction(ftp::cmdCurrentDir);
  EXPECT_EQ(sink.messages, (std::vector<Box>{
                            {"ChangeDir failed", "VX500 Upgrade ftp", 16},
                            {"CurrentDir not supported by this server", "VX500 Upgrade ftp", 16}}));
}

// Counts what a session tells its observer, which watches `watched`.
struct CountingObserver : instrument::SessionObserver {
  explicit CountingObserver(unsigned watched) : watched(watched) {}
  unsigned Watches() const override { return watched; }
  void CommandConnected(const std::string&) override { ++connections; }
  void ControlConnected(const std::string&) override { ++connections; }
  void CommandSent(std::string_view line) override { commandLines.emplace_back(line); }
  void ReplyReceived(std::string_view) override { ++replies; }
  void LineSent(std::string_view line) override { ftpLines.emplace_back(line); }
  void LineReceived(std::string_view) override { ++replies; }
  void DataConnectionEnded(const ftp::DataConnectionRecord& record) override {
    data.push_back(record);
  }
  void FolderChanged(const std::string& folder) override { folders.push_back(folder); }
  void UploadStarted(const std::string&, const std::string& remotePath) override {
    uploads.push_back(remotePath);
  }

  unsigned watched;
  int connections = 0;
  int replies = 0;
  Lines commandLines, ftpLines, folders, uploads;
  std::vector<ftp::DataConnectionRecord> data;
};

// An observer hears lines and data connections only when it watches them (the client does no
// work for them otherwise); uploads and accepted folder changes it always hears, and the
// connection diagnostics work whatever it watches.
TEST(SessionObserver, IsToldWhatItWatches) {
  using Observer = instrument::SessionObserver;
  for (unsigned watched : {0u, unsigned{Observer::kLines}, unsigned{Observer::kDataConnections},
                           Observer::kLines | Observer::kDataConnections}) {
    SCOPED_TRACE(watched);
    CountingObserver observer(watched);  // outlives the session, which logs out when it ends
    Rig rig;
    rig.session.SetObserver(&observer);
    ASSERT_TRUE(rig.session.ConnectInstrument("127.0.0.1"));
    testsupport::TempTree local;
    testsupport::WriteFile(local.Path() / "a.rpd", "image");
    rig.session.FtpClient.ChangeDir("N0:");
    EXPECT_THROW(rig.session.FtpClient.ChangeDir("/F0:/missing"), ftp::FTPException);
    EXPECT_TRUE(rig.session.UploadFile((local.Path() / "a.rpd").string(), "a.rpd"));

    EXPECT_EQ(observer.folders, (Lines{"N0:"}));
    EXPECT_EQ(observer.uploads, (Lines{"a.rpd"}));
    const bool lines = (watched & Observer::kLines) != 0;
    Lines ftpSent = rig.instrument.FtpLines();
    std::replace(ftpSent.begin(), ftpSent.end(), std::string("PASS pelto3318"),
                 std::string("PASS ****"));
    EXPECT_EQ(observer.ftpLines, lines ? ftpSent : Lines{});
    Lines commandSent;
    for (const std::string& line : observer.commandLines)
      commandSent.push_back(line.substr(0, line.size() - 1));
    EXPECT_EQ(commandSent, lines ? rig.instrument.CommandLines() : Lines{});
    EXPECT_EQ(observer.connections, lines ? 2 : 0);
    EXPECT_EQ(observer.replies > 0, lines);
    if ((watched & Observer::kDataConnections) == 0) {
      EXPECT_TRUE(observer.data.empty());
    } else {
      ASSERT_EQ(observer.data.size(), 1u);
      const ftp::DataConnectionRecord& record = observer.data.front();
      EXPECT_EQ(ntohl(record.peerAddress.s_addr), INADDR_LOOPBACK);
      EXPECT_NE(record.peerPort, 0);
      EXPECT_EQ(record.bytes, 5u);
      EXPECT_TRUE(record.completed);
    }
  }
}

// Why a connection failed names the channel, the address and port, and the cause; the FTP
// greeting's bound follows the client's time-out, so a test can shorten it.
TEST(ConnectDiagnostic, NamesTheChannelAddressPortAndCause) {
  enum FtpPeer { kSimulator, kClosed, kSilent };
  struct Case {
    const char* what;
    const char* scenario;
    const char* address;
    bool closedCommandPort;
    FtpPeer ftpPeer;
    std::string diagnostic;  // CPORT and FPORT stand for the ports used
  } cases[] = {
      {"both channels up", "{}", "127.0.0.1", false, kSimulator, ""},
      {"a malformed address", "{}", "127.0.0", false, kSimulator,
       "command channel 127.0.0:CPORT: '127.0.0' is not a dotted IPv4 address"},
      {"a refused command port", "{}", "127.0.0.1", true, kSimulator,
       "command channel 127.0.0.1:CPORT: connection refused"},
      {"a refused FTP port", "{}", "127.0.0.1", false, kClosed,
       "FTP 127.0.0.1:FPORT: connection refused"},
      {"a silent FTP server", "{}", "127.0.0.1", false, kSilent,
       "FTP 127.0.0.1:FPORT: no greeting within 1 s"},
      {"a refused greeting", R"({"ftp": {"greeting": ["421 Too busy."]}})", "127.0.0.1", false,
       kSimulator, "FTP 127.0.0.1:FPORT: greeting refused: 421 Too busy."},
      {"a refused log-in",
       R"({"ftp": {"refuse": [{"command": "PASS", "code": 530, "text": "Login incorrect."}]}})",
       "127.0.0.1", false, kSimulator, "FTP 127.0.0.1:FPORT: log-in refused: 530 Login incorrect."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::SimInstrument instrument(ScenarioFromText(c.scenario));
    // Its connections complete, but nobody ever accepts or answers them.
    const testsupport::Listener silent;
    int commandPort = instrument.Port();
    const testsupport::RefusingPort refusing;
    if (c.closedCommandPort) commandPort = refusing.Port();
    int ftpPort = instrument.FtpPort();
    if (c.ftpPeer == kClosed) ftpPort = refusing.Port();
    if (c.ftpPeer == kSilent) ftpPort = silent.Port();
    TfrmVX500 session(commandPort, ftpPort);
    RecordingSink sink;
    const SessionEventsShown shown(session, sink);
    // Short only where the bound is what is tested: four times this for a reply.
    session.FtpClient.TimeOut = c.ftpPeer == kSilent ? 250 : 5000;
    try {
      session.ConnectInstrument(c.address);
    } catch (const std::exception&) {
      // FTP failures are raised as they were; only the diagnostic is examined here.
    }
    std::string expected = c.diagnostic;
    if (const auto at = expected.find("CPORT"); at != std::string::npos)
      expected.replace(at, 5, std::to_string(commandPort));
    if (const auto at = expected.find("FPORT"); at != std::string::npos)
      expected.replace(at, 5, std::to_string(ftpPort));
    EXPECT_EQ(session.ConnectDiagnostic(), expected);
    // The window's messages are those it always showed.
    if (c.ftpPeer == kSimulator && c.diagnostic.starts_with("command")) {
      EXPECT_EQ(sink.messages.size(), 1u);
    }
  }
}

}  // namespace
