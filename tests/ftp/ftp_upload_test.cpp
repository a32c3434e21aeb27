#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>

#include "ftp/ftp_client.h"
#include "net/socket_error.h"
#include "sim/ftp_server.h"
#include "tests/support/child_process.h"
#include "tests/support/error_text.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

namespace {

namespace fs = std::filesystem;
using ftp::TCmdType;
using ftp::TFtpClient;
using ::testing::ElementsAre;
using ::testing::StartsWith;
using testsupport::ErrorText;
using namespace std::chrono_literals;

// Uploads through the client to the simulator's FTP server over its drive folder.
class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client.Host = "127.0.0.1";
    client.TimeOut = 5000;
    client.UserID = sim::FtpServer::kUser;
    client.Password = sim::FtpServer::kPassword;
    client.OnSuccess = [this](TFtpClient&, TCmdType k) { Note("success", k); };
    client.OnFailure = [this](TFtpClient&, bool&, TCmdType k) { Note("failure", k); };
    client.OnUnSupportedFunction = [this](TFtpClient&, TCmdType k) { Note("unsupported", k); };
  }
  void Note(const char* what, TCmdType kind) {
    events.push_back(std::string(what) + ":" + std::to_string(static_cast<int>(kind)));
  }
  void StartServer(const char* behaviourJson = "{}") {
    drive = std::make_unique<sim::Drive>(root.Path());
    server = std::make_unique<sim::FtpServer>(
        *drive, transcript, "127.0.0.1", 0,
        sim::ParseFtpBehaviour(nlohmann::json::parse(behaviourJson)));
    server->Start();
    fs::create_directories(root.Path() / "F0:" / "SYSTEM");
    client.Port = server->Port();
    client.Connect();
    events.clear();
  }
  std::string Local(const std::string& name, const std::string& bytes) {
    testsupport::WriteFile(local.Path() / name, bytes);
    return (local.Path() / name).string();
  }
  fs::path OnDrive(const std::string& relative) { return root.Path() / "F0:" / relative; }
  // The FTP lines the server received, the PORT address masked.
  std::vector<std::string> Lines() {
    return testsupport::PortMasked(transcript.Lines(sim::Transcript::Channel::kFtp));
  }
  // Waits (bounded) until the server's late reply has reached the control connection.
  void AwaitLateReply() {
    pollfd p{client.Handle(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
  }
  // Gives the data connection of the next upload a time-out of `ms` once its STOR goes out, so
  // the PORT and STOR replies keep the long one and only the data connection's wait is cut off.
  void ShortDataTimeOut(int ms) {
    client.ReportLevel = 1;
    client.OnStatus = [this, ms](ftp::TStreamSocket&, const std::string& status) {
      if (status.starts_with("STOR") && client.DataConnection()) {
        client.DataConnection()->TimeOut = ms;
      }
    };
  }
  std::string SparseLocal(const std::string& name, off_t size) {
    return testsupport::SparseFile(local.Path() / name, size);
  }

  testsupport::TempTree root;
  testsupport::TempTree local;
  sim::Transcript transcript;
  std::unique_ptr<sim::Drive> drive;
  std::unique_ptr<sim::FtpServer> server;
  TFtpClient client;
  std::vector<std::string> events;
};

TEST_F(UploadTest, StoresEveryByteAcrossBlockBoundaries) {
  StartServer();
  client.Mode(2);
  client.ChangeDir("/F0:/SYSTEM");
  for (std::size_t size : {0u, 1u, 65535u, 65536u, 65537u, 3u * 65536u + 5u, 2u << 20}) {
    std::string name = std::to_string(size) + ".bin";
    std::string bytes = testsupport::Pattern(size);
    events.clear();
    client.Upload(Local(name, bytes), name);
    EXPECT_THAT(events, ElementsAre("success:9")) << size;
    EXPECT_EQ(testsupport::ReadFile(OnDrive("SYSTEM/" + name)), bytes) << size;
  }
  EXPECT_EQ(client.ReplyCode(), 150);  // the completion reply leaves the STOR code in place
}

TEST_F(UploadTest, EachFileCostsPortAndStorOnly) {
  StartServer();
  client.Mode(2);
  client.ChangeDir("/F0:/SYSTEM");
  client.Upload(Local("a.bin", "abc"), "a.bin");
  client.ChangeDir("N0:");
  // An empty remote name stores under the local file's name, in the current folder.
  client.Upload(Local("image.rpd", "rpd"));
  client.Delete("image.rpd");
  client.Upload(Local("c.bin", "c"), "/F0:/c.bin");
  client.Disconnect();
  EXPECT_THAT(Lines(), ElementsAre("USER kestro", "PASS pelto3318", "TYPE I", "CWD /F0:/SYSTEM",
                                   "PORT *", "STOR a.bin", "CWD N0:", "PORT *", "STOR image.rpd",
                                   "DELE image.rpd", "PORT *", "STOR /F0:/c.bin", "QUIT"));
  EXPECT_EQ(testsupport::ReadFile(OnDrive("SYSTEM/a.bin")), "abc");
  EXPECT_FALSE(fs::exists(root.Path() / "N0:" / "image.rpd"));
  EXPECT_EQ(testsupport::ReadFile(OnDrive("c.bin")), "c");
}

TEST_F(UploadTest, MissingLocalFileFailsBeforeAnythingIsSent) {
  StartServer();
  std::string missing = (local.Path() / "nope.bin").string();
  EXPECT_EQ(ErrorText([&] { client.Upload(missing, "nope.bin"); }), "Cannot open file " + missing);
  EXPECT_EQ(ErrorText([&] { client.Upload(local.Path().string(), "dir"); }),
            "Cannot open file " + local.Path().string());
  // A FIFO would block the read: it is refused like a missing file.
  std::string fifo = (local.Path() / "pipe").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(ErrorText([&] { client.Upload(fifo, "pipe"); }), "Cannot open file " + fifo);
  EXPECT_THAT(events, ElementsAre("failure:9", "failure:9", "failure:9"));
  EXPECT_THAT(Lines(), ElementsAre("USER kestro", "PASS pelto3318"));
  EXPECT_TRUE(client.Connected());
}

TEST_F(UploadTest, UploadWithoutAConnectionFailsWithNotConnected) {
  StartServer();
  client.Disconnect();
  EXPECT_EQ(ErrorText([&] { client.Upload(Local("a", "a"), "a"); }), "Not Connected");
  EXPECT_THAT(events, ElementsAre("failure:9"));
}

TEST_F(UploadTest, PortRefusedWith500FiresOnlyTheFailure) {
  StartServer(R"({"refuse": [{"command": "PORT", "code": 500, "text": "PORT refused."}]})");
  // PORT answered 500: a failure, never "not supported".
  EXPECT_EQ(ErrorText([&] { client.Upload(Local("a.bin", "a"), "a.bin"); }),
            "500 PORT refused.\r\n");
  EXPECT_THAT(events, ElementsAre("failure:9"));
  EXPECT_EQ(client.ReplyCode(), 500);
}

TEST_F(UploadTest, StoreRefusalsAndTheCompletionReplyDecideTheOutcome) {
  StartServer(R"({
      "refuse": [{"command": "STOR", "pattern": "*.x502", "code": 502, "text": "Not here."},
                 {"command": "STOR", "pattern": "*.x553", "code": 553, "text": "Bad name."}],
      "store": [{"pattern": "*.trunc", "fault": "truncate", "bytes": 1000},
                {"pattern": "*.k350", "fault": "truncate", "bytes": 0, "code": 350,
                 "text": "Kept nothing."},
                {"pattern": "*.c502", "fault": "truncate", "bytes": 0, "code": 502,
                 "text": "Not stored."}]})");
  client.ChangeDir("/F0:/SYSTEM");
  struct Case {
    std::string name;
    std::vector<std::string> events;
    std::string error;
  } cases[] = {
      {"a.x502", {"unsupported:9", "failure:9"}, "502 Not here.\r\n"},
      {"a.x553", {"failure:9"}, "553 Bad name.\r\n"},
      // A truncated store answered 552 did not store the file: the upload fails.
      {"fw.trunc",
       {"failure:9"},
       "552 Requested file action aborted. Exceeded storage allocation.\r\n"},
      // Only a 2xx completion stores a file; a 5xx after the data is no unsupported command.
      {"empty.k350", {"failure:9"}, "350 Kept nothing.\r\n"},
      {"empty.c502", {"failure:9"}, "502 Not stored.\r\n"},
      {"fine.bin", {"success:9"}, "(no error)"},
  };
  std::string bytes = testsupport::Pattern(100000);
  for (const auto& c : cases) {
    events.clear();
    EXPECT_EQ(ErrorText([&] { client.Upload(Local(c.name, bytes), c.name); }), c.error) << c.name;
    EXPECT_EQ(events, c.events) << c.name;
  }
  EXPECT_EQ(fs::file_size(OnDrive("SYSTEM/fw.trunc")), 1000u);
  EXPECT_EQ(testsupport::ReadFile(OnDrive("SYSTEM/fine.bin")), bytes);
}

TEST_F(UploadTest, HandledRefusalReturnsQuietlyWithoutSuccess) {
  StartServer(R"({"refuse": [{"command": "STOR", "code": 550}]})");
  client.OnFailure = [this](TFtpClient&, bool& handled, TCmdType k) {
    Note("failure", k);
    handled = true;
  };
  EXPECT_EQ(ErrorText([&] { client.Upload(Local("a", "a"), "a"); }), "(no error)");
  EXPECT_THAT(events, ElementsAre("failure:9"));
}

// The reply lines a client received, as a trace sees them.
struct ReceivedLines : ftp::FtpObserver {
  unsigned Watches() const override { return kLines; }
  void LineReceived(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

// A server that resets the data connection mid-file and then says why: the reason is its reply,
// with the socket error beside it, the trace holds that reply, and the client goes on.
TEST_F(UploadTest, ABrokenDataConnectionFailsWithTheServersReason) {
  StartServer(R"({"store": [{"pattern": "full.bin", "fault": "reset", "bytes": 65536},
                            {"pattern": "quota.bin", "fault": "reset", "bytes": 1000,
                             "code": 552, "text": "Quota exceeded."},
                            {"pattern": "early.bin", "fault": "close_early", "bytes": 1000}]})");
  const struct {
    const char* name;
    const char* reply;  // the completion reply
  } cases[] = {
      {"full.bin", "451 Failure writing to local file."},
      {"quota.bin", "552 Quota exceeded."},
      {"early.bin", "426 Connection closed; transfer aborted."},
  };
  ReceivedLines received;
  client.SetObserver(&received);
  client.ChangeDir("/F0:/SYSTEM");
  // Far larger than the sockets hold, so the send is still going when the reset comes.
  const std::string big = SparseLocal("big.bin", 64 << 20);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events.clear();
    received.lines.clear();
    try {
      client.Upload(big, c.name);
      ADD_FAILURE() << "the upload went through";
    } catch (const ftp::ESockError& e) {
      EXPECT_EQ(e.what(), std::string(c.reply) +
                              " (the data connection failed: 10054:Connection reset by peer)");
      EXPECT_EQ(e.ErrorNumber(), net::kConnectionReset);
    }
    EXPECT_EQ(client.ReplyText(), std::string(c.reply) + "\r\n");
    EXPECT_EQ(received.lines.back(), std::string(c.reply) + "\r\n");
    EXPECT_THAT(events, ElementsAre("failure:9"));
    events.clear();
    client.Upload(Local("good.bin", "good"), "good.bin");
    EXPECT_THAT(events, ElementsAre("success:9"));
  }
  EXPECT_EQ(fs::file_size(OnDrive("SYSTEM/full.bin")), 65536u);
}

TEST_F(UploadTest, ServerThatNeverConnectsBackIsCutOffAfterTheTimeOut) {
  StartServer(R"({"store": [{"pattern": "*.rpd", "fault": "never_connect"}]})");
  ShortDataTimeOut(150);
  EXPECT_THAT(ErrorText([&] { client.Upload(Local("x.rpd", "x"), "x.rpd"); }),
              StartsWith("Accepting Timed out"));
  EXPECT_THAT(events, ElementsAre("failure:9"));
  EXPECT_EQ(client.DataConnection(), nullptr);
  client.Mode(2);
  EXPECT_THAT(events, ElementsAre("failure:9", "success:14"));
}

TEST_F(UploadTest, ServerThatStopsTakingDataIsCutOffAfterTheTimeOut) {
  StartServer(R"({"store": [{"pattern": "*.bin", "fault": "stall"}]})");
  ShortDataTimeOut(200);
  EXPECT_THAT(ErrorText([&] { client.Upload(SparseLocal("big.bin", 256 << 20), "big.bin"); }),
              StartsWith("File send stalled: the server took no data for 200 ms"));
  EXPECT_THAT(events, ElementsAre("failure:9"));
  AwaitLateReply();
  client.Mode(2);
  EXPECT_THAT(events, ElementsAre("failure:9", "success:14"));
}

// The PORT reply is held until the client's time-out has fired; the pump that lets it go
// returns once it has reached the client, so the reply is read however long the server took.
TEST_F(UploadTest, LatePortReplyCancelsTheDataConnection) {
  StartServer(R"({"delay": [{"command": "PORT", "hold": true}]})");
  client.TimeOut = 500;
  bool released = false;
  client.SetEventPump([&] {
    if (!client.TimedOut() || released) return;
    released = true;
    server->Release();
    AwaitLateReply();
  });
  EXPECT_EQ(ErrorText([&] { client.Upload(Local("a", "a"), "a"); }), "Accepting Canceled");
  EXPECT_TRUE(released);
  EXPECT_THAT(events, ElementsAre("failure:9"));
}

TEST_F(UploadTest, UploadStartedFromAHandlerDuringAnUploadIsRefused) {
  StartServer();
  std::string inner = Local("inner.bin", "inner");
  std::string refusal;
  client.OnPacketSent = [&](ftp::TStreamSocket&) {
    if (refusal.empty()) refusal = ErrorText([&] { client.Upload(inner, "inner.bin"); });
  };
  client.Upload(Local("outer.bin", testsupport::Pattern(200000)), "/F0:/outer.bin");
  EXPECT_EQ(refusal, "Upload refused: another upload is still running");
  EXPECT_THAT(events, ElementsAre("failure:9", "success:9"));
  EXPECT_EQ(fs::file_size(OnDrive("outer.bin")), 200000u);
  EXPECT_FALSE(fs::exists(OnDrive("inner.bin")));
}

TEST_F(UploadTest, PassiveModeUploads) {
  StartServer();
  client.Passive = true;
  client.Upload(Local("p.bin", testsupport::Pattern(70000)), "/F0:/p.bin");
  EXPECT_THAT(events, ElementsAre("success:9"));
  EXPECT_EQ(testsupport::ReadFile(OnDrive("p.bin")), testsupport::Pattern(70000));
  EXPECT_THAT(Lines(), ElementsAre("USER kestro", "PASS pelto3318", "PASV", "STOR /F0:/p.bin"));
}

TEST_F(UploadTest, ProgressEventsSurroundTheFileData) {
  StartServer();
  std::vector<std::string> order;
  client.OnTransactionStart = [&](ftp::TStreamSocket&) { order.push_back("start"); };
  client.OnTransactionStop = [&](ftp::TStreamSocket&) { order.push_back("stop"); };
  client.OnPacketSent = [&](ftp::TStreamSocket& data) {
    EXPECT_NE(&data, &client);
    if (order.empty() || order.back() != "packet") order.push_back("packet");
  };
  client.Upload(Local("a.bin", testsupport::Pattern(300000)), "/F0:/a.bin");
  EXPECT_THAT(order, ElementsAre("start", "packet", "stop"));
}

TEST(UploadKill, ServerKilledMidUploadIsAnErrorWithText) {
  testsupport::TempTree root;
  testsupport::TempTree local;
  testsupport::PortServer server({VX_SIM_FTP_STANDALONE, root.Path().string(),
                                  R"({"store": [{"pattern": "*", "fault": "stall"}]})"});
  ASSERT_NE(server.Port(), 0);
  fs::create_directories(root.Path() / "F0:");

  TFtpClient client;
  client.Host = "127.0.0.1";
  client.Port = server.Port();
  client.TimeOut = 5000;
  client.UserID = sim::FtpServer::kUser;
  client.Password = sim::FtpServer::kPassword;
  client.Connect();
  std::string path = testsupport::SparseFile(local.Path() / "big.bin", 256 << 20);
  int failures = 0;
  client.OnFailure = [&](TFtpClient&, bool&, TCmdType k) {
    EXPECT_EQ(k, ftp::cmdUpload);
    ++failures;
  };
  client.OnPacketSent = [&](ftp::TStreamSocket&) { server.Process().Stop(SIGKILL, 10s); };
  try {
    client.Upload(path, "big.bin");
    FAIL() << "the upload went through";
  } catch (const ftp::ESockError& e) {
    EXPECT_STREQ(e.what(), "10054:Connection reset by peer");
  }
  EXPECT_EQ(failures, 1);
  EXPECT_FALSE(client.Connected());
  EXPECT_NO_THROW(client.Disconnect());
}

}  // namespace
