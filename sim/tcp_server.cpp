#include "sim/tcp_server.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <utility>

#include "net/deadline.h"

namespace sim {
namespace {

// Writes to an eventfd, which stays readable from then on.
void Signal(const net::UniqueFd& event) {
  std::uint64_t one = 1;
  (void)!::write(event.Get(), &one, sizeof one);
}

}  // namespace

ListenError::ListenError(Stage stage, int error)
    : std::runtime_error(stage == Stage::kSetUp ? "cannot set up a socket" : "cannot listen"),
      stage(stage),
      error(error) {}

TcpServer::TcpServer(ConnectionLimits limits, Handler serve, Handler refuse)
    : limits_(limits),
      serve_(std::move(serve)),
      refuse_(std::move(refuse)),
      connections_(limits.maxConnections) {}

TcpServer::~TcpServer() {
  Stop();
}

std::uint16_t TcpServer::Listen(const in_addr& address, std::uint16_t port, int backlog) {
  stop_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  // One release signal serves the server's whole life, so a release holds across a restart.
  if (!release_) release_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!stop_ || !release_ || !listener_) throw ListenError(ListenError::Stage::kSetUp, errno);
  int on = 1;
  ::setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = address;
  local.sin_port = htons(port);
  socklen_t length = sizeof local;
  if (::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(listener_.Get(), backlog) != 0 ||
      ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
    throw ListenError(ListenError::Stage::kBind, errno);
  running_ = true;
  acceptThread_ = std::thread(&TcpServer::AcceptLoop, this);
  return ntohs(local.sin_port);
}

void TcpServer::Stop() {
  if (!running_) return;
  running_ = false;
  Signal(stop_);
  if (acceptThread_.joinable()) acceptThread_.join();
  connections_.JoinAll();
  listener_.Reset();
}

void TcpServer::Release() {
  Signal(release_);
}

void TcpServer::AcceptLoop() {
  for (;;) {
    if (Wait(listener_.Get(), POLLIN, -1) != Waited::kReady) return;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    net::UniqueFd fd(::accept4(listener_.Get(), reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) continue;
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    std::string name = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    if (!connections_.Start(fd, [this, name](int connection) { serve_(connection, name); }))
      refuse_(fd.Get(), name);
  }
}

Waited TcpServer::Wait(int fd, short events, int ms) const {
  const auto deadline = ms < 0 ? net::Deadline::Never()
                               : net::Deadline::After(std::chrono::milliseconds(ms));
  pollfd fds[2] = {{stop_.Get(), POLLIN, 0}, {fd, events, 0}};
  for (;;) {
    int rc = ::poll(fds, fd >= 0 ? 2 : 1, deadline.RemainingMs());
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 || fds[0].revents) return Waited::kStopped;
    return rc == 0 ? Waited::kTimedOut : Waited::kReady;
  }
}

Sent TcpServer::SendAll(int fd, std::string_view bytes) const {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      Waited waited = Wait(fd, POLLOUT, limits_.IdlePollMs());
      if (waited == Waited::kTimedOut) return Sent::kTimedOut;
      if (waited == Waited::kStopped) return Sent::kFailed;
      continue;
    }
    return Sent::kFailed;
  }
  return Sent::kAll;
}

LineReader::LineReader(const TcpServer& server, int fd, bool bytesLogIn)
    : server_(server), fd_(fd), bytesLogIn_(bytesLogIn), login_(server.Limits().loginTimeout) {}

LineReader::Result LineReader::Read(std::string& line) {
  for (;;) {
    std::size_t lf = pending_.find('\n');
    if (lf != std::string::npos) {
      line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return Result::kLine;
    }
    if (pending_.size() > kMaxLineBytes) return Result::kTooLong;
    auto start = std::chrono::steady_clock::now();
    Waited waited = server_.Wait(fd_, POLLIN, login_.PollMs(server_.Limits()));
    login_.Count(start);
    if (waited == Waited::kTimedOut) return Result::kTimedOut;
    if (waited != Waited::kReady) return Result::kClosed;
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) return Result::kClosed;
    if (bytesLogIn_) login_.Stop();
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace sim
