#include "sim/command_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "net/deadline.h"
#include "net/ipv4.h"
#include "net/socket_error.h"
#include "sim/log_text.h"

namespace sim {
namespace {

// A line longer than this without a line feed closes the connection.
constexpr size_t kMaxLineBytes = 64 * 1024;

}  // namespace

CommandServer::CommandServer(const Drive& drive, Transcript& transcript, Scenario scenario,
                             CommandServerOptions options)
    : transcript_(transcript),
      options_(std::move(options)),
      interpreter_(drive, std::move(scenario)),
      connections_(options_.limits.maxConnections) {
  auto address = net::ParseIPv4(options_.bind);
  if (!address) throw std::runtime_error("'" + options_.bind + "' is not a dotted IPv4 address");
  stopEvent_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  releaseEvent_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!stopEvent_ || !releaseEvent_ || !listener_)
    throw std::runtime_error("command server: " + net::PlatformErrorText(errno));
  int one = 1;
  ::setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(options_.port));
  local.sin_addr = *address;
  if (::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(listener_.Get(), 8) != 0)
    throw std::runtime_error("command server: cannot listen on " + options_.bind + ":" +
                             std::to_string(options_.port) + ": " + net::PlatformErrorText(errno));
  socklen_t length = sizeof local;
  ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&local), &length);
  port_ = ntohs(local.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

CommandServer::~CommandServer() {
  Stop();
}

void CommandServer::Stop() {
  if (stopped_) return;
  stopped_ = true;
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(stopEvent_.Get(), &one, sizeof one);
  if (acceptThread_.joinable()) acceptThread_.join();
  connections_.JoinAll();
  listener_.Reset();
}

void CommandServer::Release() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(releaseEvent_.Get(), &one, sizeof one);
}

void CommandServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_.Get(), POLLIN, 0}, {stopEvent_.Get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    net::UniqueFd fd(::accept4(listener_.Get(), reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) continue;
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    std::string name = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    if (!connections_.Start(fd, [this, name](int connection) { Serve(connection, name); }))
      Log("connection from " + name +
          " refused: " + std::to_string(options_.limits.maxConnections) + " connections already");
  }
}

void CommandServer::Serve(int fd, const std::string& peer) {
  Log("connection from " + peer);
  std::string pending;
  // A client that has sent nothing yet counts as not logged in.
  LoginClock login(options_.limits.loginTimeout);
  bool open = true;
  while (open) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopEvent_.Get(), POLLIN, 0}};
    auto start = std::chrono::steady_clock::now();
    int ready = ::poll(fds, 2, login.PollMs(options_.limits));
    login.Count(start);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      Log("connection from " + peer + (login.Expired() ? " sent nothing" : " idle too long"));
      break;
    }
    if (fds[1].revents) break;
    char buffer[4096];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) break;
    login.Stop();
    pending.append(buffer, static_cast<size_t>(n));
    size_t lf;
    while (open && (lf = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, lf);
      pending.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      open = Handle(fd, line);
    }
    if (pending.size() > kMaxLineBytes) {
      Log("line longer than " + std::to_string(kMaxLineBytes) + " bytes from " + peer);
      break;
    }
  }
  Log("connection from " + peer + " closed");
}

bool CommandServer::Handle(int fd, const std::string& line) {
  transcript_.Add(Transcript::Channel::kCommand, line);
  Log("< " + LogText(line));
  CommandResponse response;
  {
    std::lock_guard lock(interpreterMutex_);
    response = interpreter_.Execute(line);
  }
  if (response.delay.count() > 0 && !Pause(static_cast<int>(response.delay.count()))) return false;
  if (response.hold && !AwaitRelease()) return false;
  if (response.reset) {
    // Closing with a zero linger sends a reset instead of an orderly end.
    linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    Log("reset");
    return false;
  }
  std::string reply = response.reply.value_or(std::string());
  if (response.closeAfter && *response.closeAfter < reply.size())
    reply.resize(*response.closeAfter);
  if (!reply.empty()) {
    std::string_view shown(reply);
    if (shown.back() == '\n') shown.remove_suffix(1);
    Log("> " + LogText(shown));
    if (!SendAll(fd, reply)) return false;
  }
  if (response.closeAfter) {
    Log("closed mid-reply");
    return false;
  }
  return true;
}

bool CommandServer::Pause(int ms) {
  auto deadline = net::Deadline::After(std::chrono::milliseconds(ms));
  for (;;) {
    pollfd stop{stopEvent_.Get(), POLLIN, 0};
    int rc = ::poll(&stop, 1, deadline.RemainingMs());
    if (rc == 0) return true;
    if (rc > 0 || errno != EINTR) return false;
  }
}

bool CommandServer::AwaitRelease() {
  for (;;) {
    pollfd fds[2] = {{releaseEvent_.Get(), POLLIN, 0}, {stopEvent_.Get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[1].revents) return false;
    if (fds[0].revents) return true;
  }
}

bool CommandServer::SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A client that takes nothing for the idle time-out loses its connection.
      pollfd fds[2] = {{fd, POLLOUT, 0}, {stopEvent_.Get(), POLLIN, 0}};
      int ready = ::poll(fds, 2, options_.limits.IdlePollMs());
      if (ready < 0 && errno != EINTR) return false;
      if (ready == 0) {
        Log("the client takes no replies");
        return false;
      }
      if (fds[1].revents) return false;
      continue;
    }
    return false;
  }
  return true;
}

void CommandServer::Log(const std::string& text) {
  if (!options_.logLines) return;
  static std::mutex logMutex;
  std::lock_guard lock(logMutex);
  *options_.log << "vx500-sim command: " << text << '\n';
}

}  // namespace sim
