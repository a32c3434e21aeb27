#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace ftp {

// A socket-level failure: a numbered platform error ("10054:Connection reset by peer") or one of
// the socket layer's own texts ("Connection Failed", "Null Remote Address", ...).
class ESockError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A socket operation that was cancelled ("Socket readln aborted", "Socket send aborted").
class EAbortError : public ESockError {
 public:
  using ESockError::ESockError;
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
    std::string text = path + " changed while it was being sent: " + std::to_string(sent) +
                       " of " + std::to_string(size) + " bytes";
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
