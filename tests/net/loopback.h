#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <stdexcept>

#include "net/unique_fd.h"

namespace vxtest {

// A TCP socket bound to an ephemeral loopback port, without address reuse; `address`
// receives where.
inline net::UniqueFd BoundLoopbackSocket(sockaddr_in& address) {
  net::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("no loopback port to be had");
  return fd;
}

// A loopback port that refuses every connection for as long as this lives: its socket is bound
// but never listens, and as it does not allow address reuse no other socket can take the port
// meanwhile. A port merely handed back to the system could go at once to a listener of a test
// running beside this one.
class RefusingPort {
 public:
  RefusingPort() {
    sockaddr_in address{};
    fd_ = BoundLoopbackSocket(address);
    port_ = ntohs(address.sin_port);
  }
  std::uint16_t Port() const { return port_; }

 private:
  net::UniqueFd fd_;
  std::uint16_t port_ = 0;
};

}  // namespace vxtest
