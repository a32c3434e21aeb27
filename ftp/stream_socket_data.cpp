#include "ftp/stream_socket.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "ftp/ftp_reply.h"
#include "ftp/regular_file.h"
#include "net/ipv4.h"
#include "net/socket_error.h"
#include "net/text.h"

namespace ftp {
namespace {

// The most that one sendfile call moves, so progress events and cancel checks come at least
// this often.
constexpr off_t kFileChunkBytes = 65536;

}  // namespace

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
      throw ESockError(SockErrorKind::kCanceled, "Accepting Canceled");
    }
    // A connection already waiting is taken (or turned away) before the bound is looked at.
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    net::UniqueFd accepted(::accept4(fd_.Get(), reinterpret_cast<sockaddr*>(&peer), &len,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!accepted) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (!net::WouldBlock(errno)) {
        lastError_ = net::WinsockErrorNumber(errno);
        eventOk_ = false;
        throw ESockError(SockErrorKind::kAcceptFailed, "Error creating Data Connection",
                         lastError_);
      }
      WaitEnd end = WaitHow(fd_.Get(), POLLIN, bound, false, false, true);
      if (end == WaitEnd::kBound) {
        // A server that connects from another address than its control connection's is
        // refused too; the error says so rather than leaving the operator to guess.
        throw ESockError(SockErrorKind::kTimedOut,
                         "Accepting Timed out: the server opened no data connection within " +
                             std::to_string(TimeOut) + " ms" +
                             (refusal.empty() ? "" : "; " + refusal));
      }
      if (end == WaitEnd::kClosed) {
        eventOk_ = false;
        throw ESockError(SockErrorKind::kAcceptFailed, "Error creating Data Connection");
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
    } else if (net::WouldBlock(errno)) {
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
    const auto block = static_cast<std::size_t>(std::min<off_t>(size - offset, kMaxLineBytes));
    ssize_t n = ::pread(file, buffer_.get(), block, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("Cannot read file " + path + ": " + std::strerror(errno));
    }
    if (n == 0) break;
    SendAll(buffer_.get(), static_cast<std::size_t>(n), true);
    offset += n;
  }
  return offset;
}

void TStreamSocket::SetGracefulClose() {
  linger graceful{0, 0};
  ::setsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &graceful, sizeof graceful);
}

}  // namespace ftp
