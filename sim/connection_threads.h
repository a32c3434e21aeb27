#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/unique_fd.h"

namespace sim {

// What one server of the simulator allows its clients. A real instrument takes few
// connections, and a client that went quiet must not hold one for ever.
struct ConnectionLimits {
  // Connections served at once; more are turned away at once.
  std::size_t maxConnections = 8;
  // A connection that sends nothing, or does not take what is sent to it, for this long is
  // closed; 0 never closes one.
  std::chrono::milliseconds idleTimeout = std::chrono::minutes(15);
  // A connection whose client has kept the server waiting this long without logging in (FTP)
  // or sending anything (commands) is closed, so connections left unused cannot take up every
  // place; 0 never closes one.
  std::chrono::milliseconds loginTimeout = std::chrono::seconds(30);

  // The idle time-out as a poll() time-out: -1 for none.
  int IdlePollMs() const;
};

// The time left to a connection's client to log in. Only the server's waits for the client
// count, so a reply that the server itself holds back costs the client nothing.
class LoginClock {
 public:
  explicit LoginClock(std::chrono::milliseconds timeout)
      : left_(timeout), enabled_(timeout.count() > 0), running_(enabled_) {}

  // The poll() time-out of the next wait for the client: the idle time-out of `limits`,
  // shortened to the time left while the clock runs.
  int PollMs(const ConnectionLimits& limits) const;
  // Takes the time since `start`, when a wait for the client began, from the time left.
  void Count(std::chrono::steady_clock::time_point start);
  // True when the clock runs and no time is left.
  bool Expired() const { return running_ && left_.count() <= 0; }
  // The client has logged in (Stop) or is logging in again (Start, with the time it had left).
  void Stop() { running_ = false; }
  void Start() { running_ = enabled_; }

 private:
  std::chrono::steady_clock::duration left_;
  bool enabled_;
  bool running_;
};

// The threads serving one server's connections: at most a fixed number at a time, each
// joined once it has ended, so a long run does not pile them up.
class ConnectionThreads {
 public:
  explicit ConnectionThreads(std::size_t cap) : cap_(cap) {}
  ~ConnectionThreads() { JoinAll(); }
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;

  // Serves `connection` with `serve` on a thread of its own, which closes it afterwards; when
  // the cap is reached, starts nothing and leaves `connection` to the caller (false). A
  // connection counts as ended before it closes, so a client that saw it close finds its
  // place free.
  bool Start(net::UniqueFd& connection, std::function<void(int fd)> serve);
  // Waits for every thread; the caller has told them to stop.
  void JoinAll();

 private:
  struct Thread {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  std::size_t cap_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Thread>> threads_;
};

}  // namespace sim
