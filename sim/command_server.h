#pragma once

#include <iostream>
#include <mutex>
#include <ostream>
#include <string>

#include "sim/command_interpreter.h"
#include "sim/connection_threads.h"
#include "sim/drive.h"
#include "sim/scenario.h"
#include "sim/tcp_server.h"
#include "sim/transcript.h"

namespace sim {

struct CommandServerOptions {
  std::string bind = "127.0.0.1";  // dotted IPv4 address to listen on
  int port = 5000;                 // 0 picks a free port
  bool logLines = false;           // log every received line and every reply
  std::ostream* log = &std::cerr;  // where they are logged
  ConnectionLimits limits = {};
};

// The instrument's command port: accepts connections (one thread each, up to the limit; more
// are closed at once), records every line in the transcript and answers through one shared
// CommandInterpreter, so the instrument's state (current folder, error queue, selected slot)
// outlives a reconnect. A connection idle for the limit's time-out, or silent for its log-in
// time from the start, is closed. Stops cleanly when destroyed.
class CommandServer {
 public:
  // Listens at once; raises std::runtime_error when the address cannot be bound.
  CommandServer(const Drive& drive, Transcript& transcript, Scenario scenario,
                CommandServerOptions options = {});
  ~CommandServer();
  CommandServer(const CommandServer&) = delete;
  CommandServer& operator=(const CommandServer&) = delete;

  // The port actually listened on.
  int Port() const { return port_; }
  // Closes every connection and joins the threads; idempotent.
  void Stop();
  // Lets every line a "hold" fault holds, now and later, go on to its answer: a test releases
  // the instrument once it has done what must happen while the reply is awaited.
  void Release();

 private:
  void Serve(int fd, const std::string& peer);
  // Handles one line; false when the connection is to be closed.
  bool Handle(int fd, const std::string& line);
  void Log(const std::string& text);

  Transcript& transcript_;
  CommandServerOptions options_;
  CommandInterpreter interpreter_;
  std::mutex interpreterMutex_;
  int port_ = 0;
  TcpServer tcp_;  // last, so its threads end before the members they use
};

}  // namespace sim
