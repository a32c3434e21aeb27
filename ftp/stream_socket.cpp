#include "ftp/stream_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "ftp/ftp_reply.h"
#include "net/file_stamp.h"
#include "net/ipv4.h"
#include "net/socket_error.h"
#include "net/text.h"

namespace ftp {
namespace {

net::Deadline Earlier(const net::Deadline& a, const net::Deadline& b) {
  if (a.IsNever()) return b;
  if (b.IsNever()) return a;
  return a.At() <= b.At() ? a : b;
}

// The most that one sendfile call moves, so progress events and cancel checks come at least
// this often.
constexpr off_t kFileChunkBytes = 65536;

bool WouldBlock(int e) {
  return e == EAGAIN || e == EWOULDBLOCK;
}

// One host-name lookup on its own thread. The thread owns a share of this state, so a wait that
// gives up (time-out, cancel) leaves it to finish on its own.
struct Lookup {
  std::mutex mutex;
  bool done = false;
  int gaiError = 0;
  in_addr address{};
  net::UniqueFd readEnd;
  net::UniqueFd writeEnd;
};

}  // namespace

net::UniqueFd OpenRegularFile(const std::string& path) {
  // Non-blocking, so that opening a FIFO cannot hang; anything but a regular file is refused.
  net::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info {};
  if (!file || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) throw EFOpenError(path);
  return file;
}

TStreamSocket::TStreamSocket() : buffer_(kMaxLineBytes) {
  Report(8, "Create");
  NewSocket();
}

TStreamSocket::~TStreamSocket() {
  destroying_ = true;
  canceled_ = true;
}

void TStreamSocket::NewSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw ESockError("Initializaton of windows sockets failed");
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
  throw ESockError(text);
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
    options.deadline = timer && timerOn_ ? Earlier(bound, timerAt_) : bound;
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

in_addr TStreamSocket::LookUp(const std::string& name) {
  auto state = std::make_shared<Lookup>();
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) RaiseSocketError(errno);
  state->readEnd.Reset(ends[0]);
  state->writeEnd.Reset(ends[1]);
  try {
    std::thread([state, name] {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* answer = nullptr;
      int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &answer);
      {
        std::lock_guard lock(state->mutex);
        state->gaiError = rc;
        if (rc == 0 && answer)
          state->address = reinterpret_cast<sockaddr_in*>(answer->ai_addr)->sin_addr;
        state->done = true;
      }
      if (answer) ::freeaddrinfo(answer);
      char signal = 1;
      (void)!::write(state->writeEnd.Get(), &signal, 1);
    }).detach();
  } catch (const std::system_error&) {
    throw ESockError("Host Lookup Failed");
  }

  StartTimer();
  ready_ = false;
  bool finished = false;
  for (;;) {
    WaitEnd end = Wait(state->readEnd.Get(), POLLIN, net::Deadline::Never(), true);
    std::lock_guard lock(state->mutex);
    if (state->done) {
      finished = true;
      break;
    }
    if (end != WaitEnd::kReady) break;
  }
  StopTimer();
  if (!finished && timedOut_) throw ESockError("Host Lookup Timed Out");
  if (!finished && canceled_) {
    canceled_ = false;
    throw ESockError("Host Lookup Canceled");
  }
  std::lock_guard lock(state->mutex);
  ready_ = true;
  eventOk_ = state->gaiError == 0;
  if (!eventOk_ || state->address.s_addr == 0) {
    if (state->gaiError != 0) lastError_ = net::ResolverErrorNumber(state->gaiError);
    throw ESockError("Host Lookup Failed");
  }
  if (OnHostResolved) OnHostResolved(*this);
  return state->address;
}

in_addr TStreamSocket::Resolve() {
  Report(8, "Resolve Host");
  const std::string& name = Proxy.empty() ? Host : Proxy;
  if (auto dotted = net::ParseIPv4(name)) return *dotted;
  if (name.empty()) throw ESockError("Host Lookup Failed");
  return LookUp(name);
}

void TStreamSocket::Connect() {
  Report(8, "Connecting");
  canceled_ = false;
  if (connected_) throw ESockError("Already connected");

  in_addr address{};
  for (int attempts = 0;; ++attempts) {
    address.s_addr = 0;
    try {
      address = Resolve();
    } catch (const ESockError& e) {
      std::string_view text = e.what();
      if (text == "Host Lookup Timed Out" || text == "Host Lookup Canceled") throw;
    }
    if (address.s_addr != 0) break;
    if (attempts > 0 || !OnInvalidHost) throw ESockError("Null Remote Address");
    bool handled = false;
    OnInvalidHost(*this, handled);
    if (!handled) throw ESockError("Null Remote Address");
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
      if (timedOut_) throw ESockError("Connection Timed out");
      if (canceled_) {
        canceled_ = false;
        throw ESockError("Connection Canceled");
      }
      throw ESockError("Connection Failed");
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
  if (n == 0 || (n < 0 && !WouldBlock(errno) && errno != EINTR)) {
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
    throw ESockError(std::string(fileData ? "File send stalled" : "Command send stalled") +
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
    } else if (WouldBlock(errno)) {
      AwaitRoom(stall, fileData);
      continue;
    } else {
      RaiseSocketError(errno);
    }
    if (fileData && pump_) pump_();
  }
}

void TStreamSocket::Write(std::string_view text) {
  Report(8, "Write");
  std::size_t length = std::min(text.find('\0'), text.size());
  if (length > kMaxLineBytes - 1)
    throw ECommandRefused("Command not sent: longer than the line limit");
  std::memcpy(buffer_.data(), text.data(), length);
  Report(4, "Sending Buffer");
  // A stop requested while no wait was asking (the last reply had already arrived) is seen
  // before the next command line goes out.
  if (!StopRequested()) SendAll(buffer_.data(), length, false);
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
    if (Wait(fd_.Get(), POLLIN, Earlier(hard, replyEnd), false) == WaitEnd::kBound) {
      bool begun = !line.empty() || !replyEnd.IsNever();
      CloseSocket();
      throw ESockError(begun ? "Reply Timed out: the server's reply did not end within " +
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
      throw ESockError("Malformed reply: a reply line is longer than " +
                       std::to_string(kMaxLineBytes) + " bytes");
    }
    ssize_t n = ::recv(fd_.Get(), buffer_.data(), std::min(window, room), MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) {
      peerClosed_ = true;
      CloseSocket();
      return {};
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (WouldBlock(errno)) {
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
    const char* start = buffer_.data();
    const void* lf = std::memchr(start, '\n', static_cast<std::size_t>(n));
    std::size_t take = lf ? static_cast<const char*>(lf) - start + 1 : static_cast<std::size_t>(n);
    // Take exactly the peeked bytes through the LF; what follows stays for the next read.
    std::size_t taken = 0;
    while (taken < take) {
      ssize_t got = ::recv(fd_.Get(), buffer_.data() + taken, take - taken, MSG_DONTWAIT);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) RaiseSocketError(got < 0 ? errno : ECONNRESET);
      taken += static_cast<std::size_t>(got);
    }
    line.append(buffer_.data(), take);
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

void TStreamSocket::DiscardPendingInput() {
  Report(8, "Read( 0 )");
  ssize_t n = ::recv(fd_.Get(), buffer_.data(), buffer_.size(), MSG_PEEK | MSG_DONTWAIT);
  if (n < 0) {
    if (WouldBlock(errno) || errno == EINTR) return;
    RaiseSocketError(errno);
  }
  std::size_t dropped = 0;
  while (dropped < static_cast<std::size_t>(n)) {
    ssize_t got =
        ::recv(fd_.Get(), buffer_.data(), static_cast<std::size_t>(n) - dropped, MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && !WouldBlock(errno)) RaiseSocketError(errno);
    if (got <= 0) break;
    dropped += static_cast<std::size_t>(got);
  }
}

void TStreamSocket::Listen(const in_addr& local, const in_addr& peer) {
  Report(8, "Listening");
  if (!fd_) NewSocket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(Port));
  address.sin_addr = local;
  if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    RaiseSocketError(errno);
  if (::listen(fd_.Get(), 1) != 0) RaiseSocketError(errno);
  listening_ = true;
  ready_ = false;
  acceptPeer_ = peer;
}

net::UniqueFd TStreamSocket::Accept() {
  Report(4, "Accepting");
  auto bound = net::Deadline::FromTimeoutMs(TimeOut);
  std::string refusal;
  for (;;) {
    if (StopRequested()) {
      canceled_ = false;
      throw ESockError("Accepting Canceled");
    }
    // A connection already waiting is taken (or turned away) before the bound is looked at.
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    net::UniqueFd accepted(::accept4(fd_.Get(), reinterpret_cast<sockaddr*>(&peer), &len,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!accepted) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (!WouldBlock(errno)) {
        lastError_ = net::WinsockErrorNumber(errno);
        eventOk_ = false;
        throw ESockError("Error creating Data Connection");
      }
      WaitEnd end = WaitHow(fd_.Get(), POLLIN, bound, false, false, true);
      if (end == WaitEnd::kBound) {
        // A server that connects from another address than its control connection's is
        // refused too; the error says so rather than leaving the operator to guess.
        throw ESockError("Accepting Timed out: the server opened no data connection within " +
                         std::to_string(TimeOut) + " ms" + (refusal.empty() ? "" : "; " + refusal));
      }
      if (end == WaitEnd::kClosed) {
        eventOk_ = false;
        throw ESockError("Error creating Data Connection");
      }
      continue;
    }
    if (peer.sin_addr.s_addr != acceptPeer_.s_addr) {
      // Whoever reaches the data port first would otherwise receive the file: anyone but the
      // server gets a reset and not one byte.
      linger abortive{1, 0};
      ::setsockopt(accepted.Get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
      accepted.Reset();
      refusal = "Data connection from " + net::EndpointText(peer.sin_addr, ntohs(peer.sin_port)) +
                " refused: only the server " + net::AddressText(acceptPeer_) + " may connect";
      Report(1, refusal);
      continue;
    }
    ready_ = true;
    eventOk_ = true;
    remoteAddress_ = peer.sin_addr;
    remotePort_ = ntohs(peer.sin_port);
    return accepted;
  }
}

void TStreamSocket::Adopt(net::UniqueFd accepted) {
  fd_ = std::move(accepted);
  localName_.reset();
  peerName_.reset();
  listening_ = false;
  connected_ = true;
  adopted_ = true;
}

void TStreamSocket::SendFile(const std::string& path) {
  SendFile(OpenRegularFile(path), path);
}

void TStreamSocket::SendFile(const net::UniqueFd& file, const std::string& path) {
  const auto opened = net::StampOfFd(file.Get());
  if (!opened) throw EFOpenError(path);
  SendFile(file, path, *opened);
}

void TStreamSocket::SendFile(const net::UniqueFd& file, const std::string& path,
                             const net::FileStamp& opened) {
  Report(8, "SendFile");
  // The file is sent whole, as it was when it was opened, or the send fails: a file cut short
  // or rewritten meanwhile (a release copied over the one being installed) must not reach the
  // server as if it were the file.
  const off_t sent = SendFileChunks(file.Get(), path, opened.size);
  if (canceled_) {
    canceled_ = false;
    throw EAbortError("Socket send aborted");
  }
  const auto after = net::StampOfFd(file.Get());
  if (sent != opened.size || !after || *after != opened) {
    throw EFileChanged(net::PrintableText(path), sent, opened.size, after ? after->size : 0);
  }
}

off_t TStreamSocket::SendFileChunks(int file, const std::string& path, off_t size) {
  off_t offset = 0;
  auto stall = net::Deadline::FromTimeoutMs(TimeOut);
  // Asked between chunks too: on a fast link a send may never have to wait.
  while (offset < size && !StopRequested()) {
    const auto chunk = static_cast<std::size_t>(std::min<off_t>(size - offset, kFileChunkBytes));
    ssize_t n = ::sendfile(fd_.Get(), file, &offset, chunk);
    if (n > 0) {
      stall = net::Deadline::FromTimeoutMs(TimeOut);
      sentBytes_ += static_cast<std::uint64_t>(n);
      if (OnPacketSent) OnPacketSent(*this);
    } else if (n == 0) {
      break;  // the file ended early: it shrank while being sent
    } else if (errno == EINTR) {
      continue;
    } else if (WouldBlock(errno)) {
      AwaitRoom(stall, true);
      continue;
    } else if (offset == 0 && (errno == EINVAL || errno == ENOSYS)) {
      return SendFileBlocks(file, path, offset, size);
    } else if (errno == EIO) {
      throw std::runtime_error("Cannot read file " + path + ": " + std::strerror(errno));
    } else {
      RaiseSocketError(errno);
    }
    if (pump_) pump_();
  }
  return offset;
}

off_t TStreamSocket::SendFileBlocks(int file, const std::string& path, off_t offset, off_t size) {
  while (offset < size && !StopRequested()) {
    const auto block = static_cast<std::size_t>(std::min<off_t>(size - offset, buffer_.size()));
    ssize_t n = ::pread(file, buffer_.data(), block, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("Cannot read file " + path + ": " + std::strerror(errno));
    }
    if (n == 0) break;
    SendAll(buffer_.data(), static_cast<std::size_t>(n), true);
    offset += n;
  }
  return offset;
}

void TStreamSocket::SetGracefulClose() {
  linger graceful{0, 0};
  ::setsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &graceful, sizeof graceful);
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
    if (fd_.Reset() != 0 && !WouldBlock(errno) && errno != EINTR) RaiseSocketError(errno);
    if (!destroying_ && OnDisconnect) OnDisconnect(*this);
  }
  // An accepted connection serves one transfer: nothing connects on it again.
  if (!destroying_ && !adopted_ && !fd_) NewSocket();
}

}  // namespace ftp
