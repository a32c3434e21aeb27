#include "tests/cli/cli_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "net/deadline.h"

extern char** environ;

namespace clitest {

ChildRun::ChildRun(const std::vector<std::string>& argv,
                   const std::map<std::string, std::string>& environment,
                   const std::string& input) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  }
  outPipe_.Reset(out[0]);
  errPipe_.Reset(err[0]);
  net::UniqueFd outWrite(out[1]), errWrite(err[1]);

  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    if (!environment.contains(variable.substr(0, variable.find('='))))
      variables.push_back(variable);
  }
  for (const auto& [name, value] : environment) {
    if (!value.empty()) variables.push_back(name + "=" + value);
  }
  std::vector<char*> envp, args;
  for (auto& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
  posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  // The test runner may ignore or block SIGINT; the child starts with the defaults.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int rc = ::posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error(std::string("posix_spawn failed: ") + std::strerror(rc));
  }
  pidFd_.Reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
}

ChildRun::~ChildRun() {
  if (pid_ > 0) {
    KillGroup();
    ::waitpid(pid_, nullptr, 0);
  }
}

void ChildRun::KillGroup() {
  ::kill(-pid_, SIGKILL);
}

void ChildRun::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

bool ChildRun::Pump(std::chrono::milliseconds bound) {
  pollfd fds[2] = {{outPipe_.Get(), POLLIN, 0}, {errPipe_.Get(), POLLIN, 0}};
  if (!outPipe_) fds[0].fd = -1;
  if (!errPipe_) fds[1].fd = -1;
  if (fds[0].fd < 0 && fds[1].fd < 0) return false;
  const auto deadline = net::Deadline::After(bound);
  if (::poll(fds, 2, deadline.RemainingMs()) <= 0) return true;
  const std::pair<net::UniqueFd*, std::string*> pipes[] = {{&outPipe_, &out_}, {&errPipe_, &err_}};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
    if (n > 0) {
      pipes[i].second->append(chunk, static_cast<std::size_t>(n));
    } else {
      pipes[i].first->Reset();
    }
  }
  return true;
}

bool ChildRun::WaitForOutput(const std::string& text, std::chrono::milliseconds bound) {
  const auto deadline = net::Deadline::After(bound);
  while (out_.find(text) == std::string::npos && err_.find(text) == std::string::npos) {
    if (deadline.Passed() || !Pump(std::chrono::milliseconds(deadline.RemainingMs()))) {
      return out_.find(text) != std::string::npos || err_.find(text) != std::string::npos;
    }
  }
  return true;
}

std::optional<int> ChildRun::Wait(std::chrono::milliseconds bound) {
  const auto deadline = net::Deadline::After(bound);
  // The pipes close when the child (and anything it started) has ended.
  while (!deadline.Passed() && Pump(std::chrono::milliseconds(deadline.RemainingMs()))) {
  }
  pollfd p{pidFd_.Get(), POLLIN, 0};
  if (outPipe_ || errPipe_ || ::poll(&p, 1, deadline.RemainingMs()) != 1) {
    KillGroup();
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return std::nullopt;
  }
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  if (!WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

}  // namespace clitest
