#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "net/unique_fd.h"
#include "sim/connection_threads.h"

namespace sim {

// How a wait of a server's connection ended: what was waited for came, the time ran out, or
// the server stopped (or the wait itself failed).
enum class Waited { kReady, kTimedOut, kStopped };

// How a send to a client ended: all of it went, the client took nothing for the idle
// time-out, or the connection failed or the server stopped.
enum class Sent { kAll, kTimedOut, kFailed };

// TcpServer::Listen failed, while setting up its socket or while binding and listening on it;
// `error` is the errno value, so each server words the failure its own way.
class ListenError : public std::runtime_error {
 public:
  enum class Stage { kSetUp, kBind };
  ListenError(Stage stage, int error);

  Stage stage;
  int error;
};

// The plumbing a simulator server shares: the listening socket, the thread that accepts on
// it, one thread per connection up to the limit, and the stop and release signals that every
// wait of a connection watches. What is said on a connection is the handlers' business.
class TcpServer {
 public:
  // Called with a connected non-blocking socket and its peer as "address:port".
  using Handler = std::function<void(int fd, const std::string& peer)>;

  // `serve` runs on a thread of its own for each accepted connection, which is closed once it
  // returns; `refuse` runs on the accepting thread for a connection beyond the limit, which is
  // closed right after.
  TcpServer(ConnectionLimits limits, Handler serve, Handler refuse);
  ~TcpServer();
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // Listens on `address`:`port` (0 takes any free port) and starts accepting; the port taken.
  // Raises ListenError. After Stop() it may listen again.
  std::uint16_t Listen(const in_addr& address, std::uint16_t port, int backlog);
  // Stops accepting, ends every wait below and waits for every thread; safe to call twice.
  void Stop();
  // Lets every AwaitRelease() go on, now and later.
  void Release();

  const ConnectionLimits& Limits() const { return limits_; }
  // Waits up to `ms` (-1: no bound) for `events` on `fd`, or only for the time when `fd` is -1.
  Waited Wait(int fd, short events, int ms) const;
  // Waits `ms` milliseconds; false when the server stopped first.
  bool Sleep(int ms) const { return Wait(-1, 0, ms) == Waited::kTimedOut; }
  // Waits for Release(); false when the server stopped first.
  bool AwaitRelease() const { return Wait(release_.Get(), POLLIN, -1) == Waited::kReady; }
  // Sends all of `bytes` without blocking the server's other clients: a client that takes
  // nothing for the idle time-out ends the send.
  Sent SendAll(int fd, std::string_view bytes) const;

 private:
  void AcceptLoop();

  const ConnectionLimits limits_;
  Handler serve_;
  Handler refuse_;
  net::UniqueFd listener_;
  net::UniqueFd stop_;     // readable once Stop() was called
  net::UniqueFd release_;  // readable once Release() was called
  std::thread acceptThread_;
  ConnectionThreads connections_;
  bool running_ = false;
};

// Reads the lines a client sends on one connection, each of at most kMaxLineBytes. Each wait
// for the client lasts up to the idle time-out, shortened to the log-in time left while the
// log-in clock runs.
class LineReader {
 public:
  static constexpr std::size_t kMaxLineBytes = 64 * 1024;

  enum class Result { kLine, kClosed, kTimedOut, kTooLong };

  // With `bytesLogIn`, the first bytes the client sends stop the log-in clock; otherwise the
  // protocol stops it through Login().
  LineReader(const TcpServer& server, int fd, bool bytesLogIn);

  // The next line without its LF or CR LF (kLine); kClosed at an end of file, an error or the
  // server's stop; kTooLong when more than kMaxLineBytes came without a line feed.
  Result Read(std::string& line);
  LoginClock& Login() { return login_; }

 private:
  const TcpServer& server_;
  int fd_;
  bool bytesLogIn_;
  std::string pending_;
  LoginClock login_;
};

}  // namespace sim
