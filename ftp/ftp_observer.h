#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace ftp {

// One data connection of an upload, as it ended.
struct DataConnectionRecord {
  std::string peer;                      // the server's end, "address:port"
  std::uint64_t bytes = 0;               // file bytes handed to the connection
  std::chrono::nanoseconds duration{0};  // from the connection's opening to its close
  bool completed = false;                // the whole file was sent and the connection closed
};

// Watches a client's control connection and data connections (a trace of the run). The client
// calls it only when one is installed; a password never reaches it.
class FtpObserver {
 public:
  virtual ~FtpObserver() = default;
  // The control connection is up to `peer` ("address:port").
  virtual void ControlConnected(const std::string& peer) { (void)peer; }
  // A command line about to be sent, without its line end; a password is shown masked.
  virtual void LineSent(std::string_view line) { (void)line; }
  // A reply line as received, line end included.
  virtual void LineReceived(std::string_view line) { (void)line; }
  // A data connection was opened and has ended.
  virtual void DataConnectionEnded(const DataConnectionRecord& record) { (void)record; }
};

}  // namespace ftp
