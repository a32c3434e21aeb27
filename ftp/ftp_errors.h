#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace ftp {

// What went wrong in a socket operation: code compares these, never the error texts.
enum class SockErrorKind {
  kPlatform,          // a platform error; the text is its number and name
  kNoSocket,          // the platform gave no socket
  kAlreadyConnected,  // Connect on a connected socket
  kLookupFailed,      // the host name has no address
  kLookupTimedOut,    // the host name lookup did not end within TimeOut
  kLookupCanceled,    // the host name lookup was cancelled
  kNullAddress,       // no address to connect to
  kConnectFailed,     // the connect was refused or failed; the error number says why
  kTimedOut,          // a connect, an accept or a reply did not come within its bound
  kCanceled,          // a connect or an accept was cancelled
  kAborted,           // a line read or send was stopped by a cancel or by the time-out
  kStalled,           // the peer took no data for TimeOut
  kMalformedReply,    // a reply that breaks its bounds or holds no valid code or port
  kClosed,            // the server closed the connection before a complete reply
  kAcceptFailed,      // no data connection could be accepted
};

// A socket-level failure: a numbered platform error ("10054:Connection reset by peer") or one of
// the socket layer's own texts ("Connection Failed", "Null Remote Address", ...), with its kind
// and, where one caused it, the platform's error number in the Windows Sockets numbering.
class ESockError : public std::runtime_error {
 public:
  ESockError(SockErrorKind kind, const std::string& text, int errorNumber = 0,
             std::string serverReason = {})
      : std::runtime_error(text),
        kind_(kind),
        errorNumber_(errorNumber),
        serverReason_(std::move(serverReason)) {}

  SockErrorKind Kind() const { return kind_; }
  // The Windows Sockets (or resolver) number behind the error; 0 when none.
  int ErrorNumber() const { return errorNumber_; }
  // The server's own reply that says why the connection broke, without its line end; empty
  // when it gave none.
  const std::string& ServerReason() const { return serverReason_; }

 private:
  SockErrorKind kind_;
  int errorNumber_;
  std::string serverReason_;
};

// A socket operation that was cancelled ("Socket readln aborted", "Socket send aborted").
class EAbortError : public ESockError {
 public:
  explicit EAbortError(const std::string& text) : ESockError(SockErrorKind::kAborted, text) {}
};

// An operation that needs a connection found none ("Not Connected").
class ENotConnected : public std::runtime_error {
 public:
  ENotConnected() : std::runtime_error("Not Connected") {}
};

// A local file that could not be opened for sending ("Cannot open file <path>").
class EFOpenError : public std::runtime_error {
 public:
  explicit EFOpenError(const std::string& path) : std::runtime_error("Cannot open file " + path) {}
};

// A local file that changed while it was being sent: it ended before the size it had when the
// upload opened it, or its size or modification time differed after the last byte. The upload
// fails; what the server received is not the file.
class EFileChanged : public std::runtime_error {
 public:
  EFileChanged(const std::string& path, std::int64_t sent, std::int64_t size, std::int64_t sizeNow)
      : std::runtime_error(Text(path, sent, size, sizeNow)) {}

 private:
  static std::string Text(const std::string& path, std::int64_t sent, std::int64_t size,
                          std::int64_t sizeNow) {
    std::string text = path + " changed while it was being sent: " + std::to_string(sent) + " of " +
                       std::to_string(size) + " bytes";
    if (sizeNow != size) text += " (it now holds " + std::to_string(sizeNow) + " bytes)";
    return text;
  }
};

// A command line refused before anything was sent: it holds CR, LF or NUL, or is too long.
class ECommandRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The FTP server refused an operation; the message is the server's reply line, line end included.
class FTPException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace ftp
