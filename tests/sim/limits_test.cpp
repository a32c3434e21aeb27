#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;
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
  testsupport::SimInstrument instrument({}, {.maxConnections = 2});
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
    auto served = [&](testsupport::LineClient& client) {
      if (server.greeting) {
        EXPECT_THAT(client.ReadLine(), StartsWith(server.greeting));
      }
      client.Send(server.request);
      EXPECT_THAT(client.ReadLine(), StartsWith(server.reply));
    };
    std::vector<std::unique_ptr<testsupport::LineClient>> clients;
    for (int i = 0; i < 2; ++i) {
      clients.push_back(std::make_unique<testsupport::LineClient>(server.port));
      served(*clients.back());
    }
    testsupport::LineClient beyond(server.port);
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
    testsupport::LineClient next(server.port);
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

std::vector<Server> Servers(testsupport::SimInstrument& instrument) {
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
size_t SendHugeRequests(testsupport::LineClient& deaf, const Server& server) {
  std::string requests;
  while (requests.size() < 64 * 1024) requests += server.hugeRequest;
  return deaf.SendWhatFits(requests);
}

// A client that sends nothing, or sends and takes no replies, loses its connection after the
// idle time-out; the test waits for each close itself.
TEST(ConnectionLimits, IdleClientsAndClientsThatDoNotReadAreClosed) {
  testsupport::SimInstrument instrument(HugeReplies(), {.idleTimeout = 500ms});
  for (const Server& server : Servers(instrument)) {
    SCOPED_TRACE(server.name);
    testsupport::LineClient quiet(server.port);
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
      testsupport::LineClient deaf(server.port, 4096);
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
  testsupport::SimInstrument instrument(HugeReplies(), {.idleTimeout = 0ms});
  for (const Server& server : Servers(instrument)) {
    SCOPED_TRACE(server.name);
    testsupport::LineClient deaf(server.port, 4096);
    EXPECT_GT(SendHugeRequests(deaf, server), 16u * 1024);
    // The server has read a request and is sending its reply, which is never taken.
    std::string_view requestLine(server.hugeRequest);
    requestLine.remove_suffix(requestLine.ends_with("\r\n") ? 2 : 1);
    ASSERT_TRUE(instrument.Transcript().WaitForLine(server.channel, requestLine, 20s));

    testsupport::LineClient other(server.port);
    if (server.greeting) {
      EXPECT_THAT(other.ReadLine(), StartsWith(server.greeting));
    }
    other.Send(server.request);
    EXPECT_THAT(other.ReadLine(), StartsWith(server.reply));
  }
}

// Sends what is asked and reads the reply line, unless there is nothing to ask.
void Ask(testsupport::LineClient& client, const std::string& request, const std::string& reply) {
  if (!request.empty()) client.Send(request);
  EXPECT_THAT(client.ReadLine(), StartsWith(reply)) << request;
}

// An FTP client of `instrument`, logged in with the instrument's user.
std::unique_ptr<testsupport::LineClient> LoggedIn(testsupport::SimInstrument& instrument) {
  auto ftp = std::make_unique<testsupport::LineClient>(instrument.FtpPort());
  Ask(*ftp, "", "220 ");
  Ask(*ftp, "USER kestro\r\n", "331 ");
  Ask(*ftp, "PASS pelto3318\r\n", "230 ");
  return ftp;
}

// Stores `bytes` as `path` over a passive data connection; the reply after the data. The data
// connection may be reset before all of it is sent.
std::string Store(testsupport::LineClient& ftp, const std::string& path, const std::string& bytes) {
  ftp.Send("PASV\r\n");
  std::string pasv = ftp.ReadLine();
  if (!pasv.starts_with("227 ")) return pasv;
  testsupport::LineClient data(testsupport::PassivePort(pasv));
  ftp.Send("STOR " + path + "\r\n");
  std::string opening = ftp.ReadLine();
  if (!opening.starts_with("150 ")) return opening;
  data.Send(bytes);
  ::shutdown(data.Fd(), SHUT_WR);
  return ftp.ReadLine();
}

// The used and free figures that "MMEM:CAT?" of `path` begins with, as "used,free".
std::string Figures(testsupport::LineClient& command, const std::string& path) {
  command.Send("MMEM:CAT? \"" + path + "\"\n");
  std::string listing = command.ReadLine();
  return listing.substr(0, listing.find(',', listing.find(',') + 1));
}

// A store that would take the drive past its total is answered 552 the moment it does and
// leaves the drive as it was: the file it would replace, the catalogue, no temporary file. A
// store that fits, counting the size of the file it replaces, is kept.
TEST(DriveLimits, AStorePastTheTotalIsRefusedAndKeepsNothing) {
  const std::string computed = R"({"drive": {"total": 100000}})";
  const std::string fixed = R"({"drive": {"total": 1000000, "free": 50000}})";
  const std::string truncating =
      R"({"drive": {"total": 31000},
          "ftp": {"store": [{"pattern": "*.bin", "fault": "truncate", "bytes": 1000}]}})";
  constexpr std::size_t kN0Free = 1000;
  struct Case {
    const char* what;
    std::string scenario;
    std::string path;  // under /F0:/SYSTEM, which holds old.bin of 30000 bytes, or on N0:
    std::size_t size;
    const char* reply;
    std::string figuresAfter;  // of the target's drive
    std::size_t kept;          // the bytes of the file stored, when it is kept
  } cases[] = {
      {"one byte past free", computed, "/F0:/SYSTEM/new.bin", 70001, "552 ", "30000,70000", 0},
      {"far past free, while the client still sends", computed, "/F0:/SYSTEM/new.bin", 4u << 20,
       "552 ", "30000,70000", 0},
      {"exactly the free bytes", computed, "/F0:/SYSTEM/new.bin", 70000, "226 ", "100000,0",
       70000},
      {"a replaced file frees its size", computed, "/F0:/SYSTEM/old.bin", 100000, "226 ",
       "100000,0", 100000},
      {"a replacing store past the total", computed, "/F0:/SYSTEM/old.bin", 100001, "552 ",
       "30000,70000", 0},
      {"fixed figures: past free", fixed, "/F0:/SYSTEM/new.bin", 50001, "552 ", "950000,50000", 0},
      {"fixed figures: replacing within free and the old size", fixed, "/F0:/SYSTEM/old.bin",
       80000, "226 ", "950000,50000", 80000},
      {"N0: past its 8 MiB", "{}", "N0:/x.rpd", kN0Free + 1, "552 ", "8387608,1000", 0},
      {"N0: up to its 8 MiB", "{}", "N0:/x.rpd", kN0Free, "226 ", "8388608,0", kN0Free},
      {"a truncating store counts the bytes it keeps", truncating, "/F0:/SYSTEM/new.bin", 200000,
       "552 Requested file action aborted. Exceeded storage allocation.", "31000,0", 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::SimInstrument instrument(testsupport::ScenarioFromText(c.scenario));
    const std::string old(30000, 'o');
    testsupport::WriteFile(instrument.Root() / "F0:" / "SYSTEM" / "old.bin", old);
    const fs::path big = instrument.Root() / "N0:" / "big.rpd";
    testsupport::WriteFile(big, "");
    fs::resize_file(big, sim::kN0TotalBytes - kN0Free);
    const bool onN0 = c.path.starts_with("N0:");
    const fs::path folder = instrument.Root() / (onN0 ? "N0:" : "F0:/SYSTEM");
    const std::string drive = onN0 ? "N0:" : "/F0:/";
    const testsupport::FolderContents before = testsupport::Contents(folder);
    testsupport::LineClient command(instrument.Port());
    const std::string figuresBefore = Figures(command, drive);

    auto ftp = LoggedIn(instrument);
    const std::string sent(c.size, 's');
    EXPECT_THAT(Store(*ftp, c.path, sent), StartsWith(c.reply));
    EXPECT_EQ(Figures(command, drive), c.figuresAfter);
    testsupport::FolderContents expected = before;
    const std::string name = fs::path(c.path).filename().string();
    if (c.kept > 0) {
      std::erase_if(expected, [&](const auto& entry) { return entry.first == name; });
      expected.emplace(name, sent.substr(0, c.kept));
    } else {
      EXPECT_EQ(c.figuresAfter, figuresBefore);
    }
    EXPECT_EQ(testsupport::Contents(folder), expected);
    // The control connection serves on.
    Ask(*ftp, "NOOP\r\n", "200 ");
  }
}

// `text` `times` over.
std::string Repeated(std::string_view text, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

// A log line shows at most 1 KB of what it logs, then how many bytes it left out, whatever
// the bytes are; the transcript keeps every line whole.
TEST(LogLimits, ALongLineIsLoggedAsItsFirstKilobyteAndTheCountOfTheRest) {
  struct Case {
    const char* what;
    std::string line;
    std::string logged;
  } cases[] = {
      {"60 KB of text", std::string(60000, 'X'),
       "< " + std::string(1024, 'X') + " ... 58976 more bytes"},
      {"60 KB of control bytes, each written out in four", std::string(60000, '\x01'),
       "< " + Repeated("\\x01", 256) + " ... 59744 more bytes"},
      {"a character is not cut in two", std::string(1023, 'a') + "\xc3\xa9" + "bbb",
       "< " + std::string(1023, 'a') + " ... 5 more bytes"},
      {"a line of 1 KB is logged whole", std::string(1024, 'Z'), "< " + std::string(1024, 'Z')},
  };
  const std::string reply(60000, 'y');
  nlohmann::json scenario;
  scenario["faults"] = {{{"command", "*IDN?"}, {"reply", reply}}};
  testsupport::TempTree root;
  sim::Drive drive(root.Path());
  drive.Prepare(true);
  sim::Transcript transcript;
  std::stringstream log;
  sim::CommandServer server(drive, transcript, sim::ScenarioFromJson(scenario),
                            {.port = 0, .logLines = true, .log = &log});
  testsupport::LineClient client(server.Port());
  for (const Case& c : cases) client.Send(c.line + "\n");
  client.Send("*IDN?\n");
  EXPECT_EQ(client.ReadLine(), reply);
  server.Stop();

  std::vector<std::string> logged;
  for (std::string line; std::getline(log, line);) {
    constexpr std::string_view kPrefix = "vx500-sim command: ";
    if (line.starts_with(kPrefix) && (line[kPrefix.size()] == '<' || line[kPrefix.size()] == '>'))
      logged.push_back(line.substr(kPrefix.size()));
  }
  std::vector<std::string> expected;
  std::vector<std::string> received;
  for (const Case& c : cases) {
    expected.push_back(c.logged);
    received.push_back(c.line);
  }
  expected.push_back("< *IDN?");
  expected.push_back("> " + std::string(1024, 'y') + " ... 58976 more bytes");
  received.push_back("*IDN?");
  EXPECT_EQ(logged, expected);
  EXPECT_EQ(transcript.Lines(sim::Transcript::Channel::kCommand), received);
}

struct Step {
  std::string request;  // sent unless empty
  std::string reply;    // what the reply begins with
};
using Steps = std::vector<Step>;

// Connects to `port` and sends the requests of `steps` at once, so the server never waits for
// them, then reads the replies; nothing when the server closed the connection first, which it
// does only when this test stalled for the whole log-in time between its connect and its send.
std::unique_ptr<testsupport::LineClient> LogIn(int port, const Steps& steps) {
  auto client = std::make_unique<testsupport::LineClient>(port);
  std::string requests;
  for (const Step& step : steps) requests += step.request;
  client->Send(requests);
  for (const Step& step : steps) {
    std::string line = client->ReadLine();
    if (line == "(closed)" || line.starts_with("421 Login")) return nullptr;
    EXPECT_THAT(line, StartsWith(step.reply)) << step.request;
  }
  return client;
}

// A connection that has not logged in within the log-in time (FTP: no USER and PASS that
// logged in; commands: nothing sent) is closed, so unused connections free their places for a
// new client; one that has logged in or sent a command is served on. The time is shortened
// here and the test waits for the closes itself.
TEST(ConnectionLimits, ConnectionsThatDoNotLogInAreClosedAfterTheLogInTime) {
  constexpr std::size_t kCap = 4;
  constexpr sim::ConnectionLimits kLimits{.maxConnections = kCap, .loginTimeout = 200ms};
  struct Server {
    const char* name;
    int (testsupport::SimInstrument::*port)() const;
    Steps logIn;
    std::vector<std::string> unused;  // what kCap - 1 clients that never log in send
    const char* lastWord;             // the last line to such a client, if any
    Step request;
  } servers[] = {
      {"ftp",
       &testsupport::SimInstrument::FtpPort,
       {{"", "220 "}, {"USER kestro\r\n", "331 "}, {"PASS pelto3318\r\n", "230 "}},
       {"", "USER kestro\r\nPASS wrong\r\n", "NOOP\r\n"},
       "421 Login time-out",
       {"NOOP\r\n", "200 "}},
      {"command",
       &testsupport::SimInstrument::Port,
       {{"*IDN?\n", "KOVA/ZEPHLORAN,VX500,"}},
       {"", "", ""},
       nullptr,
       {"*OPT?\n", "\"VX500:0:"}},
  };
  for (const Server& server : servers) {
    SCOPED_TRACE(server.name);
    // Whether the try went through; a try in which this test stalled is made again.
    auto attempt = [&] {
      testsupport::SimInstrument instrument({}, kLimits);
      const int port = (instrument.*server.port)();
      auto active = LogIn(port, server.logIn);
      if (!active) return false;
      std::vector<std::unique_ptr<testsupport::LineClient>> unused;
      for (const std::string& requests : server.unused) {
        unused.push_back(std::make_unique<testsupport::LineClient>(port));
        unused.back()->Send(requests);
      }
      EXPECT_EQ(unused.size() + 1, kCap);
      for (auto& client : unused) {
        std::vector<std::string> lines;
        for (std::string line; (line = client->ReadLine()) != "(closed)";) {
          lines.push_back(line);
          if (line == "(silent)") break;
        }
        EXPECT_THAT(lines, Not(Contains(AnyOf(StartsWith("230 "), "(silent)"))));
        if (server.lastWord) {
          EXPECT_THAT(lines.empty() ? "" : lines.back(), StartsWith(server.lastWord));
        }
      }
      // The client that logged in has waited longer than those closed, and is served on.
      Ask(*active, server.request.request, server.request.reply);
      auto next = LogIn(port, server.logIn);
      if (!next) return false;
      Ask(*next, server.request.request, server.request.reply);
      return true;
    };
    bool done = false;
    for (int i = 0; i < 5 && !done; ++i) done = attempt();
    EXPECT_TRUE(done) << "every try stalled for the log-in time";
  }
}

}  // namespace
