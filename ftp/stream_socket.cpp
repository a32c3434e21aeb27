#include "ftp/stream_socket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "ftp/ftp_reply.h"
#include "net/ipv4.h"
#include "net/socket_error.h"

namespace ftp {

TStreamSocket::TStreamSocket() : buffer_(std::make_unique_for_overwrite<char[]>(kMaxLineBytes)) {
  Report(8, "Create");
  NewSocket();
}

TStreamSocket::~TStreamSocket() {
  destroying_ = true;
  canceled_ = true;
}

void TStreamSocket::NewSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw ESockError(SockErrorKind::kNoSocket, "Initializaton of windows sockets failed");
  fd_.Reset(fd);
  localName_.reset();
  peerName_.reset();
  // A fresh socket closes abortively until a data connection asks for a graceful close.
  linger abortive{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

void TStreamSocket::Report(int level, std::string_view text) {
  if (destroying_ || ReportLevel < level) return;
  statusText_ = text;
  if (!OnStatus) return;
  try {
    OnStatus(*this, statusText_);
  } catch (...) {
    // A status handler cannot break the operation it reports on.
  }
}

void TStreamSocket::RaiseSocketError(int errnoValue) {
  lastError_ = net::WinsockErrorNumber(errnoValue);
  Report(8, "Looking Up Error Message " + std::to_string(lastError_));
  std::string text = net::WinsockErrorText(lastError_);
  if (OnError) OnError(*this, static_cast<std::uint16_t>(lastError_), text);
  throw ESockError(SockErrorKind::kPlatform, text, lastError_);
}

void TStreamSocket::StartTimer() {
  Report(8, "Timer On");
  timedOut_ = false;
  timerOn_ = TimeOut > 0;
  if (timerOn_) timerAt_ = net::Deadline::After(std::chrono::milliseconds(TimeOut));
}

void TStreamSocket::StopTimer() {
  Report(8, "Timer Off");
  timerOn_ = false;
}

void TStreamSocket::TimerTriggered() {
  Report(8, "Timer Triggered");
  StopTimer();
  timedOut_ = true;
  ready_ = true;
  Abort();
}

TStreamSocket::WaitEnd TStreamSocket::Wait(int fd, short events, net::Deadline bound,
                                           bool stopOnTimer) {
  return WaitHow(fd, events, bound, true, stopOnTimer, true);
}

TStreamSocket::WaitEnd TStreamSocket::WaitHow(int fd, short events, net::Deadline bound, bool timer,
                                              bool stopOnTimer, bool pump) {
  for (;;) {
    net::WaitOptions options;
    if (pump) options.pump = pump_;
    options.cancelled = [this] { return StopRequested(); };
    options.deadline = timer && timerOn_ ? net::Earlier(bound, timerAt_) : bound;
    switch (net::WaitFd(fd, events, options)) {
      case net::WaitResult::kReady:
        return WaitEnd::kReady;
      case net::WaitResult::kCancelled:
        return WaitEnd::kCancelled;
      case net::WaitResult::kClosed:
        return WaitEnd::kClosed;
      case net::WaitResult::kTimedOut:
        if (timer && timerOn_ && timerAt_.Passed()) {
          TimerTriggered();
          if (stopOnTimer) return WaitEnd::kTimer;
          continue;
        }
        if (bound.Passed()) return WaitEnd::kBound;
        continue;
    }
  }
}

bool TStreamSocket::StopRequested() {
  if (!canceled_ && stop_ && stop_()) Cancel();
  return canceled_;
}

void TStreamSocket::SocketConnected() {
  if (OnConnect) OnConnect(*this);
}

void TStreamSocket::Abort() {
  Report(8, "Abort");
  Cancel();
}

void TStreamSocket::Cancel() {
  Report(8, "Canceling");
  canceled_ = true;
}

in_addr TStreamSocket::Resolve() {
  Report(8, "Resolve Host");
  const std::string& name = Proxy.empty() ? Host : Proxy;
  if (auto dotted = net::ParseIPv4(name)) return *dotted;
  if (name.empty()) throw ESockError(SockErrorKind::kLookupFailed, "Host Lookup Failed");
  return LookUp(name);
}

void TStreamSocket::Connect() {
  Report(8, "Connecting");
  canceled_ = false;
  if (connected_) throw ESockError(SockErrorKind::kAlreadyConnected, "Already connected");

  in_addr address{};
  for (int attempts = 0;; ++attempts) {
    address.s_addr = 0;
    try {
      address = Resolve();
    } catch (const ESockError& e) {
      // Any other failure to resolve leaves no address, which OnInvalidHost may put right.
      const SockErrorKind kind = e.Kind();
      if (kind == SockErrorKind::kLookupTimedOut || kind == SockErrorKind::kLookupCanceled) throw;
    }
    if (address.s_addr != 0) break;
    if (attempts > 0 || !OnInvalidHost)
      throw ESockError(SockErrorKind::kNullAddress, "Null Remote Address");
    bool handled = false;
    OnInvalidHost(*this, handled);
    if (!handled) throw ESockError(SockErrorKind::kNullAddress, "Null Remote Address");
  }
  remoteAddress_ = address;
  remotePort_ = Proxy.empty() ? Port : ProxyPort;

  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<std::uint16_t>(remotePort_));
  target.sin_addr = address;

  if (!fd_) NewSocket();
  eventOk_ = true;
  bool up = false;
  try {
    int rc = ::connect(fd_.Get(), reinterpret_cast<sockaddr*>(&target), sizeof target);
    if (rc == 0) {
      up = true;
    } else if (errno != EINPROGRESS && errno != EINTR) {
      RaiseSocketError(errno);
    } else {
      StartTimer();
      WaitEnd end = Wait(fd_.Get(), POLLOUT, net::Deadline::Never(), true);
      StopTimer();
      if (end == WaitEnd::kReady || end == WaitEnd::kClosed) {
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(fd_.Get(), SOL_SOCKET, SO_ERROR, &error, &len);
        if (error == 0 && end == WaitEnd::kReady) {
          up = true;
        } else {
          eventOk_ = false;
          lastError_ = net::WinsockErrorNumber(error ? error : ECONNREFUSED);
        }
      }
    }
    if (!up || timedOut_ || canceled_ || !eventOk_) {
      if (OnConnectionFailed) OnConnectionFailed(*this);
      if (timedOut_) throw ESockError(SockErrorKind::kTimedOut, "Connection Timed out");
      if (canceled_) {
        canceled_ = false;
        throw ESockError(SockErrorKind::kCanceled, "Connection Canceled");
      }
      throw ESockError(SockErrorKind::kConnectFailed, "Connection Failed", lastError_);
    }
  } catch (...) {
    // A socket whose connect failed is not reused: the next Connect starts on a fresh one.
    fd_.Reset();
    NewSocket();
    throw;
  }
  connected_ = true;
  // A checked command is two writes and a read; Nagle's algorithm would hold the second.
  int on = 1;
  ::setsockopt(fd_.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  SocketConnected();
}

void TStreamSocket::Disconnect() {
  Report(8, "Disconnecting");
  CloseSocket();
}

void TStreamSocket::CheckConnected() {
  Report(8, "Checking Connection");
  if (Connected()) return;
  bool handled = false;
  if (OnConnectionRequired) OnConnectionRequired(*this, handled);
  if (!handled || !Connected()) throw ENotConnected();
}

bool TStreamSocket::Connected() {
  if (!connected_) return false;
  if (listening_) return true;
  char byte;
  ssize_t n = ::recv(fd_.Get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0 || (n < 0 && !net::WouldBlock(errno) && errno != EINTR)) {
    // The peer hung up (or reset) and left nothing to read.
    CloseSocket();
    return false;
  }
  return true;
}

void TStreamSocket::AwaitRoom(const net::Deadline& stall, bool fileData) {
  // The line send pumps no events: a handler must not run in the middle of a command line.
  WaitEnd end = WaitHow(fd_.Get(), POLLOUT, stall, false, false, fileData);
  if (end == WaitEnd::kBound) {
    throw ESockError(SockErrorKind::kStalled,
                     std::string(fileData ? "File send stalled" : "Command send stalled") +
                         ": the server took no data for " + std::to_string(TimeOut) + " ms");
  }
}

void TStreamSocket::SendAll(const char* data, std::size_t size, bool fileData) {
  std::size_t offset = 0;
  auto stall = net::Deadline::FromTimeoutMs(TimeOut);
  while (offset < size && !canceled_) {
    ssize_t n = ::send(fd_.Get(), data + offset, size - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      offset += static_cast<std::size_t>(n);
      stall = net::Deadline::FromTimeoutMs(TimeOut);
      if (fileData) {
        sentBytes_ += static_cast<std::uint64_t>(n);
        if (OnPacketSent) OnPacketSent(*this);
      }
    } else if (n == 0) {
      break;
    } else if (errno == EINTR) {
      continue;
    } else if (net::WouldBlock(errno)) {
      AwaitRoom(stall, fileData);
      continue;
    } else {
      RaiseSocketError(errno);
    }
    if (fileData && pump_) pump_();
  }
}

std::string TStreamSocket::LocalAddressText() {
  return PortAddressText(LocalAddress());
}

sockaddr_in TStreamSocket::SocketName(bool peer) {
  // A connection's two addresses never change: each upload asks for them, the system once.
  std::optional<sockaddr_in>& known = peer ? peerName_ : localName_;
  const bool fixed = connected_ && !listening_;
  if (fixed && known) return *known;
  sockaddr_in name{};
  socklen_t len = sizeof name;
  auto* address = reinterpret_cast<sockaddr*>(&name);
  int rc = peer ? ::getpeername(fd_.Get(), address, &len) : ::getsockname(fd_.Get(), address, &len);
  if (rc != 0) RaiseSocketError(errno);
  if (fixed) known = name;
  return name;
}

in_addr TStreamSocket::LocalAddress() {
  return SocketName(false).sin_addr;
}

in_addr TStreamSocket::PeerAddress() {
  return SocketName(true).sin_addr;
}

int TStreamSocket::LocalPort() {
  return ntohs(SocketName(false).sin_port);
}

std::string TStreamSocket::LocalPortText() {
  return PortNumberText(LocalPort());
}

void TStreamSocket::CloseSocket() {
  Report(4, "Request Close Socket");
  connected_ = false;
  localName_.reset();
  peerName_.reset();
  listening_ = false;
  if (fd_) {
    if (fd_.Reset() != 0 && !net::WouldBlock(errno) && errno != EINTR) RaiseSocketError(errno);
    if (!destroying_ && OnDisconnect) OnDisconnect(*this);
  }
  // An accepted connection serves one transfer: nothing connects on it again.
  if (!destroying_ && !adopted_ && !fd_) NewSocket();
}

}  // namespace ftp
