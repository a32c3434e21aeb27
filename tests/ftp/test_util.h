#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <fcntl.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "net/unique_fd.h"

namespace testing_ftp {

// A folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vxftp-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Bytes that differ from position to position, so a lost or repeated block shows.
inline std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t x = 2463534242u;
  for (auto& c : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return bytes;
}

// A listening socket on 127.0.0.1 with any free port; the test accepts by hand.
class Listener {
 public:
  // A receive buffer size other than 0 is set before listening, so accepted sockets get it.
  explicit Listener(int backlog = 4, int receiveBuffer = 0) {
    fd_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receiveBuffer > 0)
      ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_.Get(), backlog);
    ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  int Port() const { return port_; }
  // Waits up to ten seconds for a connection.
  net::UniqueFd Accept() {
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return {};
    return net::UniqueFd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

 private:
  net::UniqueFd fd_;
  int port_ = 0;
};

// Everything a socket delivers up to its end of file (bounded by ten quiet seconds).
inline std::string ReadToEnd(int fd) {
  std::string out;
  char chunk[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return out;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return out;
    out.append(chunk, static_cast<std::size_t>(n));
  }
}

// The text of the exception `f` raises, or "(no error)".
inline std::string ErrorText(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// A sparse file of `size` bytes (zeros), larger than any socket buffer without using the disk.
inline std::string SparseFile(const std::filesystem::path& path, off_t size) {
  net::UniqueFd f(::open(path.c_str(), O_WRONLY | O_CREAT, 0644));
  if (!f || ::ftruncate(f.Get(), size) != 0) return {};
  return path.string();
}

// A blocking TCP connection from the loopback address `source` to `target`:`port`; an invalid
// descriptor when the connect fails.
inline net::UniqueFd ConnectFrom(const char* source, const char* target, int port) {
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

}  // namespace testing_ftp
