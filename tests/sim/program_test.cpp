#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_tree.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ReadFile;

// vx500-sim as a child process with its stdout on a pipe and its stderr in `errFile`, with the
// variables of `environment` in place of the inherited ones.
testsupport::ChildProcess Sim(std::vector<std::string> args, const std::filesystem::path& errFile,
                              std::map<std::string, std::string> environment = {}) {
  args.insert(args.begin(), VX500_SIM_PROGRAM);
  return testsupport::ChildProcess(
      args, {.environment = std::move(environment), .errorFile = errFile.string()});
}

// Sends `request` to 127.0.0.1:port and reads until `lines` line feeds arrived.
std::string Exchange(int port, const std::string& request, int lines) {
  testsupport::LineClient client(port);
  client.Send(request);
  return client.ReadLines(lines);
}

// A port number from a start-up line such as "command 127.0.0.1:PORT".
int BannerPort(const std::string& banner) {
  return std::stoi(banner.substr(banner.rfind(':') + 1));
}

TEST(Program, AnswersOnItsPortLogsLinesAndStopsOnSignals) {
  struct Case {
    int signal;
    const char* drive;    // the scenario's "drive" object
    const char* listing;  // what MMEM:CAT? "/F0:/" answers on the fresh root
  } cases[] = {
      // A fresh root looks like an instrument: it has its system folder.
      {SIGTERM, R"({"total": 30000000, "free": 3000000})", "27000000,3000000,\"SYSTEM\",DIR,0\n"},
      {SIGINT, R"({"total": 30000000, "free": 3000000, "systemFolder": false})",
       "27000000,3000000\n"},
  };
  for (const auto& c : cases) {
    testsupport::TempTree dir;
    testsupport::WriteFile(dir.Path() / "s.json",
                           std::string(R"({"identity": "KOVA/ZEPHLORAN,VX500,7,V2.1", "drive": )") +
                               c.drive + R"(, "ftp": {"greeting": ["220-VX500", "220 ready"]}})");
    auto child = Sim({"--root", (dir.Path() / "root").string(), "--scenario",
                      (dir.Path() / "s.json").string(), "--command-port", "0", "--ftp-port", "0"},
                     dir.Path() / "err.txt");
    std::string banner = child.ReadLine(20s);
    ASSERT_EQ(banner.rfind("command 127.0.0.1:", 0), 0u) << banner;
    int port = BannerPort(banner);
    std::string ftpBanner = child.ReadLine(20s);
    ASSERT_EQ(ftpBanner.rfind("ftp 127.0.0.1:", 0), 0u) << ftpBanner;
    int ftpPort = BannerPort(ftpBanner);
    // The FTP server greets with the scenario's two-line greeting.
    EXPECT_EQ(Exchange(ftpPort, "", 2), "220-VX500\r\n220 ready\r\n");

    EXPECT_EQ(Exchange(port, "*IDN?\nMMEM:CAT? \"/F0:/\"\n", 2),
              std::string("KOVA/ZEPHLORAN,VX500,7,V2.1\n") + c.listing);
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "root" / "F0:"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "root" / "N0:"));

    ASSERT_EQ(child.Stop(c.signal, 20s), 0);
    std::string log = ReadFile(dir.Path() / "err.txt");
    EXPECT_NE(log.find("< *IDN?"), std::string::npos) << log;
    EXPECT_NE(log.find("< MMEM:CAT? \"/F0:/\""), std::string::npos) << log;
  }
}

// A scenario the simulator cannot use ends it with status 1 and a message naming the file,
// whatever is wrong with it; no document, however deep, overflows the stack.
TEST(Program, RefusesABadScenarioNamingTheFile) {
  std::string deepObjects;
  while (deepObjects.size() < 200000) deepObjects += R"({"a":)";
  struct Case {
    std::string text;
    const char* says;
  } cases[] = {
      {R"({"slots": 3})", "slots: must be an array"},
      {R"({"identity": )", "parse error"},
      {R"({"drive": {"total": 1e400}})", "number overflow"},
      {R"({"drive": {"systemFolder": "no"}})", "drive.systemFolder"},
      {R"({"ftp": {"refuse": [{"code": 500}]}})", "refuse[0].command"},
      {std::string(200000, '['), "nested deeper than"},
      {deepObjects, "nested deeper than"},
  };
  for (const auto& c : cases) {
    testsupport::TempTree dir;
    const auto file = dir.Path() / "bad-scenario.json";
    testsupport::WriteFile(file, c.text);
    auto child = Sim({"--root", (dir.Path() / "root").string(), "--scenario", file.string(),
                      "--command-port", "0", "--ftp-port", "0"},
                     dir.Path() / "err.txt");
    ASSERT_EQ(child.Wait(60s), 1) << c.says;
    std::string err = ReadFile(dir.Path() / "err.txt");
    EXPECT_NE(err.find("vx500-sim: scenario: " + file.string() + ": "), std::string::npos) << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
  }
}

// A server that cannot have its port ends the program with status 1 and a message that names
// the server and the address, each server in its own words.
TEST(Program, AServerThatCannotListenEndsItNamingTheServerAndTheAddress) {
  testsupport::RefusingPort taken;
  const std::string port = std::to_string(taken.Port());
  struct Case {
    const char* commandPort;
    const char* ftpPort;
    std::string says;
  } cases[] = {
      {port.c_str(), "0",
       "vx500-sim: command server: cannot listen on 127.0.0.1:" + port +
           ": 10048:Address already in use\n"},
      {"0", port.c_str(),
       "vx500-sim: FTP server: cannot listen on 127.0.0.1:" + port +
           ": Address already in use\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    testsupport::TempTree dir;
    auto child = Sim({"--root", (dir.Path() / "root").string(), "--command-port", c.commandPort,
                      "--ftp-port", c.ftpPort},
                     dir.Path() / "err.txt");
    ASSERT_EQ(child.Wait(60s), 1);
    EXPECT_EQ(ReadFile(dir.Path() / "err.txt"), c.says);
  }
}

// Received lines are kept only as far as the transcript's bounds: however much a client
// sends, the simulator's memory stays near where it started.
TEST(Program, MemoryStaysBoundedWhateverAClientSends) {
  testsupport::TempTree dir;
  // The sanitizer's quarantine holds up to 256 MiB of freed memory by design; keep it small so
  // the figure is the simulator's own.
  const char* asan = std::getenv("ASAN_OPTIONS");
  auto child =
      Sim({"--root", (dir.Path() / "root").string(), "--command-port", "0", "--ftp-port", "0"},
          "/dev/null", {{"ASAN_OPTIONS", std::string(asan ? asan : "") + ":quarantine_size_mb=4"}});
  int port = BannerPort(child.ReadLine(20s));
  ASSERT_NE(child.ReadLine(20s), "");
  long before = child.StatusKiB("VmRSS:");

  testsupport::LineClient client(port);
  std::string lines;
  for (int i = 0; i < 16; ++i) lines += std::string(60000, 'X') + "\n";
  constexpr int kRounds = 64;  // 61 MB of command lines
  for (int i = 0; i < kRounds; ++i) client.Send(lines);
  client.Send("*IDN?\n");
  // The answer comes after every line before it was handled.
  EXPECT_EQ(client.ReadLine(), "KOVA/ZEPHLORAN,VX500,SIM00001,V3.0");
  long peak = child.StatusKiB("VmHWM:");
  long growthKiB = peak - before;
  std::cout << "resident memory: " << before << " KiB at start, peak " << peak << " KiB after "
            << kRounds * lines.size() / 1000000 << " MB of lines\n";
  EXPECT_LT(growthKiB, 32 * 1024);
  EXPECT_EQ(child.Stop(SIGTERM, 20s), 0);
}

// --login-timeout shortens the time a connection may stay silent from its start: such a
// connection is closed (the test waits for that) and a new client is served.
TEST(Program, ASilentConnectionIsClosedAfterTheLogInTimeGiven) {
  testsupport::TempTree dir;
  auto child = Sim({"--root", (dir.Path() / "root").string(), "--command-port", "0", "--ftp-port",
                    "0", "--login-timeout", "0.2"},
                   dir.Path() / "err.txt");
  int port = BannerPort(child.ReadLine(20s));
  ASSERT_NE(child.ReadLine(20s), "");
  testsupport::LineClient silent(port);
  EXPECT_TRUE(silent.WaitClosed());
  EXPECT_EQ(Exchange(port, "*IDN?\n", 1), "KOVA/ZEPHLORAN,VX500,SIM00001,V3.0\n");
  EXPECT_EQ(child.Stop(SIGTERM, 20s), 0);
  EXPECT_NE(ReadFile(dir.Path() / "err.txt").find(" sent nothing"), std::string::npos);
}

}  // namespace
