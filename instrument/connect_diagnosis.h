#pragma once

#include <chrono>
#include <exception>
#include <string>
#include <string_view>

#include "ftp/ftp_client.h"
#include "ftp/ftp_observer.h"
#include "instrument/command_transport.h"

namespace instrument {

// A bound as it reads in a sentence: "240 s" for whole seconds, else "1500 ms".
std::string FormatBound(std::chrono::milliseconds bound);

// A platform error as a cause in a sentence: "connection refused" for 10061.
std::string CauseOfError(int winsockNumber);

// The text of a channel that did not come up: "<channel> <address>:<port>: <cause>".
std::string ChannelDiagnostic(std::string_view channel, const std::string& ipAddress, int port,
                              const std::string& cause);

// Why the command connection did not open, from the failed `status` of its Open within `bound`.
std::string CommandConnectCause(const TransportStatus& status, std::chrono::milliseconds bound);

// Watches the FTP client while it connects, to tell which step failed, and passes everything on
// to the session's observer, the lines only if that observer watches them.
class FtpConnectWatch : public ftp::FtpObserver {
 public:
  explicit FtpConnectWatch(ftp::FtpObserver* next)
      : next_(next), nextLines_(next && (next->Watches() & kLines) != 0 ? next : nullptr) {}
  unsigned Watches() const override { return kLines | (next_ ? next_->Watches() : 0); }
  void ControlConnected(const std::string& peer) override {
    connected = true;
    if (nextLines_) nextLines_->ControlConnected(peer);
  }
  void LineSent(std::string_view line) override {
    if (line.starts_with("USER ")) loggingIn = true;
    if (nextLines_) nextLines_->LineSent(line);
  }
  void LineReceived(std::string_view line) override {
    ++replies;
    if (nextLines_) nextLines_->LineReceived(line);
  }
  void DataConnectionEnded(const ftp::DataConnectionRecord& record) override {
    if (next_) next_->DataConnectionEnded(record);
  }
  void FolderChanged(const std::string& folder) override {
    if (next_) next_->FolderChanged(folder);
  }

  bool connected = false;
  bool loggingIn = false;  // the user name has been sent
  int replies = 0;

 private:
  ftp::FtpObserver* next_;
  ftp::FtpObserver* nextLines_;
};

// What stopped an FTP log-in, from the step it reached and the error it raised.
std::string FtpConnectCause(const FtpConnectWatch& watch, const std::exception& error,
                            const ftp::TFtpClient& client);

}  // namespace instrument
