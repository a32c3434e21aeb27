#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>

#include "net/deadline.h"
#include "net/wait.h"

namespace testsupport {
namespace {

// Every wait on a peer that should have answered at once.
constexpr int kQuietMs = 10000;

sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool BindTo(int fd, std::uint16_t port) {
  const sockaddr_in address = LoopbackAddress(port);
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

net::UniqueFd BoundLoopbackSocket(sockaddr_in& address) {
  net::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid() || !BindTo(fd.Get(), 0)) throw std::runtime_error("no loopback port to be had");
  address = LoopbackAddress(LocalPort(fd.Get()));
  return fd;
}

net::UniqueFd ListenOnLoopback(std::uint16_t port, int backlog, int receiveBuffer) {
  net::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (receiveBuffer > 0)
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  if (!fd.Valid() || !BindTo(fd.Get(), port) || ::listen(fd.Get(), backlog) != 0) return {};
  return fd;
}

std::uint16_t LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}

RefusingPort::RefusingPort() {
  sockaddr_in address{};
  fd_ = BoundLoopbackSocket(address);
  port_ = ntohs(address.sin_port);
}

Listener::Listener(int backlog, int receiveBuffer)
    : fd_(ListenOnLoopback(0, backlog, receiveBuffer)), port_(LocalPort(fd_.Get())) {
  if (!fd_) throw std::runtime_error("no loopback port to listen on");
}

net::UniqueFd Listener::Accept() {
  pollfd p{fd_.Get(), POLLIN, 0};
  if (::poll(&p, 1, kQuietMs) <= 0) return {};
  return net::UniqueFd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
}

// With a backlog of 0 the accept queue holds one connection that is never accepted. The filler
// waits for its own connect, bounded: should the system drop even that request, the port
// answers nothing all the same.
UnansweredPort::UnansweredPort()
    : filler_(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {
  const sockaddr_in address = LoopbackAddress(listener_.Port());
  ::connect(filler_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  pollfd p{filler_.Get(), POLLOUT, 0};
  ::poll(&p, 1, kQuietMs);
}

ConnectedPair LoopbackPair() {
  Listener listener(1);
  ConnectedPair pair;
  pair.a = ConnectFrom("127.0.0.1", "127.0.0.1", listener.Port());
  pair.b = listener.Accept();
  if (!pair.a || !pair.b) throw std::runtime_error("no loopback connection to be had");
  return pair;
}

net::UniqueFd ConnectFrom(const char* source, const char* target, int port) {
  net::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, target, &to.sin_addr);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
    return {};
  return fd;
}

std::string ReadToEnd(int fd) {
  std::string out;
  char chunk[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kQuietMs) <= 0) return out;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return out;
    out.append(chunk, static_cast<std::size_t>(n));
  }
}

LineClient::LineClient(int port, int receiveBuffer)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (receiveBuffer > 0)
    ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  const sockaddr_in address = LoopbackAddress(static_cast<std::uint16_t>(port));
  if (::connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("cannot connect to port " + std::to_string(port));
}

void LineClient::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

size_t LineClient::SendWhatFits(std::string_view bytes) {
  size_t taken = 0;
  for (;;) {
    ssize_t n =
        ::send(fd_.Get(), bytes.data() + taken, bytes.size() - taken, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) return taken;
    taken += static_cast<size_t>(n);
  }
}

std::string LineClient::ReadLine() {
  for (;;) {
    size_t lf = input_.find('\n');
    if (lf != std::string::npos) {
      std::string line = input_.substr(0, lf);
      input_.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (!Read()) return closed_ ? "(closed)" : "(silent)";
  }
}

std::string LineClient::ReadLines(int count) {
  size_t end = 0;
  for (int found = 0; found < count;) {
    const size_t lf = input_.find('\n', end);
    if (lf != std::string::npos) {
      end = lf + 1;
      ++found;
    } else if (!Read()) {
      end = input_.size();
      break;
    }
  }
  std::string lines = input_.substr(0, end);
  input_.erase(0, end);
  return lines;
}

bool LineClient::WaitHangUp() {
  net::WaitOptions options;
  options.deadline = net::Deadline::After(bound);
  return net::WaitFd(fd_.Get(), POLLRDHUP, options) != net::WaitResult::kTimedOut;
}

bool LineClient::WaitClosed() {
  while (Read()) input_.clear();
  return closed_;
}

bool LineClient::Read() {
  net::WaitOptions options;
  options.deadline = net::Deadline::After(bound);
  if (net::WaitFd(fd_.Get(), POLLIN, options) == net::WaitResult::kTimedOut) return false;
  char buffer[4096];
  ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  input_.append(buffer, static_cast<size_t>(n));
  return true;
}

}  // namespace testsupport
