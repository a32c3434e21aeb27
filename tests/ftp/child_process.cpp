#include "tests/ftp/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "net/deadline.h"

extern char** environ;

namespace testing_ftp {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return;
  out_.Reset(ends[0]);
  net::UniqueFd writeEnd(ends[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.Get(), 1);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
  Kill(SIGKILL);
}

std::string ChildProcess::ReadLine(int ms) {
  auto deadline = net::Deadline::After(std::chrono::milliseconds(ms));
  for (;;) {
    auto lf = buffer_.find('\n');
    if (lf != std::string::npos) {
      std::string line = buffer_.substr(0, lf);
      buffer_.erase(0, lf + 1);
      return line;
    }
    pollfd p{out_.Get(), POLLIN, 0};
    if (::poll(&p, 1, deadline.RemainingMs()) <= 0) return {};
    char chunk[256];
    ssize_t n = ::read(out_.Get(), chunk, sizeof chunk);
    if (n <= 0) return {};
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

void ChildProcess::Kill(int signal) {
  if (pid_ <= 0) return;
  ::kill(pid_, signal);
  int status;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace testing_ftp
