#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "net/deadline.h"

extern char** environ;

namespace testsupport {

using namespace std::chrono_literals;

namespace {

// A new pseudo-terminal of `size`: its master end, and the path of its terminal end.
net::UniqueFd OpenTerminal(TerminalSize size, std::string& terminalPath) {
  net::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  char path[128];
  if (!master || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0 ||
      ::ptsname_r(master.Get(), path, sizeof path) != 0) {
    throw std::runtime_error("no pseudo-terminal: " + std::string(std::strerror(errno)));
  }
  terminalPath = path;
  const winsize window{size.rows, size.columns, 0, 0};
  ::ioctl(master.Get(), TIOCSWINSZ, &window);
  return master;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options) {
  const bool onTerminal = options.terminal.has_value();
  const bool errorsOnPipe = options.errorFile.empty() && !options.inheritErrors && !onTerminal;
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  std::string terminalPath;
  if (onTerminal) {
    outPipe_ = OpenTerminal(*options.terminal, terminalPath);
  } else if (::pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe2 failed");
  } else {
    outPipe_.Reset(out[0]);
  }
  if (errorsOnPipe && ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  errPipe_.Reset(err[0]);
  net::UniqueFd outWrite(out[1]), errWrite(err[1]);

  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    if (!options.environment.contains(variable.substr(0, variable.find('='))))
      variables.push_back(variable);
  }
  for (const auto& [name, value] : options.environment) {
    if (!value.empty()) variables.push_back(name + "=" + value);
  }
  std::vector<char*> envp, args;
  for (auto& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (onTerminal) {
    // Opened by the leader of a new session, the terminal becomes its controlling terminal.
    posix_spawn_file_actions_addopen(&actions, 0, terminalPath.c_str(), O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, options.input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
  }
  if (errorsOnPipe) {
    posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
  } else if (!options.errorFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, options.errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  // The test runner may ignore or block SIGINT; the child starts with the defaults.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  // A new session is a process group of its own too.
  posix_spawnattr_setflags(&attributes, (onTerminal ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP) |
                                            POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const int rc = ::posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("posix_spawn " + argv.front() + " failed: " + std::strerror(rc));
  }
  pidFd_.Reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    KillGroup();
    ::waitpid(pid_, nullptr, 0);
  }
}

void ChildProcess::KillGroup() {
  ::kill(-pid_, SIGKILL);
}

void ChildProcess::Type(const std::string& text) {
  for (std::size_t written = 0; written < text.size();) {
    const ssize_t n = ::write(outPipe_.Get(), text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("cannot type on the child's terminal");
    written += static_cast<std::size_t>(n);
  }
}

void ChildProcess::ResizeTerminal(TerminalSize size) {
  const winsize window{size.rows, size.columns, 0, 0};
  ::ioctl(outPipe_.Get(), TIOCSWINSZ, &window);
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

bool ChildProcess::Pump(std::chrono::milliseconds bound) {
  pollfd fds[2] = {{outPipe_.Get(), POLLIN, 0}, {errPipe_.Get(), POLLIN, 0}};
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

std::string ChildProcess::ReadLine(std::chrono::milliseconds bound) {
  const auto deadline = net::Deadline::After(bound);
  for (;;) {
    const std::size_t lf = out_.find('\n', lineStart_);
    if (lf != std::string::npos) {
      std::string line = out_.substr(lineStart_, lf - lineStart_);
      lineStart_ = lf + 1;
      return line;
    }
    if (deadline.Passed() || !Pump(std::chrono::milliseconds(deadline.RemainingMs()))) return {};
  }
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds bound) {
  const auto deadline = net::Deadline::After(bound);
  while (out_.find(text) == std::string::npos && err_.find(text) == std::string::npos) {
    if (deadline.Passed() || !Pump(std::chrono::milliseconds(deadline.RemainingMs()))) {
      return out_.find(text) != std::string::npos || err_.find(text) != std::string::npos;
    }
  }
  return true;
}

std::string ChildProcess::StatusField(const std::string& key) const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(key)) return line.substr(key.size());
  }
  return {};
}

// The kernel tells no one when a handler is installed, so the mask is read again and again.
bool ChildProcess::WaitCatches(int signal, std::chrono::milliseconds bound) const {
  const auto deadline = net::Deadline::After(bound);
  do {
    const std::string caught = StatusField("SigCgt:");
    if (!caught.empty() && (std::stoull(caught, nullptr, 16) >> (signal - 1) & 1) != 0) {
      return true;
    }
    std::this_thread::sleep_for(10ms);
  } while (!deadline.Passed());
  return false;
}

long ChildProcess::StatusKiB(const std::string& key) const {
  const std::string value = StatusField(key);
  return value.empty() ? -1 : std::stol(value);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds bound) {
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

std::optional<int> ChildProcess::Stop(int signal, std::chrono::milliseconds bound) {
  Signal(signal);
  return Wait(bound);
}

PortServer::PortServer(const std::vector<std::string>& argv)
    : process_(argv, {.inheritErrors = true}) {
  const std::string port = process_.ReadLine(20s);
  port_ = port.empty() ? 0 : std::stoi(port);
}

Pyftpd::Pyftpd(const std::filesystem::path& root)
    : PortServer({::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3",
                  VX_TEST_SOURCE_DIR "/tests/support/pyftpd_fixture.py", root.string()}) {}

int MakeSampleRelease(const std::string& out, const std::string& program) {
  ChildProcess script({"/bin/bash", VX_TEST_SOURCE_DIR "/scripts/make_release.sh", out, program});
  return script.Wait(120s).value_or(-1);
}

}  // namespace testsupport
