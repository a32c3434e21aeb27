#include "sim/ftp_data_connection.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace sim {
namespace {

// How long the server waits for a data connection to open.
constexpr int kDataOpenMs = 10000;

std::optional<int> Byte(std::string_view field) {
  if (field.empty() || field.size() > 3) return std::nullopt;
  int value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > 255) return std::nullopt;
  return value;
}

// "h1,h2,h3,h4,p1,p2" as an address; nothing when malformed.
std::optional<sockaddr_in> ParsePortArgument(std::string_view text) {
  int values[6];
  for (int i = 0; i < 6; ++i) {
    std::size_t comma = text.find(',');
    if ((i < 5) == (comma == std::string_view::npos)) return std::nullopt;
    auto value = Byte(text.substr(0, comma));
    if (!value) return std::nullopt;
    values[i] = *value;
    text = i < 5 ? text.substr(comma + 1) : std::string_view();
  }
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(
      static_cast<std::uint32_t>(values[0] << 24 | values[1] << 16 | values[2] << 8 | values[3]));
  target.sin_port = htons(static_cast<std::uint16_t>(values[4] * 256 + values[5]));
  return target;
}

// The local address of the connected socket `fd` with port 0 (any address when none).
sockaddr_in LocalAddress(int fd) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) local = {};
  local.sin_family = AF_INET;
  local.sin_port = 0;
  return local;
}

}  // namespace

FtpDataConnection::PortResult FtpDataConnection::Port(std::string_view argument) {
  auto target = ParsePortArgument(argument);
  if (!target || target->sin_port == 0) return PortResult::kMalformed;
  if ((ntohl(target->sin_addr.s_addr) >> 24) != 127) return PortResult::kNotLocal;
  portTarget_ = *target;
  pasvListener_.Reset();
  return PortResult::kSet;
}

std::optional<std::string> FtpDataConnection::Passive(int control) {
  sockaddr_in local = LocalAddress(control);
  net::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  socklen_t len = sizeof local;
  if (!listener || ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(listener.Get(), 1) != 0 ||
      ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    return std::nullopt;
  }
  std::uint32_t a = ntohl(local.sin_addr.s_addr);
  int port = ntohs(local.sin_port);
  pasvListener_ = std::move(listener);
  portTarget_.reset();
  return std::to_string(a >> 24) + "," + std::to_string((a >> 16) & 255) + "," +
         std::to_string((a >> 8) & 255) + "," + std::to_string(a & 255) + "," +
         std::to_string(port / 256) + "," + std::to_string(port % 256);
}

net::UniqueFd FtpDataConnection::Open(const TcpServer& server, int control) {
  if (portTarget_) {
    sockaddr_in target = *portTarget_;
    portTarget_.reset();
    net::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return {};
    // A client accepts its data connection only from the address it sent PORT to; left to
    // itself the system would pick 127.0.0.1 for any loopback target.
    const sockaddr_in local = LocalAddress(control);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return {};
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
      if (errno != EINPROGRESS) return {};
      if (server.Wait(fd.Get(), POLLOUT, kDataOpenMs) != Waited::kReady) return {};
      int error = 0;
      socklen_t len = sizeof error;
      ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &len);
      if (error != 0) return {};
    }
    return fd;
  }
  if (pasvListener_) {
    net::UniqueFd listener = std::move(pasvListener_);
    if (server.Wait(listener.Get(), POLLIN, kDataOpenMs) != Waited::kReady) return {};
    return net::UniqueFd(::accept4(listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  }
  return {};
}

void FtpDataConnection::Forget() {
  portTarget_.reset();
  pasvListener_.Reset();
}

}  // namespace sim
