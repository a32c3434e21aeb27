#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <stdexcept>

#include "net/unique_fd.h"

namespace vxtest {

// A loopback port that nothing listens on: one the system handed out and took back.
inline std::uint16_t FreeLoopbackPort() {
  net::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("no loopback port to be had");
  return ntohs(address.sin_port);
}

}  // namespace vxtest
