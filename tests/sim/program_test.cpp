#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "net/deadline.h"
#include "net/unique_fd.h"
#include "net/wait.h"
#include "tests/net/loopback.h"
#include "tests/sim/sim_fixture.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

std::string Program() {
  return VX500_SIM_PROGRAM;
}

// vx500-sim as a child process with its stdout on a pipe and its stderr in a file, with the
// variables of `extraEnvironment` ("NAME=value") in place of the inherited ones.
class Child {
 public:
  Child(std::vector<std::string> args, const std::filesystem::path& errFile,
        std::vector<std::string> extraEnvironment = {}) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    stdout_.Reset(out[0]);
    net::UniqueFd writeEnd(out[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    args.insert(args.begin(), Program());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) {
      std::string_view name(*e, std::strcspn(*e, "="));
      if (std::none_of(extraEnvironment.begin(), extraEnvironment.end(), [&](const std::string& x) {
            return x.starts_with(std::string(name) + "=");
          }))
        envp.push_back(*e);
    }
    for (auto& e : extraEnvironment) envp.push_back(e.data());
    envp.push_back(nullptr);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("posix_spawn failed");
    pidFd_.Reset(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // The next line of the child's stdout, waiting at most `bound`.
  std::string ReadLine(std::chrono::milliseconds bound) {
    net::WaitOptions options;
    options.deadline = net::Deadline::After(bound);
    std::string line;
    char c;
    while (net::WaitFd(stdout_.Get(), POLLIN, options) == net::WaitResult::kReady &&
           read(stdout_.Get(), &c, 1) == 1 && c != '\n')
      line.push_back(c);
    return line;
  }

  // Sends `signal` and returns the exit status, waiting at most `bound` (-1 when it did not end).
  int Stop(int signal, std::chrono::milliseconds bound) {
    kill(pid_, signal);
    return Wait(bound);
  }
  // A figure of /proc/PID/status, such as "VmHWM:" (the peak resident memory), in KiB.
  long StatusKiB(const std::string& key) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.starts_with(key)) return std::stol(line.substr(key.size()));
    return -1;
  }
  int Wait(std::chrono::milliseconds bound) {
    net::WaitOptions options;
    options.deadline = net::Deadline::After(bound);
    if (net::WaitFd(pidFd_.Get(), POLLIN, options) != net::WaitResult::kReady) return -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  net::UniqueFd stdout_;
  net::UniqueFd pidFd_;
};

// Sends `request` to 127.0.0.1:port and reads until `lines` line feeds arrived.
std::string Exchange(int port, const std::string& request, int lines) {
  net::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return "no connection";
  send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  net::WaitOptions options;
  options.deadline = net::Deadline::After(10s);
  char buffer[512];
  while (std::count(reply.begin(), reply.end(), '\n') < lines &&
         net::WaitFd(fd.Get(), POLLIN, options) == net::WaitResult::kReady) {
    ssize_t n = recv(fd.Get(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  return reply;
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
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
    simtest::TempDir dir;
    simtest::WriteFile(dir.Path() / "s.json",
                       std::string(R"({"identity": "KOVA/ZEPHLORAN,VX500,7,V2.1", "drive": )") +
                           c.drive + R"(, "ftp": {"greeting": ["220-VX500", "220 ready"]}})");
    Child child({"--root", (dir.Path() / "root").string(), "--scenario",
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

    int status = child.Stop(c.signal, 20s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = ReadAll(dir.Path() / "err.txt");
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
    simtest::TempDir dir;
    const auto file = dir.Path() / "bad-scenario.json";
    simtest::WriteFile(file, c.text);
    Child child({"--root", (dir.Path() / "root").string(), "--scenario", file.string(),
                 "--command-port", "0", "--ftp-port", "0"},
                dir.Path() / "err.txt");
    int status = child.Wait(60s);
    ASSERT_TRUE(WIFEXITED(status)) << c.says << ": " << status;
    EXPECT_EQ(WEXITSTATUS(status), 1) << c.says;
    std::string err = ReadAll(dir.Path() / "err.txt");
    EXPECT_NE(err.find("vx500-sim: scenario: " + file.string() + ": "), std::string::npos) << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
  }
}

// A server that cannot have its port ends the program with status 1 and a message that names
// the server and the address, each server in its own words.
TEST(Program, AServerThatCannotListenEndsItNamingTheServerAndTheAddress) {
  vxtest::RefusingPort taken;
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
    simtest::TempDir dir;
    Child child({"--root", (dir.Path() / "root").string(), "--command-port", c.commandPort,
                 "--ftp-port", c.ftpPort},
                dir.Path() / "err.txt");
    int status = child.Wait(60s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadAll(dir.Path() / "err.txt"), c.says);
  }
}

// Received lines are kept only as far as the transcript's bounds: however much a client
// sends, the simulator's memory stays near where it started.
TEST(Program, MemoryStaysBoundedWhateverAClientSends) {
  simtest::TempDir dir;
  // The sanitizer's quarantine holds up to 256 MiB of freed memory by design; keep it small so
  // the figure is the simulator's own.
  const char* asan = std::getenv("ASAN_OPTIONS");
  Child child({"--root", (dir.Path() / "root").string(), "--command-port", "0", "--ftp-port", "0"},
              "/dev/null",
              {"ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":quarantine_size_mb=4"});
  int port = BannerPort(child.ReadLine(20s));
  ASSERT_NE(child.ReadLine(20s), "");
  long before = child.StatusKiB("VmRSS:");

  simtest::LineClient client(port);
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
  simtest::TempDir dir;
  Child child({"--root", (dir.Path() / "root").string(), "--command-port", "0", "--ftp-port", "0",
               "--login-timeout", "0.2"},
              dir.Path() / "err.txt");
  int port = BannerPort(child.ReadLine(20s));
  ASSERT_NE(child.ReadLine(20s), "");
  simtest::LineClient silent(port);
  EXPECT_TRUE(silent.WaitClosed());
  EXPECT_EQ(Exchange(port, "*IDN?\n", 1), "KOVA/ZEPHLORAN,VX500,SIM00001,V3.0\n");
  EXPECT_EQ(child.Stop(SIGTERM, 20s), 0);
  EXPECT_NE(ReadAll(dir.Path() / "err.txt").find(" sent nothing"), std::string::npos);
}

}  // namespace
