#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ftp/ftp_client.h"
#include "sim/ftp_server.h"
#include "tests/support/temp_tree.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::StartsWith;

// The simulator's FTP server spoken to line by line.
class SimFtpServerTest : public ::testing::Test {
 protected:
  void Start(const char* behaviourJson = "{}") {
    server = std::make_unique<sim::FtpServer>(
        drive, transcript, "127.0.0.1", 0,
        sim::ParseFtpBehaviour(nlohmann::json::parse(behaviourJson)));
    server->Start();
    line.Host = "127.0.0.1";
    line.Port = server->Port();
    line.TimeOut = 5000;
    line.Connect();
  }
  // Sends one line and gives the reply without its line end.
  std::string Ask(const std::string& command) {
    std::string reply = line.Transaction(command);
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
    return reply;
  }
  void LogIn() {
    EXPECT_THAT(line.ReadLn(), StartsWith("220 "));
    EXPECT_THAT(Ask("USER kestro"), StartsWith("331 "));
    EXPECT_THAT(Ask("PASS pelto3318"), StartsWith("230 "));
  }

  testsupport::TempTree root;
  sim::Drive drive{root.Path()};
  sim::Transcript transcript;
  std::unique_ptr<sim::FtpServer> server;
  ftp::TStreamSocket line;
};

TEST_F(SimFtpServerTest, OnlyTheFixedLoginGetsIn) {
  Start();
  EXPECT_THAT(line.ReadLn(), StartsWith("220 "));
  EXPECT_THAT(Ask("CWD N0:"), StartsWith("530 "));
  EXPECT_THAT(Ask("PASS pelto3318"), StartsWith("503 "));
  EXPECT_THAT(Ask("USER kestro"), StartsWith("331 "));
  EXPECT_THAT(Ask("PASS wrong"), StartsWith("530 "));
  EXPECT_THAT(Ask("USER anonymous"), StartsWith("331 "));
  EXPECT_THAT(Ask("PASS pelto3318"), StartsWith("530 "));
  EXPECT_THAT(Ask("USER kestro"), StartsWith("331 "));
  EXPECT_THAT(Ask("PASS pelto3318"), StartsWith("230 "));
  EXPECT_THAT(Ask("QUIT"), StartsWith("221 "));
  // Every line is recorded as received, the password included.
  EXPECT_THAT(
      transcript.Lines(sim::Transcript::Channel::kFtp),
      ElementsAre("CWD N0:", "PASS pelto3318", "USER kestro", "PASS wrong", "USER anonymous",
                  "PASS pelto3318", "USER kestro", "PASS pelto3318", "QUIT"));
}

TEST_F(SimFtpServerTest, DrivePathsWorkFromAnyFolderAndStayUnderTheRoot) {
  Start();
  LogIn();
  struct Case {
    const char* command;
    const char* replyStart;
  } cases[] = {
      {"PWD", "257 \"/F0:/\""},
      {"CWD N0:", "250 "},
      {"CWD N0:", "250 "},
      {"PWD", "257 \"N0:\""},
      {"MKD /F0:/SYSTEM", "257 \"/F0:/SYSTEM\""},
      {"MKD /F0:/SYSTEM", "550 "},
      {"CWD /F0:/SYSTEM", "250 "},
      {"MKD MID1", "257 \"/F0:/SYSTEM/MID1\""},
      {"CWD MID1", "250 "},
      {"PWD", "257 \"/F0:/SYSTEM/MID1\""},
      {"CWD /F0:/../..", "550 "},
      {"CWD /F0:/NOPE", "550 "},
      {"MKD /F0:/A/B", "550 "},
      {"DELE nothing.bin", "550 "},
      {"TYPE A", "200 "},
      {"TYPE I", "200 "},
      {"TYPE L 8", "200 "},
      {"TYPE E", "504 "},
      {"NOOP", "200 "},
      {"SIZE x", "502 "},
      {"PORT 10,0,0,5,19,137", "500 "},
      {"PORT 127,0,0,1,300,1", "501 "},
      {"PORT 127,0,0,1,19,137", "200 "},
  };
  for (const auto& c : cases) EXPECT_THAT(Ask(c.command), StartsWith(c.replyStart)) << c.command;
  EXPECT_TRUE(fs::is_directory(root.Path() / "F0:" / "SYSTEM" / "MID1"));
}

TEST_F(SimFtpServerTest, StoredFilesKeepTheirBytesAndDeleteRemovesThem) {
  Start();
  line.Disconnect();
  testsupport::TempTree local;
  testsupport::WriteFile(local.Path() / "NAME", "PNB5\r\n");
  ftp::TFtpClient client;
  client.Host = "127.0.0.1";
  client.Port = server->Port();
  client.TimeOut = 5000;
  client.UserID = "kestro";
  client.Password = "pelto3318";
  client.Connect();
  client.DoCommand("MKD /F0:/SYSTEM");
  client.ChangeDir("/F0:/SYSTEM");
  // The instrument keeps the NAME file's CR LF under TYPE A.
  client.Mode(1);
  client.Upload((local.Path() / "NAME").string(), "NAME");
  EXPECT_EQ(testsupport::ReadFile(root.Path() / "F0:" / "SYSTEM" / "NAME"), "PNB5\r\n");
  client.Delete("/F0:/SYSTEM/NAME");
  EXPECT_FALSE(fs::exists(root.Path() / "F0:" / "SYSTEM" / "NAME"));
  EXPECT_THROW(client.Upload((local.Path() / "NAME").string(), "/F0:/NOFOLDER/NAME"),
               ftp::FTPException);
  client.Disconnect();
}

TEST_F(SimFtpServerTest, MultiLineGreetingAndRefusalsFromTheScenario) {
  Start(R"({"greeting": ["220-VX500", "220 ready"],
            "refuse": [{"command": "cwd", "pattern": "N0*", "code": 501}]})");
  EXPECT_EQ(line.ReadLn(), "220-VX500\r\n");
  EXPECT_EQ(line.ReadLn(), "220 ready\r\n");
  EXPECT_THAT(Ask("USER kestro"), StartsWith("331 "));
  EXPECT_THAT(Ask("PASS pelto3318"), StartsWith("230 "));
  EXPECT_EQ(Ask("CWD N0:"), "501 Refused.");
  EXPECT_THAT(Ask("CWD /F0:/"), StartsWith("250 "));
}

TEST_F(SimFtpServerTest, StopsWithClientsStillConnected) {
  Start(R"({"delay": [{"command": "NOOP", "ms": 60000}]})");
  LogIn();
  line.Writeln("NOOP");
  server->Stop();
  // The connection is gone (closed or reset, depending on whether NOOP was read yet).
  EXPECT_FALSE(line.Connected());
}

TEST(FtpBehaviour, ParsesEveryKey) {
  auto b = sim::ParseFtpBehaviour(nlohmann::json::parse(R"({
      "greeting": ["220-a", "220 b"],
      "refuse": [{"command": "stor", "pattern": "*.rpd", "code": 552, "text": "Full."}],
      "delay": [{"command": "COMPLETION", "ms": 20}],
      "store": [{"pattern": "*.bin", "fault": "truncate", "bytes": 10, "code": 451},
                {"fault": "never_connect"}, {"fault": "close_early", "bytes": 5},
                {"fault": "stall"}, {"fault": "reset", "bytes": 7}]})"));
  EXPECT_THAT(b.greeting, ElementsAre("220-a", "220 b"));
  ASSERT_EQ(b.refusals.size(), 1u);
  EXPECT_EQ(b.refusals[0].command, "STOR");
  EXPECT_EQ(b.refusals[0].code, 552);
  ASSERT_EQ(b.delays.size(), 1u);
  EXPECT_EQ(b.delays[0].ms, 20);
  ASSERT_EQ(b.storeRules.size(), 5u);
  EXPECT_EQ(b.storeRules[0].code, 451);
  EXPECT_EQ(b.storeRules[0].bytes, 10u);
  EXPECT_EQ(b.storeRules[1].fault, sim::FtpStoreFault::kNeverConnect);
  EXPECT_EQ(b.storeRules[2].fault, sim::FtpStoreFault::kCloseEarly);
  EXPECT_EQ(b.storeRules[3].fault, sim::FtpStoreFault::kStall);
  EXPECT_EQ(b.storeRules[4].fault, sim::FtpStoreFault::kReset);
  EXPECT_EQ(b.storeRules[4].code, 451);  // a reset's own default completion code
  EXPECT_EQ(sim::ParseFtpBehaviour(nlohmann::json::object()).greeting.size(), 1u);
}

TEST(FtpBehaviour, RejectsWrongShapesNamingTheKey) {
  struct Case {
    const char* json;
    const char* names;
  } cases[] = {
      {R"({"refuse": {}})", "refuse"},
      {R"({"refuse": [{"code": 500}]})", "refuse[0].command"},
      {R"({"refuse": [{"command": "X", "code": "500"}]})", "refuse[0].code"},
      {R"({"store": [{"fault": "melt"}]})", "store[0].fault"},
      {R"({"delay": [{"command": "X", "ms": -1}]})", "delay[0].ms"},
      {R"({"greeting": []})", "greeting"},
      {R"({"gretting": []})", "gretting"},
  };
  for (const auto& c : cases) {
    try {
      sim::ParseFtpBehaviour(nlohmann::json::parse(c.json));
      ADD_FAILURE() << c.json;
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr(c.names)) << c.json;
    }
  }
}

}  // namespace
