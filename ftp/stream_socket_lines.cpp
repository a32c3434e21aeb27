#include "ftp/stream_socket.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "ftp/ftp_reply.h"
#include "net/socket_error.h"

namespace ftp {

void TStreamSocket::Write(std::string_view text) {
  Report(8, "Write");
  std::size_t length = std::min(text.find('\0'), text.size());
  if (length > kMaxLineBytes - 1)
    throw ECommandRefused("Command not sent: longer than the line limit");
  std::memcpy(buffer_.get(), text.data(), length);
  Report(4, "Sending Buffer");
  // A stop requested while no wait was asking (the last reply had already arrived) is seen
  // before the next command line goes out.
  if (!StopRequested()) SendAll(buffer_.get(), length, false);
  if (canceled_) {
    canceled_ = false;
    throw EAbortError("Socket send aborted");
  }
}

void TStreamSocket::Writeln(std::string_view text) {
  Report(8, "Writeln");
  CheckCommandLine(text, text.substr(0, text.find(' ')));
  std::string line(text);
  line += "\r\n";
  Write(line);
}

TStreamSocket::ReplyScope::ReplyScope(TStreamSocket& socket)
    : socket_(socket), outer_(socket.replyOpen_) {
  if (outer_) return;
  socket_.replyOpen_ = true;
  socket_.replyEnd_ = net::Deadline::Never();
  socket_.replyLines_ = 0;
}

TStreamSocket::ReplyScope::~ReplyScope() {
  if (!outer_) socket_.replyOpen_ = false;
}

std::string TStreamSocket::ReadLn() {
  Report(8, "ReadLn");
  peerClosed_ = false;
  StartTimer();
  struct TimerStop {
    TStreamSocket* socket;
    ~TimerStop() { socket->StopTimer(); }
  } timerStop{this};
  // The time-out alone does not end a reply wait of the FTP client (a late reply is still its
  // reply); a server that never answers is cut off at four times the time-out, and a reply
  // that never ends at four times the time-out after its first byte.
  const long long bound = 4LL * TimeOut;
  auto hard = net::Deadline::FromTimeoutMs(bound);
  net::Deadline never = net::Deadline::Never();
  const net::Deadline& replyEnd = replyOpen_ ? replyEnd_ : never;
  // Peeks start small and grow while no LF turns up, so a short line never copies the rest of
  // what is waiting: reading a reply costs time in proportion to its length.
  std::size_t window = 256;
  std::string line;
  auto awaitInput = [&] {
    if (Wait(fd_.Get(), POLLIN, net::Earlier(hard, replyEnd), false) == WaitEnd::kBound) {
      bool begun = !line.empty() || !replyEnd.IsNever();
      CloseSocket();
      throw ESockError(SockErrorKind::kTimedOut,
                       begun ? "Reply Timed out: the server's reply did not end within " +
                                   std::to_string(bound) + " ms"
                             : "Reply Timed out: the server sent no reply within " +
                                   std::to_string(bound) + " ms");
    }
  };
  // Right after its command went out a reply is not there yet: wait first, then look.
  bool waitFirst = std::exchange(replyPending_, false);
  while (!canceled_) {
    if (waitFirst) {
      waitFirst = false;
      awaitInput();
      continue;
    }
    std::size_t room = kMaxLineBytes - line.size();
    if (room == 0) {
      // Like a reply that never ends: what is left of the line would be read as a later reply.
      CloseSocket();
      throw ESockError(SockErrorKind::kMalformedReply,
                       "Malformed reply: a reply line is longer than " +
                           std::to_string(kMaxLineBytes) + " bytes");
    }
    ssize_t n = ::recv(fd_.Get(), buffer_.get(), std::min(window, room), MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) {
      peerClosed_ = true;
      CloseSocket();
      return {};
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (net::WouldBlock(errno)) {
        awaitInput();
        continue;
      }
      if (net::WinsockErrorNumber(errno) == net::kNotConnected) {
        lastError_ = net::kNotConnected;
        peerClosed_ = true;
        return {};
      }
      RaiseSocketError(errno);
    }
    if (replyOpen_ && replyEnd_.IsNever()) replyEnd_ = net::Deadline::FromTimeoutMs(bound);
    const char* start = buffer_.get();
    const void* lf = std::memchr(start, '\n', static_cast<std::size_t>(n));
    std::size_t take = lf ? static_cast<const char*>(lf) - start + 1 : static_cast<std::size_t>(n);
    // Take exactly the peeked bytes through the LF; what follows stays for the next read.
    std::size_t taken = 0;
    while (taken < take) {
      ssize_t got = ::recv(fd_.Get(), buffer_.get() + taken, take - taken, MSG_DONTWAIT);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) RaiseSocketError(got < 0 ? errno : ECONNRESET);
      taken += static_cast<std::size_t>(got);
    }
    line.append(buffer_.get(), take);
    if (lf) {
      if (replyOpen_) ++replyLines_;
      return line;
    }
    window = std::min(window * 2, kMaxLineBytes);
  }
  canceled_ = false;
  throw EAbortError("Socket readln aborted");
}

std::string TStreamSocket::Transaction(const std::string& command) {
  Report(8, "Transaction");
  replyCode_ = 0;
  Writeln(command);
  // The reply to a line just sent has not come yet: the read waits before it first looks.
  replyPending_ = true;
  replyText_ = ReadLn();
  if (!replyText_.empty()) {
    Report(1, replyText_);
    replyCode_ = ParseReplyCode(replyText_);
  }
  return replyText_;
}

bool TStreamSocket::DataAvailable() {
  Report(8, "Data Available");
  char byte;
  return ::recv(fd_.Get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
}

std::string TStreamSocket::DiscardPendingInput() {
  Report(8, "Read( 0 )");
  ssize_t n = ::recv(fd_.Get(), buffer_.get(), kMaxLineBytes, MSG_PEEK | MSG_DONTWAIT);
  if (n < 0) {
    if (net::WouldBlock(errno) || errno == EINTR) return {};
    RaiseSocketError(errno);
  }
  std::string dropped;
  while (dropped.size() < static_cast<std::size_t>(n)) {
    ssize_t got = ::recv(fd_.Get(), buffer_.get(), static_cast<std::size_t>(n) - dropped.size(),
                         MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && !net::WouldBlock(errno)) RaiseSocketError(errno);
    if (got <= 0) break;
    dropped.append(buffer_.get(), static_cast<std::size_t>(got));
  }
  return dropped;
}

}  // namespace ftp
