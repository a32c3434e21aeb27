#include "instrument/connect_diagnosis.h"

#include "net/socket_error.h"
#include "net/text.h"

namespace instrument {

std::string FormatBound(std::chrono::milliseconds bound) {
  long long ms = bound.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return std::to_string(ms) + " ms";
}

std::string CauseOfError(int winsockNumber) {
  std::string text = net::WinsockErrorText(winsockNumber);
  const auto colon = text.find(':');
  if (colon != std::string::npos) text.erase(0, colon + 1);
  if (!text.empty() && text.front() >= 'A' && text.front() <= 'Z') text.front() += 'a' - 'A';
  return text;
}

std::string ChannelDiagnostic(std::string_view channel, const std::string& ipAddress, int port,
                              const std::string& cause) {
  return std::string(channel) + " " + net::PrintableText(ipAddress) + ":" + std::to_string(port) +
         ": " + cause;
}

std::string CommandConnectCause(const TransportStatus& status, std::chrono::milliseconds bound) {
  if (status.kind == TransportStatus::kCancelled) return "stopped while connecting";
  if (status.kind == TransportStatus::kTimedOut)
    return "connection timed out after " + FormatBound(bound);
  return CauseOfError(net::WinsockErrorNumber(status.error));
}

std::string FtpConnectCause(const FtpConnectWatch& watch, const std::exception& error,
                            const ftp::TFtpClient& client) {
  const std::string text = net::WithoutLineEnd(error.what());
  const auto* socketError = dynamic_cast<const ftp::ESockError*>(&error);
  const bool timedOut = socketError && socketError->Kind() == ftp::SockErrorKind::kTimedOut;
  if (!watch.connected) {
    if (timedOut)
      return "connection timed out after " + FormatBound(std::chrono::milliseconds(client.TimeOut));
    if (socketError && socketError->Kind() == ftp::SockErrorKind::kConnectFailed &&
        client.LastError() != 0)
      return CauseOfError(client.LastError());
    return "cannot connect: " + text;
  }
  if (watch.replies == 0) {
    if (timedOut) {
      return "no greeting within " + FormatBound(std::chrono::milliseconds(4LL * client.TimeOut));
    }
    return "no greeting: " + text;
  }
  if (dynamic_cast<const ftp::FTPException*>(&error) != nullptr) {
    return (watch.loggingIn ? "log-in refused: " : "greeting refused: ") + text;
  }
  return (watch.loggingIn ? "log-in failed: " : "greeting failed: ") + text;
}

}  // namespace instrument
