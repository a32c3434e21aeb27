#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <thread>

#include "ftp/ftp_reply.h"
#include "ftp/stream_socket.h"
#include "net/ipv4.h"
#include "net/socket_error.h"
#include "tests/ftp/script_peer.h"
#include "tests/support/error_text.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_tree.h"

namespace {

using ftp::EAbortError;
using ftp::ESockError;
using Kind = ftp::SockErrorKind;
using ftp::TStreamSocket;
using testing_ftp::ScriptPeer;
using testsupport::ErrorText;
using testsupport::Listener;

// Bounds long enough for a loaded machine; the bound tests set their own short ones.
constexpr int kSafeTimeOut = 5000;

in_addr Loopback() {
  return *net::ParseIPv4("127.0.0.1");
}

void ConnectTo(TStreamSocket& s, int port) {
  s.Host = "127.0.0.1";
  s.Port = port;
  if (s.TimeOut == 0) s.TimeOut = kSafeTimeOut;
  s.Connect();
}

// The socket error that `f` raises; nothing when it raises none.
std::optional<ESockError> SockErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ESockError& e) {
    return e;
  }
  return std::nullopt;
}

TEST(StreamSocket, LineSplitAcrossPacketsIsOneLineAndNothingPastItsEndIsTaken) {
  ScriptPeer peer;
  peer.Send("22").WaitSignal().Send("0 ok\r\n331 next\r\n").Start();
  TStreamSocket s;
  int pumps = 0;
  // The pump runs only while the socket waits, that is after it took the first piece.
  s.SetEventPump([&] {
    if (++pumps == 1) peer.Signal();
  });
  ConnectTo(s, peer.Port());
  EXPECT_EQ(s.ReadLn(), "220 ok\r\n");
  EXPECT_GE(pumps, 1);
  EXPECT_EQ(s.ReadLn(), "331 next\r\n");
}

TEST(StreamSocket, TransactionSendsCrLfAndReadsTheCode) {
  ScriptPeer peer;
  peer.Expect("NOOP")
      .Send("200 fine\r\n")
      .Expect("HELP")
      .Send("no digits\r\n")
      .Expect("STAT")
      .Send("70000 too big\r\n")
      .Start();
  TStreamSocket s;
  ConnectTo(s, peer.Port());
  EXPECT_EQ(s.Transaction("NOOP"), "200 fine\r\n");
  EXPECT_EQ(s.ReplyCode(), 200);
  EXPECT_EQ(s.ReplyText(), "200 fine\r\n");
  s.Transaction("HELP");
  EXPECT_EQ(s.ReplyCode(), 0);
  EXPECT_THROW(s.Transaction("STAT"), ESockError);
  s.Disconnect();
  peer.Finish();
}

TEST(StreamSocket, ReplyLineOverTheBoundIsAnError) {
  ScriptPeer peer;
  peer.Send(std::string(70000, 'x')).WaitSignal().Start();
  TStreamSocket s;
  ConnectTo(s, peer.Port());
  EXPECT_THAT(ErrorText([&] { s.ReadLn(); }), ::testing::HasSubstr("longer than 65536"));
  EXPECT_FALSE(s.Connected());
  peer.Signal();
}

TEST(StreamSocket, PeerHangUpWithNothingWaitingReadsAsNotConnected) {
  ScriptPeer peer;
  peer.Send("bye\r\n").Close().Start();
  TStreamSocket s;
  int disconnects = 0;
  s.OnDisconnect = [&](TStreamSocket&) { ++disconnects; };
  ConnectTo(s, peer.Port());
  peer.Finish();
  // The final line is still waiting: the connection stays up until it is read.
  EXPECT_TRUE(s.Connected());
  EXPECT_EQ(s.ReadLn(), "bye\r\n");
  EXPECT_FALSE(s.Connected());
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(ErrorText([&] { s.CheckConnected(); }), "Not Connected");
}

TEST(StreamSocket, FailedConnectLeavesAFreshSocketForTheNextConnect) {
  TStreamSocket s;
  int failures = 0;
  s.OnConnectionFailed = [&](TStreamSocket&) { ++failures; };
  s.Host = "127.0.0.1";
  const testsupport::RefusingPort refusing;
  s.Port = refusing.Port();
  s.TimeOut = kSafeTimeOut;
  const auto error = SockErrorOf([&] { s.Connect(); });
  ASSERT_TRUE(error);
  // A refusal that the connect call reports at once is a platform error, one that comes later a
  // failed connect; both carry the refusal's number.
  EXPECT_TRUE(error->Kind() == Kind::kConnectFailed || error->Kind() == Kind::kPlatform)
      << error->what();
  EXPECT_EQ(error->ErrorNumber(), net::kConnectionRefused);
  EXPECT_FALSE(s.Connected());

  ScriptPeer peer;
  peer.Send("220 hi\r\n").Start();
  ConnectTo(s, peer.Port());
  EXPECT_TRUE(s.Connected());
  EXPECT_EQ(s.ReadLn(), "220 hi\r\n");
  EXPECT_EQ(ErrorText([&] { s.Connect(); }), "Already connected");
  s.Disconnect();
}

TEST(StreamSocket, ConnectThatNeverCompletesTimesOut) {
  const testsupport::UnansweredPort full;
  TStreamSocket s;
  bool failed = false;
  s.OnConnectionFailed = [&](TStreamSocket&) { failed = true; };
  s.TimeOut = 150;
  EXPECT_EQ(ErrorText([&] { ConnectTo(s, full.Port()); }), "Connection Timed out");
  EXPECT_TRUE(failed);
  EXPECT_TRUE(s.TimedOut());
}

TEST(StreamSocket, EachTimeOutAndCancelCarriesItsKind) {
  // A listener whose backlog is full drops further connection requests unanswered.
  Listener full(0);
  TStreamSocket filler;
  ConnectTo(filler, full.Port());
  ScriptPeer silent;
  silent.WaitSignal().Start();
  auto cancelInPump = [](TStreamSocket& s) { s.SetEventPump([&s] { s.Cancel(); }); };
  struct Row {
    const char* name;
    std::function<void(TStreamSocket&)> provoke;
    Kind kind;
  } rows[] = {
      {"connect that never completes",
       [&](TStreamSocket& s) {
         s.TimeOut = 100;
         ConnectTo(s, full.Port());
       },
       Kind::kTimedOut},
      {"cancelled connect",
       [&](TStreamSocket& s) {
         cancelInPump(s);
         ConnectTo(s, full.Port());
       },
       Kind::kCanceled},
      {"accept that no one connects to",
       [](TStreamSocket& s) {
         s.TimeOut = 100;
         s.Listen(Loopback(), Loopback());
         s.Accept();
       },
       Kind::kTimedOut},
      {"cancelled accept",
       [&](TStreamSocket& s) {
         cancelInPump(s);
         s.Listen(Loopback(), Loopback());
         s.Accept();
       },
       Kind::kCanceled},
      {"cancelled read",
       [&](TStreamSocket& s) {
         ConnectTo(s, silent.Port());
         cancelInPump(s);
         s.ReadLn();
       },
       Kind::kAborted},
      {"no host", [](TStreamSocket& s) { s.Connect(); }, Kind::kNullAddress},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TStreamSocket s;
    s.TimeOut = kSafeTimeOut;
    const auto error = SockErrorOf([&] { row.provoke(s); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->Kind(), row.kind) << error->what();
    EXPECT_EQ(error->ErrorNumber(), 0);
  }
  silent.Signal();
}

TEST(StreamSocket, HostNamesAreResolvedAndAnEmptyHostIsANullAddress) {
  ScriptPeer peer;
  peer.Send("220 hi\r\n").Start();
  TStreamSocket s;
  s.TimeOut = kSafeTimeOut;
  s.Port = peer.Port();
  EXPECT_EQ(ErrorText([&] { s.Connect(); }), "Null Remote Address");

  // One more attempt when the handler fixes the host.
  int asked = 0;
  s.OnInvalidHost = [&](TStreamSocket& sender, bool& handled) {
    ++asked;
    sender.Host = "localhost";
    handled = true;
  };
  bool resolved = false;
  s.OnHostResolved = [&](TStreamSocket&) { resolved = true; };
  s.Connect();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(resolved);
  EXPECT_EQ(s.ReadLn(), "220 hi\r\n");
}

TEST(StreamSocket, ReadTimeOutAbortsThePlainSocket) {
  ScriptPeer peer;
  peer.WaitSignal().Start();
  TStreamSocket s;
  s.TimeOut = 80;
  ConnectTo(s, peer.Port());
  try {
    s.ReadLn();
    FAIL() << "no time-out";
  } catch (const EAbortError& e) {
    EXPECT_STREQ(e.what(), "Socket readln aborted");
  }
  EXPECT_TRUE(s.TimedOut());
  EXPECT_FALSE(s.Canceled());
  peer.Signal();
}

TEST(StreamSocket, WritelnRefusesLineBreaksBeforeSending) {
  ScriptPeer peer;
  peer.Silent().Start();
  TStreamSocket s;
  ConnectTo(s, peer.Port());
  EXPECT_THROW(s.Writeln("CWD a\r\nDELE b"), ftp::ECommandRefused);
  EXPECT_THROW(s.Writeln(std::string("CWD a\0b", 7)), ftp::ECommandRefused);
  s.Writeln("NOOP");
  s.Disconnect();
  EXPECT_EQ(peer.Finish(), std::vector<std::string>{"NOOP"});
}

TEST(StreamSocket, AcceptIsBoundedByTheTimeOutAndCanBeCancelled) {
  TStreamSocket data;
  data.TimeOut = 100;
  data.Listen(Loopback(), Loopback());
  EXPECT_EQ(ErrorText([&] { data.Accept(); }),
            "Accepting Timed out: the server opened no data connection within 100 ms");

  // A connection from another address is turned away, and the time-out names it.
  TStreamSocket guarded;
  guarded.TimeOut = 100;
  guarded.ReportLevel = 1;
  std::vector<std::string> status;
  guarded.OnStatus = [&](TStreamSocket&, const std::string& text) { status.push_back(text); };
  guarded.Listen(Loopback(), Loopback());
  auto intruder = testsupport::ConnectFrom("127.0.0.2", "127.0.0.1", guarded.LocalPort());
  ASSERT_TRUE(intruder.Valid());
  std::string error = ErrorText([&] { guarded.Accept(); });
  ASSERT_EQ(status.size(), 1u);
  EXPECT_THAT(status[0], ::testing::MatchesRegex("Data connection from 127\\.0\\.0\\.2:[0-9]+ "
                                                 "refused: only the server 127\\.0\\.0\\.1 may "
                                                 "connect"));
  EXPECT_EQ(error, "Accepting Timed out: the server opened no data connection within 100 ms; " +
                       status[0]);
  EXPECT_EQ(testsupport::ReadToEnd(intruder.Get()), "");

  TStreamSocket cancelled;
  cancelled.TimeOut = kSafeTimeOut;
  cancelled.SetEventPump([&] { cancelled.Cancel(); });
  cancelled.Listen(Loopback(), Loopback());
  EXPECT_EQ(ErrorText([&] { cancelled.Accept(); }), "Accepting Canceled");
  EXPECT_FALSE(cancelled.Canceled());
}

TEST(StreamSocket, ListenAcceptAndSendFileDeliverEveryByte) {
  testsupport::TempTree dir;
  std::string bytes = testsupport::Pattern(3 * 65536 + 17);
  testsupport::WriteFile(dir.Path() / "f.bin", bytes);

  TStreamSocket data;
  data.TimeOut = kSafeTimeOut;
  data.Listen(Loopback(), Loopback());
  int port = data.LocalPort();
  EXPECT_EQ(data.LocalPortText(), ftp::PortNumberText(port));
  TStreamSocket client;
  ConnectTo(client, port);
  EXPECT_EQ(client.LocalAddressText(), "127,0,0,1");
  data.Adopt(data.Accept());
  int packets = 0;
  data.OnPacketSent = [&](TStreamSocket&) { ++packets; };
  data.SendFile((dir.Path() / "f.bin").string());
  data.SetGracefulClose();
  data.CloseSocket();
  EXPECT_EQ(testsupport::ReadToEnd(client.Handle()), bytes);
  EXPECT_EQ(data.SentBytes(), bytes.size());
  EXPECT_GE(packets, 4);
}

TEST(StreamSocket, EmptyFileSendsNoBytesAndMissingFileCannotOpen) {
  testsupport::TempTree dir;
  testsupport::WriteFile(dir.Path() / "empty", "");
  Listener listener;
  TStreamSocket s;
  ConnectTo(s, listener.Port());
  auto peer = listener.Accept();
  int packets = 0;
  s.OnPacketSent = [&](TStreamSocket&) { ++packets; };
  s.SendFile((dir.Path() / "empty").string());
  EXPECT_EQ(s.SentBytes(), 0u);
  EXPECT_EQ(packets, 0);
  std::string missing = (dir.Path() / "missing").string();
  EXPECT_EQ(ErrorText([&] { s.SendFile(missing); }), "Cannot open file " + missing);
}

TEST(StreamSocket, SendFileMovesTheFileInChunksUntilItsEndACancelOrAChange) {
  constexpr std::size_t kChunk = 65536;
  const std::string bytes = testsupport::Pattern(8 * kChunk + 1234);
  const std::string size = std::to_string(bytes.size());
  struct Case {
    const char* name;
    int cancelAfterEvents;  // 0: never
    off_t resizeTo;         // after the first event; 0: never
    std::string error;      // what the send raises; empty: nothing
    std::size_t sent;       // 0: SentBytes, which a cancel leaves wherever the socket took it
  } cases[] = {
      {"whole file", 0, 0, "", bytes.size()},
      {"cancelled after the second chunk", 2, 0, "Socket send aborted", 0},
      // A file that changes while it is sent fails: what the server got is not the file.
      {"file cut short while it is sent", 0, 100000,
       "f.bin changed while it was being sent: 100000 of " + size +
           " bytes (it now holds 100000 bytes)",
       100000},
      {"file grown while it is sent", 0, static_cast<off_t>(bytes.size() + 10),
       "f.bin changed while it was being sent: " + size + " of " + size + " bytes (it now holds " +
           std::to_string(bytes.size() + 10) + " bytes)",
       bytes.size()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempTree dir;
    const auto path = (dir.Path() / "f.bin").string();
    testsupport::WriteFile(path, bytes);
    Listener listener;
    TStreamSocket s;
    ConnectTo(s, listener.Port());
    auto peer = listener.Accept();
    std::string received;
    std::thread reader([&] { received = testsupport::ReadToEnd(peer.Get()); });

    int events = 0;
    std::uint64_t before = 0;
    bool chunksWithinBound = true;
    s.OnPacketSent = [&](TStreamSocket& sender) {
      ++events;
      chunksWithinBound &= sender.SentBytes() > before && sender.SentBytes() - before <= kChunk;
      before = sender.SentBytes();
      if (c.resizeTo > 0 && events == 1) {
        EXPECT_EQ(::truncate(path.c_str(), c.resizeTo), 0);
      }
    };
    s.SetCancelPredicate([&] { return c.cancelAfterEvents > 0 && events >= c.cancelAfterEvents; });
    std::string error;
    try {
      s.SendFile(path);
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    s.SetGracefulClose();
    s.CloseSocket();
    reader.join();

    if (c.error.empty()) {
      EXPECT_EQ(error, "");
    } else {
      EXPECT_THAT(error, testing::EndsWith(c.error));
    }
    EXPECT_FALSE(s.Canceled());
    EXPECT_TRUE(chunksWithinBound);
    const std::size_t sent = c.sent ? c.sent : s.SentBytes();
    EXPECT_EQ(s.SentBytes(), sent);
    if (c.cancelAfterEvents > 0) {
      EXPECT_EQ(events, c.cancelAfterEvents);
    }
    // Whatever was counted as sent arrived, byte for byte, and nothing more.
    EXPECT_EQ(received, bytes.substr(0, sent));
  }
}

TEST(StreamSocket, SendFileEndsWhenThePeerTakesNothingForTheTimeOut) {
  testsupport::TempTree dir;
  // A sparse file larger than any socket buffer: the peer never reads, so the send stalls.
  std::string path = testsupport::SparseFile(dir.Path() / "big", 256 << 20);
  Listener listener;
  TStreamSocket s;
  s.TimeOut = 200;
  ConnectTo(s, listener.Port());
  auto peer = listener.Accept();
  EXPECT_THAT(ErrorText([&] { s.SendFile(path); }),
              ::testing::StartsWith("File send stalled: the server took no data for 200 ms"));
}

TEST(StreamSocket, LineSendEndsWhenThePeerTakesNothingForTheTimeOut) {
  // Small buffers on both ends, so one long command line fills them.
  int small = 4096;
  Listener listener(4, small);
  TStreamSocket s;
  ::setsockopt(s.Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  s.TimeOut = 150;
  ConnectTo(s, listener.Port());
  auto peer = listener.Accept();
  EXPECT_EQ(ErrorText([&] { s.Writeln(std::string(60000, 'x')); }),
            "Command send stalled: the server took no data for 150 ms");
}

TEST(StreamSocket, PeerResetWhileSendingIsANumberedSocketError) {
  testsupport::TempTree dir;
  std::string path = testsupport::SparseFile(dir.Path() / "big", 256 << 20);
  Listener listener;
  TStreamSocket s;
  ConnectTo(s, listener.Port());
  auto peer = listener.Accept();
  int errors = 0;
  s.OnError = [&](TStreamSocket&, std::uint16_t number, const std::string&) {
    EXPECT_EQ(number, net::kConnectionReset);
    ++errors;
  };
  // The peer goes away once the first block is out.
  s.OnPacketSent = [&](TStreamSocket&) { peer.Reset(); };
  EXPECT_EQ(ErrorText([&] { s.SendFile(path); }), "10054:Connection reset by peer");
  EXPECT_EQ(errors, 1);
}

}  // namespace
