#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include "ftp/ftp_client.h"
#include "tests/ftp/script_peer.h"
#include "tests/support/error_text.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_tree.h"

namespace {

using ftp::FTPException;
using ftp::TCmdType;
using ftp::TFtpClient;
using ::testing::ElementsAre;
using testing_ftp::ScriptPeer;
using testsupport::ErrorText;

constexpr const char* kGreeting = "220 VX500 FTP server ready.\r\n";

// Points `client` at `peer` with the instrument's login and a bound of five seconds.
void AimAt(TFtpClient& client, const ScriptPeer& peer) {
  client.Host = "127.0.0.1";
  client.Port = peer.Port();
  client.TimeOut = 5000;
  client.UserID = "kestro";
  client.Password = "pelto3318";
}

// The control connection against a scripted server; every event lands in `events` in order.
class FtpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client.Host = "127.0.0.1";
    client.TimeOut = 5000;
    client.UserID = "kestro";
    client.Password = "pelto3318";
    client.OnSuccess = [this](TFtpClient&, TCmdType k) { Note("success", k); };
    client.OnFailure = [this](TFtpClient&, bool& handled, TCmdType k) {
      Note("failure", k);
      handled = handleFailures;
    };
    client.OnUnSupportedFunction = [this](TFtpClient&, TCmdType k) { Note("unsupported", k); };
    client.OnConnectionFailed = [this](ftp::TStreamSocket&) { events.push_back("connfailed"); };
    client.OnConnect = [this](ftp::TStreamSocket&) { events.push_back("connect"); };
  }
  void Note(const char* what, TCmdType kind) {
    events.push_back(std::string(what) + ":" + std::to_string(static_cast<int>(kind)));
  }
  // Greeting and a login answered 230 straight after the user line.
  ScriptPeer& LoggedIn(std::string extra = "") {
    return peer.Send(kGreeting).Expect("USER kestro").Send("230 User logged in.\r\n" + extra);
  }
  void Start() {
    peer.Start();
    client.Port = peer.Port();
  }

  ScriptPeer peer;
  TFtpClient client;
  std::vector<std::string> events;
  bool handleFailures = false;
};

TEST_F(FtpClientTest, MultiLineGreetingIsReadWholeBeforeTheUserLine) {
  peer.Send("220-Welcome to the VX500\r\n more text\r\n220-still\r\n220 ready\r\n")
      .Expect("USER kestro")
      .Send("331 Password required.\r\n")
      .Expect("PASS pelto3318")
      .Send("230 User logged in.\r\n");
  Start();
  client.Connect();
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(client.ReplyCode(), 230);
  // Connect while connected sends nothing and fires nothing.
  client.Connect();
  client.Disconnect();
  EXPECT_FALSE(client.Connected());
  EXPECT_THAT(peer.Finish(), ElementsAre("USER kestro", "PASS pelto3318", "QUIT"));
  EXPECT_THAT(events, ElementsAre("connect"));
}

TEST_F(FtpClientTest, UserAnswered230Or400SkipsThePassword) {
  for (const char* reply : {"230 in\r\n", "400 odd but not refused\r\n"}) {
    ScriptPeer p;
    p.Send(kGreeting).Expect("USER kestro").Send(reply).Start();
    TFtpClient c;
    AimAt(c, p);
    c.Connect();
    c.Disconnect();
    EXPECT_THAT(p.Finish(), ElementsAre("USER kestro", "QUIT")) << reply;
  }
}

// A refused log-in logs out and closes, and its own reply stays the error and the reply on
// record, whatever the QUIT gets.
TEST(FtpClientLogIn, RefusalLogsOutClosesAndRaisesItsOwnReplyLine) {
  const struct {
    const char* what;
    bool refusedAtUser;
    std::string refusal;
    std::string quitReply;
  } cases[] = {
      {"password refused", false, "530 Login incorrect.\r\n", "221 Goodbye.\r\n"},
      {"QUIT refused too", false, "500 OOPS: cannot change directory\r\n",
       "500 OOPS: priv_sock_get_cmd\r\n"},
      {"user refused", true, "530 Not this user.\r\n", "421 Service closing.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptPeer peer;
    peer.Send(kGreeting).Expect("USER kestro");
    if (!c.refusedAtUser) peer.Send("331 Password required.\r\n").Expect("PASS pelto3318");
    peer.Send(c.refusal).Expect("QUIT").Send(c.quitReply).Start();
    TFtpClient client;
    AimAt(client, peer);
    int failures = 0;
    client.OnConnectionFailed = [&](ftp::TStreamSocket&) { ++failures; };
    EXPECT_EQ(ErrorText([&] { client.Connect(); }), c.refusal);
    EXPECT_EQ(client.ReplyText(), c.refusal);
    EXPECT_EQ(client.ReplyCode(), std::stoi(c.refusal.substr(0, 3)));
    EXPECT_EQ(failures, 1);
    EXPECT_FALSE(client.Connected());
    peer.Finish();
  }
}

TEST_F(FtpClientTest, RefusalStaysTheErrorWhenTheServerHangsUpBeforeQuit) {
  peer.Send(kGreeting)
      .Expect("USER kestro")
      .Send("331 Password required.\r\n")
      .Expect("PASS pelto3318")
      .Send("530 Login incorrect.\r\n")
      .Close();
  Start();
  EXPECT_EQ(ErrorText([&] { client.Connect(); }), "530 Login incorrect.\r\n");
  EXPECT_FALSE(client.Connected());
}

TEST_F(FtpClientTest, GreetingAbove400IsRefused) {
  peer.Send("421 Too many users.\r\n").Expect("QUIT").Send("221 Bye.\r\n");
  Start();
  try {
    client.Connect();
    FAIL();
  } catch (const FTPException& e) {
    EXPECT_STREQ(e.what(), "421 Too many users.\r\n");
  }
  EXPECT_THAT(events, ElementsAre("connfailed"));
  EXPECT_THAT(peer.Finish(), ElementsAre("QUIT"));
}

TEST_F(FtpClientTest, CommandKindsAndReplyCodesDecideTheEvents) {
  struct Case {
    std::string line;
    std::string reply;
    std::vector<std::string> events;
    bool raises;
  } cases[] = {
      {"cwd N0:", "250 ok", {"success:14"}, false},
      {"PWD", "257 \"/F0:/\"", {"success:15"}, false},
      {"PWD ", "257 \"/F0:/\"", {"success:14"}, false},
      {"CWD N0:", "550 No such directory.", {"failure:0"}, true},
      {"CWD N0:", "502 Not implemented.", {"unsupported:0", "failure:0"}, true},
      {"DELE a.rpd", "501 Syntax.", {"unsupported:2", "failure:2"}, true},
      {"MKD /F0:/X", "399 odd", {"success:1"}, false},
      {"RMD /F0:/X", "400 busy", {"failure:3"}, true},
      {"SITE x", "599 no", {"failure:14"}, true},
      {"SITE x", "503 no", {"failure:14"}, true},
      {"NOOP", "600 beyond", {"success:14"}, false},
      {"NOOP", "no digits at all", {"success:14"}, false},
  };
  LoggedIn();
  for (const auto& c : cases) peer.Expect(c.line).Send(c.reply + "\r\n");
  Start();
  client.Connect();
  for (const auto& c : cases) {
    events.clear();
    std::string error = ErrorText([&] { client.DoCommand(c.line); });
    EXPECT_EQ(events, c.events) << c.line << " / " << c.reply;
    EXPECT_EQ(error, c.raises ? c.reply + "\r\n" : "(no error)") << c.line;
  }
  client.Disconnect();
  peer.Finish();
}

TEST_F(FtpClientTest, HandledFailureRaisesNothingAndNoHandlerStillRaises) {
  LoggedIn()
      .Expect("CWD N0:")
      .Send("550 No such directory.\r\n")
      .Expect("DELE x")
      .Send("502 No.\r\n");
  Start();
  client.Connect();
  handleFailures = true;
  client.ChangeDir("N0:");
  client.OnFailure = nullptr;
  EXPECT_EQ(ErrorText([&] { client.Delete("x"); }), "502 No.\r\n");
  EXPECT_THAT(events, ElementsAre("connect", "failure:0", "unsupported:2"));
}

TEST_F(FtpClientTest, ModeSendsTheTypeLinesAndNothingForOtherValues) {
  LoggedIn().Expect("TYPE A").Send("200 A\r\n").Expect("TYPE I").Send("200 I\r\n");
  peer.Expect("TYPE L 8").Send("200 L\r\n");
  Start();
  client.Connect();
  events.clear();
  client.Mode(1);
  client.Mode(2);
  client.Mode(3);
  client.Mode(4);
  client.Mode(0);
  client.Disconnect();
  EXPECT_THAT(events, ElementsAre("success:14", "success:14", "success:14"));
  EXPECT_THAT(peer.Finish(), ElementsAre("USER kestro", "TYPE A", "TYPE I", "TYPE L 8", "QUIT"));
}

// A late reply is dropped before the next command, and before QUIT, but the trace gets it.
TEST_F(FtpClientTest, StaleRepliesAreDroppedBeforeTheNextCommandAndTraced) {
  struct Received : ftp::FtpObserver {
    void LineReceived(std::string_view line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
  } received;
  client.SetObserver(&received);
  LoggedIn("226 Transfer complete (late).\r\n")
      .Expect("NOOP")
      .Send("200 NOOP ok.\r\n")
      .WaitSignal()
      .Send("451-Failure writing\r\n451 to local file.\r\n");
  Start();
  client.Connect();
  client.DoCommand("NOOP");
  EXPECT_EQ(client.ReplyText(), "200 NOOP ok.\r\n");
  peer.Signal();
  pollfd late{client.Handle(), POLLIN, 0};
  ASSERT_EQ(::poll(&late, 1, 10000), 1);
  client.Disconnect();
  EXPECT_THAT(peer.Finish(), ElementsAre("USER kestro", "NOOP", "QUIT"));
  EXPECT_THAT(received.lines,
              ElementsAre("220 VX500 FTP server ready.\r\n", "230 User logged in.\r\n",
                          "226 Transfer complete (late).\r\n", "200 NOOP ok.\r\n",
                          "451-Failure writing\r\n", "451 to local file.\r\n", "221 Goodbye.\r\n"));
}

TEST_F(FtpClientTest, ReplySplitAcrossPacketsWithContinuationLines) {
  LoggedIn().Expect("CWD /F0:/").Send("250-first\r\n25").WaitSignal().Send("0 done\r\n");
  Start();
  client.Connect();
  bool signalled = false;
  client.SetEventPump([&] {
    if (!signalled) peer.Signal();
    signalled = true;
  });
  client.ChangeDir("/F0:/");
  EXPECT_TRUE(signalled);
  EXPECT_EQ(client.ReplyText(), "250-first\r\n");
  EXPECT_EQ(client.ReplyCode(), 250);
}

TEST_F(FtpClientTest, ReplyAfterTheTimeOutIsStillTheReply) {
  LoggedIn().Expect("NOOP").WaitSignal().Send("200 late but fine\r\n");
  Start();
  client.Connect();
  client.TimeOut = 60;  // after the log-in, whose replies may be slow on a loaded machine
  bool signalled = false;
  // The pump returns once the late reply has reached the client, so it is read however long
  // the server took to send it.
  client.SetEventPump([&] {
    if (client.TimedOut() && !signalled) {
      signalled = true;
      peer.Signal();
      pollfd reply{client.Handle(), POLLIN, 0};
      EXPECT_EQ(::poll(&reply, 1, 10000), 1);
    }
  });
  client.DoCommand("NOOP");
  EXPECT_TRUE(signalled);
  EXPECT_EQ(client.ReplyCode(), 200);
  EXPECT_TRUE(client.Connected());
}

TEST_F(FtpClientTest, ServerThatNeverAnswersIsCutOffAtFourTimesTheTimeOut) {
  LoggedIn().Expect("NOOP").WaitSignal();
  Start();
  client.Connect();
  client.TimeOut = 50;
  auto start = std::chrono::steady_clock::now();
  std::string error = ErrorText([&] { client.DoCommand("NOOP"); });
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_THAT(error, ::testing::StartsWith("Reply Timed out"));
  EXPECT_GE(took, std::chrono::milliseconds(200));
  EXPECT_FALSE(client.Connected());
  EXPECT_THAT(events, ElementsAre("connect"));
  peer.Signal();
}

TEST_F(FtpClientTest, EveryReplyIsBoundedAsAWhole) {
  auto continued = [](int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) text += " more\r\n";
    return text;
  };
  struct Case {
    const char* name;
    int timeOut;
    bool greeting;      // the reply is the greeting, else the answer to NOOP
    std::string reply;  // sent at once
    std::string drip;   // then sent once per pass of the client's event pump, without end
    std::string error;
  } cases[] = {
      {"10,000 lines", 5000, false, "200-first\r\n" + continued(9998) + "200 last\r\n", "",
       "(no error)"},
      {"10,001 lines", 5000, false, "200-first\r\n" + continued(9999) + "200 last\r\n", "",
       "Malformed reply: the server's reply did not end within 10000 lines"},
      // Every line comes in time, but the greeting never ends.
      {"endless greeting", 250, true, "220-first\r\n", "220-more\r\n",
       "Reply Timed out: the server's reply did not end within 1000 ms"},
  };
  for (const auto& c : cases) {
    ScriptPeer server;
    if (c.greeting) {
      server.Send(c.reply);
    } else {
      server.Send(kGreeting).Expect("USER kestro").Send("230 in\r\n").Expect("NOOP").Send(c.reply);
    }
    if (!c.drip.empty()) server.Drip(c.drip);
    server.Start();
    client.Port = server.Port();
    client.TimeOut = c.timeOut;
    client.SetEventPump([&] { server.Signal(); });
    std::string error = ErrorText([&] {
      client.Connect();
      client.DoCommand("NOOP");
    });
    EXPECT_EQ(error, c.error) << c.name;
    if (error == "(no error)") {
      EXPECT_EQ(client.ReplyText(), "200-first\r\n") << c.name;
      client.Disconnect();
    } else {
      // The rest of such a reply would be read as the answers to later commands.
      EXPECT_FALSE(client.Connected()) << c.name;
    }
    client.SetEventPump({});
  }
}

TEST_F(FtpClientTest, OnlyATwoHundredCompletionAfterTheDataIsAStoredFile) {
  struct Case {
    std::string completion;
    std::vector<std::string> events;
    std::string error;
    int replyCode;
  } cases[] = {
      {"226 Transfer complete.\r\n", {"success:9"}, "(no error)", 150},
      // 1xx replies are preliminary: the reply after them decides.
      {"110 Restart marker.\r\n226 Transfer complete.\r\n", {"success:9"}, "(no error)", 150},
      {"110-Restart\r\n marker\r\n110 end\r\n250-Stored\r\n250 ok\r\n",
       {"success:9"},
       "(no error)",
       150},
      {"110 Restart marker.\r\n451 Local error.\r\n", {"failure:9"}, "451 Local error.\r\n", 451},
      // A server that kept nothing and answered 350.
      {"350 Kept nothing.\r\n", {"failure:9"}, "350 Kept nothing.\r\n", 350},
      // After the data a 5xx is a failed store, not an unsupported command.
      {"502 Not implemented.\r\n", {"failure:9"}, "502 Not implemented.\r\n", 502},
      {"Transfer complete\r\n", {"failure:9"}, "Transfer complete\r\n", 0},
      {"2260 Four digits.\r\n", {"failure:9"}, "2260 Four digits.\r\n", 0},
  };
  LoggedIn();
  for (const auto& c : cases) {
    peer.Expect("")
        .Send("200 PORT command successful.\r\n")
        .Expect("STOR f.bin")
        .Send("150 Opening data connection.\r\n")
        .ConnectData()
        .Send(c.completion);
  }
  Start();
  client.Connect();
  testsupport::TempTree dir;
  std::string bytes = testsupport::Pattern(100000);
  testsupport::WriteFile(dir.Path() / "f.bin", bytes);
  for (const auto& c : cases) {
    events.clear();
    EXPECT_EQ(ErrorText([&] { client.Upload((dir.Path() / "f.bin").string(), "f.bin"); }), c.error)
        << c.completion;
    EXPECT_EQ(events, c.events) << c.completion;
    EXPECT_EQ(client.ReplyCode(), c.replyCode) << c.completion;
  }
  client.Disconnect();
  peer.Finish();
  EXPECT_EQ(peer.Data(), std::vector<std::string>(std::size(cases), bytes));
}

TEST_F(FtpClientTest, DataPortTakesOnlyTheServer) {
  // The server connects only once the third party has been turned away.
  LoggedIn()
      .Expect("")
      .Send("200 PORT command successful.\r\n")
      .Expect("STOR f.bin")
      .Send("150 Opening data connection.\r\n")
      .WaitSignal()
      .ConnectData()
      .Send("226 Transfer complete.\r\n");
  Start();
  client.Connect();
  events.clear();
  net::UniqueFd intruder;
  std::string intruderGot = "(never refused)";
  bool otherInterface = true;
  client.ReportLevel = 4;
  client.OnStatus = [&](ftp::TStreamSocket& sender, const std::string& text) {
    if (text == "Accepting") {
      int port = sender.LocalPort();
      // The data port exists on the control connection's interface only.
      otherInterface = testsupport::ConnectFrom("127.0.0.1", "127.0.0.3", port).Valid();
      intruder = testsupport::ConnectFrom("127.0.0.2", "127.0.0.1", port);
    } else if (text.rfind("Data connection from 127.0.0.2:", 0) == 0) {
      EXPECT_THAT(text, ::testing::EndsWith(" refused: only the server 127.0.0.1 may connect"));
      intruderGot = testsupport::ReadToEnd(intruder.Get());
      peer.Signal();
    }
  };
  testsupport::TempTree dir;
  std::string bytes = testsupport::Pattern(300000);
  testsupport::WriteFile(dir.Path() / "f.bin", bytes);
  client.Upload((dir.Path() / "f.bin").string(), "f.bin");
  EXPECT_FALSE(otherInterface);
  EXPECT_TRUE(intruder.Valid());
  EXPECT_EQ(intruderGot, "");
  EXPECT_THAT(events, ElementsAre("success:9"));
  client.Disconnect();
  peer.Finish();
  EXPECT_EQ(peer.Data(), std::vector<std::string>{bytes});
}

TEST_F(FtpClientTest, ServerClosingBeforeACompleteReplyIsAnError) {
  LoggedIn().Expect("CWD N0:").Send("250 no line end").Close();
  Start();
  client.Connect();
  events.clear();
  std::string error = ErrorText([&] { client.ChangeDir("N0:"); });
  EXPECT_EQ(error, "Connection closed by the server before a complete reply");
  EXPECT_TRUE(events.empty());
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(ErrorText([&] { client.ChangeDir("N0:"); }), "Not Connected");
}

TEST_F(FtpClientTest, QuitAnsweredByAHangUpIsACompletedLogOut) {
  LoggedIn().Expect("QUIT").Close();
  Start();
  client.Connect();
  EXPECT_NO_THROW(client.Disconnect());
  EXPECT_FALSE(client.Connected());
  EXPECT_NO_THROW(client.Disconnect());
}

TEST_F(FtpClientTest, RefusedQuitRaisesAfterTheClose) {
  LoggedIn().Expect("QUIT").Send("500 No.\r\n");
  Start();
  client.Connect();
  EXPECT_EQ(ErrorText([&] { client.Disconnect(); }), "500 No.\r\n");
  EXPECT_FALSE(client.Connected());
}

TEST_F(FtpClientTest, ArgumentsWithLineBreaksAreRefusedUnsent) {
  LoggedIn();
  Start();
  client.Connect();
  events.clear();
  EXPECT_THROW(client.ChangeDir("N0:\r\nDELE /F0:/SYSTEM/x"), ftp::ECommandRefused);
  EXPECT_THROW(client.Delete(std::string("a\0b", 3)), ftp::ECommandRefused);
  EXPECT_TRUE(events.empty());
  client.Disconnect();
  EXPECT_THAT(peer.Finish(), ElementsAre("USER kestro", "QUIT"));
}

TEST_F(FtpClientTest, LoginTextWithLineBreakIsRefusedBeforeConnecting) {
  const testsupport::RefusingPort refusing;
  client.Port = refusing.Port();
  client.Password = "pelto3318\r\nDELE x";
  std::string error = ErrorText([&] { client.Connect(); });
  EXPECT_THAT(error, ::testing::HasSubstr("CR, LF or NUL"));
  EXPECT_THAT(error, ::testing::Not(::testing::HasSubstr("pelto")));
}

TEST_F(FtpClientTest, CommandsWithoutAConnectionRaiseNotConnectedAndFireNothing) {
  EXPECT_EQ(ErrorText([&] { client.ChangeDir("N0:"); }), "Not Connected");
  EXPECT_EQ(ErrorText([&] { client.Mode(2); }), "Not Connected");
  EXPECT_TRUE(events.empty());
  EXPECT_NO_THROW(client.Disconnect());
}

TEST_F(FtpClientTest, StatusReportsCarryTheTrafficButNeverThePassword) {
  peer.Send(kGreeting)
      .Expect("USER kestro")
      .Send("331 Password required.\r\n")
      .Expect("PASS pelto3318")
      .Send("230 User logged in.\r\n");
  Start();
  std::vector<std::string> status;
  client.ReportLevel = 8;
  client.OnStatus = [&](ftp::TStreamSocket&, const std::string& s) { status.push_back(s); };
  client.Connect();
  client.Disconnect();
  for (const auto& s : status) EXPECT_EQ(s.find("pelto3318"), std::string::npos) << s;
  EXPECT_THAT(status, ::testing::Contains("USER kestro"));
  EXPECT_THAT(status, ::testing::Contains("PASS "));
  EXPECT_THAT(status, ::testing::Contains("230 User logged in.\r\n"));
  EXPECT_THAT(status, ::testing::Contains("QUIT"));

  // Level 1 carries the protocol traffic only.
  status.clear();
  client.ReportLevel = 1;
  ScriptPeer again;
  again.Send(kGreeting).Expect("USER kestro").Send("230 in\r\n").Start();
  client.Port = again.Port();
  client.Connect();
  EXPECT_THAT(status, ElementsAre(kGreeting, "USER kestro", "230 in\r\n"));
  client.Disconnect();
}

}  // namespace
