#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include "ftp/ftp_client.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_tree.h"

namespace {

namespace fs = std::filesystem;
using ftp::TCmdType;
using ftp::TFtpClient;
using ::testing::ElementsAre;

// The client against pyftpdlib serving a temporary folder as user kestro.
class PyftpdlibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<testsupport::Pyftpd>(root.Path());
    ASSERT_NE(server->Port(), 0) << "pyftpdlib did not start";
    client.Host = "127.0.0.1";
    client.Port = server->Port();
    client.TimeOut = 10000;
    client.UserID = "kestro";
    client.Password = "pelto3318";
    client.OnSuccess = [this](TFtpClient&, TCmdType k) { Note("success", k); };
    client.OnFailure = [this](TFtpClient&, bool&, TCmdType k) { Note("failure", k); };
    client.OnUnSupportedFunction = [this](TFtpClient&, TCmdType k) { Note("unsupported", k); };
  }
  void TearDown() override {
    if (client.Connected()) client.Disconnect();
    server.reset();
  }
  void Note(const char* what, TCmdType kind) {
    events.push_back(std::string(what) + ":" + std::to_string(static_cast<int>(kind)));
  }
  std::string Local(const std::string& name, const std::string& bytes) {
    testsupport::WriteFile(local.Path() / name, bytes);
    return (local.Path() / name).string();
  }

  testsupport::TempTree root;
  testsupport::TempTree local;
  std::unique_ptr<testsupport::Pyftpd> server;
  TFtpClient client;
  std::vector<std::string> events;
};

TEST_F(PyftpdlibTest, UploadsArriveByteForByte) {
  client.Connect();
  client.Mode(2);
  client.DoCommand("MKD sub");
  client.ChangeDir("sub");
  std::vector<std::size_t> sizes = {0, 65535, 65536, 65537, 5 * 1024 * 1024 + 123};
  for (std::size_t size : sizes) {
    std::string name = "f" + std::to_string(size) + ".bin";
    client.Upload(Local(name, testsupport::Pattern(size)), name);
  }
  for (std::size_t size : sizes) {
    std::string name = "f" + std::to_string(size) + ".bin";
    EXPECT_EQ(testsupport::ReadFile(root.Path() / "sub" / name), testsupport::Pattern(size))
        << name;
  }
  // An empty remote name takes the local file's name.
  client.Upload(Local("plain.rpd", "rpd bytes"));
  EXPECT_EQ(testsupport::ReadFile(root.Path() / "sub" / "plain.rpd"), "rpd bytes");
  client.Delete("plain.rpd");
  EXPECT_FALSE(fs::exists(root.Path() / "sub" / "plain.rpd"));
  client.Disconnect();
  EXPECT_EQ(std::count(events.begin(), events.end(), "success:9"), 6);
  EXPECT_THAT(std::vector<std::string>(events.begin(), events.begin() + 3),
              ElementsAre("success:14", "success:1", "success:0"));
}

TEST_F(PyftpdlibTest, AThirdPartyOnTheDataPortGetsNothingAndTheFileArrivesWhole) {
  client.Connect();
  client.Mode(2);
  events.clear();
  net::UniqueFd intruder;
  bool refused = false;
  client.ReportLevel = 1;
  client.OnStatus = [&](ftp::TStreamSocket&, const std::string& text) {
    if (text.rfind("PORT ", 0) == 0) {
      // Before the server hears of the port: the third party is first in the accept queue.
      ftp::TStreamSocket& data = *client.DataConnection();
      intruder = testsupport::ConnectFrom("127.0.0.2", "127.0.0.1", data.LocalPort());
      pollfd queued{data.Handle(), POLLIN, 0};
      ASSERT_EQ(::poll(&queued, 1, 10000), 1);
    } else if (text.rfind("Data connection from 127.0.0.2:", 0) == 0) {
      refused = true;
    }
  };
  std::string bytes = testsupport::Pattern(300000);
  client.Upload(Local("f.bin", bytes), "f.bin");
  EXPECT_TRUE(intruder.Valid());
  EXPECT_TRUE(refused);
  EXPECT_EQ(testsupport::ReadToEnd(intruder.Get()), "");
  EXPECT_EQ(testsupport::ReadFile(root.Path() / "f.bin"), bytes);
  EXPECT_THAT(events, ElementsAre("success:9"));
}

TEST_F(PyftpdlibTest, AsciiTypeStoresTheServersLineEnds) {
  client.Connect();
  client.Mode(1);
  client.Upload(Local("NAME", "PNB5\r\n"), "NAME");
  // Under TYPE A this server stores LF for CR LF.
  EXPECT_EQ(testsupport::ReadFile(root.Path() / "NAME"), "PNB5\n");
  client.Mode(2);
  client.Upload(Local("NAME", "PNB5\r\n"), "NAME2");
  EXPECT_EQ(testsupport::ReadFile(root.Path() / "NAME2"), "PNB5\r\n");
}

TEST_F(PyftpdlibTest, RefusalsOfARealServerAndTheClientGoesOn) {
  client.Connect();
  events.clear();
  EXPECT_THROW(client.ChangeDir("N0:"), ftp::FTPException);
  EXPECT_THROW(client.Upload(Local("a.bin", "a"), "missing/a.bin"), ftp::FTPException);
  EXPECT_THROW(client.Delete("missing.bin"), ftp::FTPException);
  EXPECT_THAT(events, ElementsAre("failure:0", "failure:9", "failure:2"));
  EXPECT_EQ(client.ReplyCode(), 550);
  events.clear();
  client.Upload(Local("a.bin", "a"), "a.bin");
  EXPECT_THAT(events, ElementsAre("success:9"));
}

TEST_F(PyftpdlibTest, WrongPasswordIsRefusedWithTheServersLine) {
  client.Password = "wrong";
  try {
    client.Connect();
    FAIL() << "logged in with a wrong password";
  } catch (const ftp::FTPException& e) {
    EXPECT_THAT(e.what(), ::testing::StartsWith("530 "));
  }
  EXPECT_FALSE(client.Connected());
}

}  // namespace
