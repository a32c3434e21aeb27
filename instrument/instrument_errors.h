#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace instrument {

// A send or receive on the command connection failed; the connection has been closed.
// The text names the call and the platform error ("recv failed: 10054:Connection reset by peer").
class CommandSocketError : public std::runtime_error {
 public:
  CommandSocketError(const std::string& api, int errnoValue);
  const std::string& Api() const { return api_; }
  // The Windows Sockets number of the error (10054 for a reset).
  int Number() const { return number_; }

 private:
  std::string api_;
  int number_;
};

// The command connection could not be opened (bad address text, refused, unreachable).
class CommandConnectError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A reply field is not a decimal integer: "'%s' is not a valid integer value".
class ConversionError : public std::runtime_error {
 public:
  explicit ConversionError(const std::string& text);
};

// The instrument did not answer (or accept a connection) within its bound; the connection has
// been closed so a late answer is never taken for the next command's.
class CommandTimeoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The front end asked to stop (Ctrl-C) while the command channel waited; the connection has
// been closed so a late answer is never taken for the next command's.
class CommandCancelledError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A reply line exceeded the length bound; the connection has been closed.
class ReplyTooLongError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A path or name holds a character that cannot travel inside a command (double quote, CR, LF,
// NUL); nothing was sent.
class RefusedParameterError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace instrument
