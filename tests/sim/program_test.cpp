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
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "net/deadline.h"
#include "net/unique_fd.h"
#include "net/wait.h"
#include "tests/sim/sim_fixture.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

std::string Program() {
  return VX500_SIM_PROGRAM;
}

// vx500-sim as a child process with its stdout on a pipe and its stderr in a file.
class Child {
 public:
  Child(std::vector<std::string> args, const std::filesystem::path& errFile) {
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
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
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

TEST(Program, AnswersOnItsPortLogsLinesAndStopsOnSignals) {
  for (int signal : {SIGTERM, SIGINT}) {
    simtest::TempDir dir;
    simtest::WriteFile(dir.Path() / "s.json", R"({"identity": "KOVA/ZEPHLORAN,VX500,7,V2.1",
        "drive": {"total": 30000000, "free": 3000000}, "ftp": {"greeting": ["220-VX500", "220 ready"]}})");
    Child child({"--root", (dir.Path() / "root").string(), "--scenario",
                 (dir.Path() / "s.json").string(), "--command-port", "0", "--ftp-port", "0"},
                dir.Path() / "err.txt");
    std::string banner = child.ReadLine(20s);
    ASSERT_EQ(banner.rfind("command 127.0.0.1:", 0), 0u) << banner;
    int port = std::stoi(banner.substr(banner.rfind(':') + 1));
    std::string ftpBanner = child.ReadLine(20s);
    ASSERT_EQ(ftpBanner.rfind("ftp 127.0.0.1:", 0), 0u) << ftpBanner;
    int ftpPort = std::stoi(ftpBanner.substr(ftpBanner.rfind(':') + 1));
    // The FTP server greets with the scenario's two-line greeting.
    EXPECT_EQ(Exchange(ftpPort, "", 2), "220-VX500\r\n220 ready\r\n");

    EXPECT_EQ(Exchange(port, "*IDN?\nMMEM:CAT? \"/F0:/\"\n", 2),
              "KOVA/ZEPHLORAN,VX500,7,V2.1\n27000000,3000000\n");
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "root" / "F0:"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "root" / "N0:"));

    int status = child.Stop(signal, 20s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = ReadAll(dir.Path() / "err.txt");
    EXPECT_NE(log.find("< *IDN?"), std::string::npos) << log;
    EXPECT_NE(log.find("< MMEM:CAT? \"/F0:/\""), std::string::npos) << log;
  }
}

TEST(Program, RefusesABadScenario) {
  simtest::TempDir dir;
  simtest::WriteFile(dir.Path() / "s.json", R"({"slots": 3})");
  Child child({"--root", dir.Path().string(), "--scenario", (dir.Path() / "s.json").string(),
               "--command-port", "0", "--ftp-port", "0"},
              dir.Path() / "err.txt");
  int status = child.Wait(20s);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(ReadAll(dir.Path() / "err.txt").find("slots"), std::string::npos);
}

}  // namespace
