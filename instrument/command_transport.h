#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "net/deadline.h"
#include "net/wait.h"

namespace instrument {

// Outcome of one transport operation; the session turns failures into errors and closes.
struct TransportStatus {
  enum Kind {
    kOk,         // done (for a read: a line ending in LF was read)
    kClosed,     // not open, or the peer closed (a read keeps the bytes it got)
    kTimedOut,   // the deadline passed first
    kTooLong,    // a read reached the length bound without a line feed
    kFailed,     // the platform reported an error; `error` holds errno
    kCancelled,  // the cancel predicate answered true while the operation waited
  };
  Kind kind = kOk;
  int error = 0;
};

// The narrow link under the command channel: open, write a line, read a line by a deadline.
// The TCP connection implements it; unit tests use an in-memory one.
class CommandTransport {
 public:
  virtual ~CommandTransport() = default;

  // Closes any open connection, then connects to `address`.
  virtual TransportStatus Open(const in_addr& address, net::Deadline deadline) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // Writes all of `line` (it carries its own line feed).
  virtual TransportStatus WriteLine(std::string_view line, net::Deadline deadline) = 0;
  // Reads up to and including the first line feed, taking nothing past it from the
  // connection; zero bytes are dropped. `line` receives what was read, also on failure.
  virtual TransportStatus ReadLine(std::string& line, net::Deadline deadline, size_t maxBytes) = 0;
  // Installs a predicate that every wait asks; once it answers true, a waiting operation ends
  // with kCancelled. Transports that never wait ignore it.
  virtual void SetCancelPredicate(std::function<bool()> cancelled) { (void)cancelled; }
  // Installs what every wait calls between short polls, so a window stays live meanwhile (none:
  // the waits block in poll()). Transports that never wait ignore it.
  virtual void SetEventPump(net::EventPump pump) { (void)pump; }
};

// Builds a reply line from single bytes by the channel's framing rules.
class LineAssembler {
 public:
  enum Step { kMore, kComplete, kTooLong };

  LineAssembler(std::string& line, size_t maxBytes) : line_(line), maxBytes_(maxBytes) {}

  // Adds one received byte: a zero byte adds nothing, a line feed completes the line, a line
  // that would grow past the bound without a line feed is too long.
  Step Add(char c) {
    if (c == '\0') return kMore;
    if (c != '\n' && line_.size() + 1 >= maxBytes_) return kTooLong;
    line_.push_back(c);
    return c == '\n' ? kComplete : kMore;
  }

 private:
  std::string& line_;
  size_t maxBytes_;
};

}  // namespace instrument
