#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/unique_fd.h"

namespace testsupport {

// A TCP socket bound to an ephemeral port of 127.0.0.1, without address reuse; `address`
// receives where. Raises std::runtime_error when no port can be had.
net::UniqueFd BoundLoopbackSocket(sockaddr_in& address);

// A TCP socket listening on 127.0.0.1:`port` (0: an ephemeral one) with `backlog`; a receive
// buffer size other than 0 is set before listening, so accepted sockets get it. An invalid
// descriptor when the port cannot be had.
net::UniqueFd ListenOnLoopback(std::uint16_t port, int backlog = 4, int receiveBuffer = 0);

// The port the socket `fd` is bound to; 0 when it is not.
std::uint16_t LocalPort(int fd);

// A loopback port that refuses every connection for as long as this lives: its socket is bound
// but never listens, and as it does not allow address reuse no other socket can take the port
// meanwhile. A port merely handed back to the system could go at once to a listener of a test
// running beside this one.
class RefusingPort {
 public:
  RefusingPort();
  std::uint16_t Port() const { return port_; }

 private:
  net::UniqueFd fd_;
  std::uint16_t port_ = 0;
};

// A socket listening on an ephemeral port of 127.0.0.1. The test accepts by hand, or never:
// the system then completes connections that nobody ever answers.
class Listener {
 public:
  // Raises std::runtime_error when no port can be had. See ListenOnLoopback for the arguments.
  explicit Listener(int backlog = 4, int receiveBuffer = 0);
  std::uint16_t Port() const { return port_; }
  // Waits up to ten seconds for a connection; an invalid descriptor when none came.
  net::UniqueFd Accept();

 private:
  net::UniqueFd fd_;
  std::uint16_t port_ = 0;
};

// A port of 127.0.0.1 whose connection requests are never answered: its listener's accept
// queue is held full, so the system drops every further request.
class UnansweredPort {
 public:
  UnansweredPort();
  std::uint16_t Port() const { return listener_.Port(); }

 private:
  Listener listener_{0};
  net::UniqueFd filler_;
};

// The two ends of one TCP connection on loopback.
struct ConnectedPair {
  net::UniqueFd a;
  net::UniqueFd b;
};
ConnectedPair LoopbackPair();

// A blocking TCP connection from the loopback address `source` to `target`:`port`; an invalid
// descriptor when the connect fails.
net::UniqueFd ConnectFrom(const char* source, const char* target, int port);

// Everything a socket delivers up to its end of file (bounded by ten quiet seconds).
std::string ReadToEnd(int fd);

// A client of a port on 127.0.0.1 that speaks lines; every wait is bounded by `bound`.
class LineClient {
 public:
  // Connects at once (raising std::runtime_error when it cannot); a `receiveBuffer` above 0
  // makes the socket's receive buffer that small.
  explicit LineClient(int port, int receiveBuffer = 0);
  int Fd() const { return fd_.Get(); }
  void Send(std::string_view bytes);
  // Sends what the socket takes without waiting; the number of bytes taken.
  size_t SendWhatFits(std::string_view bytes);
  // The next line without its LF or CR LF; "(closed)" when the server closed the connection
  // first, "(silent)" when nothing came within `bound`.
  std::string ReadLine();
  // The next `count` lines as they came, line ends and all; fewer when the connection ended
  // or went quiet for `bound` first.
  std::string ReadLines(int count);
  // True when the server ends the connection with a reset (or an end of file reached) within
  // `bound`, reading nothing of what it sent.
  bool WaitHangUp();
  // True when the server closes the connection (an end of file or a reset) within `bound`;
  // what it sends before is read and dropped.
  bool WaitClosed();

  std::chrono::milliseconds bound = std::chrono::seconds(20);

 private:
  // Reads what arrives within the bound; false at the end of either.
  bool Read();

  net::UniqueFd fd_;
  std::string input_;
  bool closed_ = false;
};

}  // namespace testsupport
