#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
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

// A client that sends nothing, or sends and takes no replies, loses its connection after the
// idle time-out, and meanwhile the server serves others.
TEST(ConnectionLimits, IdleClientsAndClientsThatDoNotReadAreClosed) {
  // Replies far larger than the sockets hold, so a client that does not read stops the
  // server's sending at once.
  const std::string huge(8u << 20, 'x');
  nlohmann::json scenario;
  scenario["faults"] = {{{"command", "*IDN?"}, {"reply", huge}}};
  scenario["ftp"]["refuse"] = {{{"command", "NOOP"}, {"code", 200}, {"text", huge}}};
  simtest::SimInstrument instrument(sim::ScenarioFromJson(scenario), {.idleTimeout = 500ms});
  struct Server {
    const char* name;
    int port;
    const char* greeting;
    const char* idleWord;  // the last word to an idle client, if any
    const char* hugeRequest;
    const char* request;
    const char* reply;
  } servers[] = {
      {"command", instrument.Port(), nullptr, nullptr, "*IDN?\n", "*OPT?\n", "\"VX500:0:"},
      {"ftp", instrument.FtpPort(), "220 ", "421 ", "NOOP\r\n", "USER kestro\r\n", "331 "},
  };
  for (const auto& server : servers) {
    SCOPED_TRACE(server.name);
    simtest::LineClient quiet(server.port);
    if (server.greeting) {
      EXPECT_THAT(quiet.ReadLine(), StartsWith(server.greeting));
    }
    if (server.idleWord) {
      EXPECT_THAT(quiet.ReadLine(), StartsWith(server.idleWord));
    }
    EXPECT_TRUE(quiet.WaitClosed());

    // More requests than the server reads at once: when it gives up on this client with
    // requests unread, the connection ends in a reset, which arrives whatever is unread here.
    simtest::LineClient deaf(server.port, 4096);
    std::string requests;
    while (requests.size() < 64 * 1024) requests += server.hugeRequest;
    EXPECT_GT(deaf.SendWhatFits(requests), 16u * 1024);

    simtest::LineClient other(server.port);
    if (server.greeting) {
      EXPECT_THAT(other.ReadLine(), StartsWith(server.greeting));
    }
    other.Send(server.request);
    EXPECT_THAT(other.ReadLine(), StartsWith(server.reply));

    EXPECT_TRUE(deaf.WaitHangUp());
  }
}

}  // namespace
