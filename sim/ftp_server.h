#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "sim/connection_threads.h"
#include "sim/drive.h"
#include "sim/ftp_scenario.h"
#include "sim/tcp_server.h"
#include "sim/transcript.h"

namespace sim {

// The instrument's FTP server over the simulator's drive folder: the fixed login, TYPE, CWD
// ("/F0:/..." and "N0:" from any folder), PWD, PORT (loopback targets only), PASV, STOR, DELE,
// MKD, NOOP and QUIT, with the faults of an FtpBehaviour. Every received line goes to the
// transcript. One thread accepts, one thread serves each connection, up to the limit (more are
// answered "421" and closed); a connection idle for the limit's time-out, or not logged in
// within its log-in time, is answered "421" and closed. A store that would take its drive past
// the figures of `capacity` (as the catalogue reports them) is answered "552" and keeps nothing.
// With a `log`, every connection, received line (the password masked) and reply is logged there.
class FtpServer {
 public:
  static constexpr const char* kUser = "kestro";
  static constexpr const char* kPassword = "pelto3318";

  // `port` 0 takes any free port (see Port() after Start()).
  FtpServer(const Drive& drive, Transcript& transcript, std::string bindAddress, std::uint16_t port,
            FtpBehaviour behaviour = {}, ConnectionLimits limits = {}, DriveCapacity capacity = {},
            std::ostream* log = nullptr);
  ~FtpServer();
  FtpServer(const FtpServer&) = delete;
  FtpServer& operator=(const FtpServer&) = delete;

  // Binds, listens and starts serving; raises std::runtime_error when the port cannot be had.
  void Start();
  // Closes every connection and waits for the server's threads; safe to call twice.
  void Stop();
  // The port listened on.
  std::uint16_t Port() const { return port_; }
  // Lets every reply a "hold" delay holds, now and later, go out: a test releases the server
  // once it has done what must happen while the reply is awaited.
  void Release();

 private:
  class Session;

  // Logs one line when a log was given.
  void Log(const std::string& text) const;

  const Drive& drive_;
  Transcript& transcript_;
  std::string bindAddress_;
  std::uint16_t port_;
  const FtpBehaviour behaviour_;
  const DriveCapacity capacity_;
  std::ostream* log_;
  bool running_ = false;
  TcpServer tcp_;  // last, so its threads end before the members they use
};

}  // namespace sim
