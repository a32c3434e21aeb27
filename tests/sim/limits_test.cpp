#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/sim/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::StartsWith;

TEST(Transcript, KeepsTheNewestLinesAndCountsTheDropped) {
  struct Case {
    sim::Transcript::Limits limits;
    std::vector<std::string> added;
    std::vector<std::string> kept;
    uint64_t dropped;
  } cases[] = {
      {{.maxLines = 3, .maxBytes = 100}, {"a", "b", "c", "d", "e"}, {"c", "d", "e"}, 2},
      {{.maxLines = 10, .maxBytes = 6}, {"aa", "bb", "cc", "dd"}, {"bb", "cc", "dd"}, 1},
  };
  for (const auto& c : cases) {
    sim::Transcript transcript(c.limits);
    for (const auto& line : c.added) transcript.Add(sim::Transcript::Channel::kCommand, line);
    EXPECT_EQ(transcript.Lines(sim::Transcript::Channel::kCommand), c.kept);
    EXPECT_EQ(transcript.Dropped(), c.dropped);
  }
}

// Both servers take two connections here; a third is turned away at once (FTP with "421")
// while the first two are served on, and a place left by a client is free again.
TEST(ConnectionLimits, BeyondTheCapAConnectionIsTurnedAwayAndTheOthersWorkOn) {
  simtest::SimInstrument instrument({}, {.maxConnections = 2});
  struct Server {
    const char* name;
    int port;
    const char* greeting;  // the first line a client receives, if any
    const char* request;
    const char* reply;
    const char* refusal;  // the last word to a client beyond the cap, if any
    const char* leave;    // what a client sends to leave
  } servers[] = {
      {"command", instrument.Port(), nullptr, "*IDN?\n", "KOVA/ZEPHLORAN,VX500,SIM00001,V3.0",
       nullptr, ""},
      {"ftp", instrument.FtpPort(), "220 ", "NOOP\r\n", "200 ", "421 ", "QUIT\r\n"},
  };
  for (const auto& server : servers) {
    SCOPED_TRACE(server.name);
    auto served = [&](simtest::LineClient& client) {
      if (server.greeting) {
        EXPECT_THAT(client.ReadLine(), StartsWith(server.greeting));
      }
      client.Send(server.request);
      EXPECT_THAT(client.ReadLine(), StartsWith(server.reply));
    };
    std::vector<std::unique_ptr<simtest::LineClient>> clients;
    for (int i = 0; i < 2; ++i) {
      clients.push_back(std::make_unique<simtest::LineClient>(server.port));
      served(*clients.back());
    }
    simtest::LineClient beyond(server.port);
    if (server.refusal) {
      EXPECT_THAT(beyond.ReadLine(), StartsWith(server.refusal));
    }
    EXPECT_TRUE(beyond.WaitClosed());
    for (auto& client : clients) {
      client->Send(server.request);
      EXPECT_THAT(client->ReadLine(), StartsWith(server.reply));
    }

    clients[0]->Send(server.leave);
    ::shutdown(clients[0]->Fd(), SHUT_WR);
    EXPECT_TRUE(clients[0]->WaitClosed());
    simtest::LineClient next(server.port);
    served(next);
  }
}

// Replies far larger than the sockets hold, so a client that does not read stops the
// server's sending at once.
sim::Scenario HugeReplies() {
  const std::string huge(8u << 20, 'x');
  nlohmann::json scenario;
  scenario["faults"] = {{{"command", "*IDN?"}, {"reply", huge}}};
  scenario["ftp"]["refuse"] = {{{"command", "NOOP"}, {"code", 200}, {"text", huge}}};
  return sim::ScenarioFromJson(scenario);
}

// Each server with a request whose reply is huge and one served as usual.
struct Server {
  const char* name;
  int port;
  sim::Transcript::Channel channel;
  const char* greeting;
  const char* idleWord;  // the last word to an idle client, if any
  const char* hugeRequest;
  const char* request;
  const char* reply;
};

std::vector<Server> Servers(simtest::SimInstrument& instrument) {
  return {
      {"command", instrument.Port(), sim::Transcript::Channel::kCommand, nullptr, nullptr,
       "*IDN?\n", "*OPT?\n", "\"VX500:0:"},
      {"ftp", instrument.FtpPort(), sim::Transcript::Channel::kFtp, "220 ", "421 ", "NOOP\r\n",
       "USER kestro\r\n", "331 "},
  };
}

// Sends more huge requests than the server reads at once, reading nothing; the bytes taken.
// When the server gives up on such a client with requests unread, the connection ends in a
// reset, which arrives whatever is unread here.
size_t SendHugeRequests(simtest::LineClient& deaf, const Server& server) {
  std::string requests;
  while (requests.size() < 64 * 1024) requests += server.hugeRequest;
  return deaf.SendWhatFits(requests);
}

// A client that sends nothing, or sends and takes no replies, loses its connection after the
// idle time-out; the test waits for each close itself.
TEST(ConnectionLimits, IdleClientsAndClientsThatDoNotReadAreClosed) {
  simtest::SimInstrument instrument(HugeReplies(), {.idleTimeout = 500ms});
  for (const Server& server : Servers(instrument)) {
    SCOPED_TRACE(server.name);
    simtest::LineClient quiet(server.port);
    if (server.greeting) {
      EXPECT_THAT(quiet.ReadLine(), StartsWith(server.greeting));
    }
    if (server.idleWord) {
      EXPECT_THAT(quiet.ReadLine(), StartsWith(server.idleWord));
    }
    EXPECT_TRUE(quiet.WaitClosed());

    // A client that the server closed as idle before it read a request (this test stalled
    // longer than the time-out between its connect and its send) tells nothing about clients
    // that do not read: such a try is made again.
    bool read = false;
    for (int attempt = 0; attempt < 5 && !read; ++attempt) {
      instrument.Transcript().Clear();
      simtest::LineClient deaf(server.port, 4096);
      const size_t taken = SendHugeRequests(deaf, server);
      EXPECT_TRUE(deaf.WaitHangUp());
      read = !instrument.Transcript().Lines(server.channel).empty();
      if (read) {
        EXPECT_GT(taken, 16u * 1024);
      }
    }
    EXPECT_TRUE(read) << "the server read no request before closing the client";
  }
}

// While a client that takes no replies holds its connection, the server serves others. The
// idle time-out is off here, so how fast the served client is does not matter.
TEST(ConnectionLimits, AClientThatDoesNotReadHoldsUpNoOther) {
  simtest::SimInstrument instrument(HugeReplies(), {.idleTimeout = 0ms});
  for (const Server& server : Servers(instrument)) {
    SCOPED_TRACE(server.name);
    simtest::LineClient deaf(server.port, 4096);
    EXPECT_GT(SendHugeRequests(deaf, server), 16u * 1024);
    // The server has read a request and is sending its reply, which is never taken.
    std::string_view requestLine(server.hugeRequest);
    requestLine.remove_suffix(requestLine.ends_with("\r\n") ? 2 : 1);
    ASSERT_TRUE(instrument.Transcript().WaitForLine(server.channel, requestLine, 20s));

    simtest::LineClient other(server.port);
    if (server.greeting) {
      EXPECT_THAT(other.ReadLine(), StartsWith(server.greeting));
    }
    other.Send(server.request);
    EXPECT_THAT(other.ReadLine(), StartsWith(server.reply));
  }
}

}  // namespace
