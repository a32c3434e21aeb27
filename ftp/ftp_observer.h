#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace ftp {

// One data connection of an upload, as it ended.
struct DataConnectionRecord {
  in_addr peerAddress{};  // the server's end: address and port
  int peerPort = 0;
  std::uint64_t bytes = 0;               // file bytes handed to the connection
  std::chrono::nanoseconds duration{0};  // from the connection's opening to its close
  bool completed = false;                // the whole file was sent and the connection closed
};

// Watches a client's control connection and data connections (a trace or a record of the run).
// The client calls it only when one is installed, and for lines and data connections only when
// the observer watches them; a password never reaches it.
class FtpObserver {
 public:
  // What an observer may watch beyond uploads and folders, each at some cost per line or per
  // file: the control connection's opening and lines, and the data connections.
  enum Watched : unsigned { kLines = 1, kDataConnections = 2 };

  virtual ~FtpObserver() = default;
  // The Watched flags of what this observer wants to be told; asked once, when it is installed.
  virtual unsigned Watches() const { return kLines | kDataConnections; }

  // The control connection is up to `peer` ("address:port"). Watched with kLines.
  virtual void ControlConnected(const std::string& peer) { (void)peer; }
  // A command line about to be sent, without its line end; a password is shown masked.
  // Watched with kLines.
  virtual void LineSent(std::string_view line) { (void)line; }
  // A reply line as received, line end included. Watched with kLines.
  virtual void LineReceived(std::string_view line) { (void)line; }
  // A data connection was opened and has ended. Watched with kDataConnections.
  virtual void DataConnectionEnded(const DataConnectionRecord& record) { (void)record; }
  // The server accepted "CWD `folder`": names that do not begin with "/" are now inside it.
  virtual void FolderChanged(const std::string& folder) { (void)folder; }
};

}  // namespace ftp
