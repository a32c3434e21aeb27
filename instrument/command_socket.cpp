#include "instrument/command_socket.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/wait.h"

namespace instrument {

// An error or hang-up also ends the wait with kOk: the next call on the socket then reports the
// real error.
TransportStatus CommandSocket::Await(short events, net::Deadline deadline) const {
  net::WaitOptions options;
  options.deadline = deadline;
  options.cancelled = cancelled_;
  options.pump = pump_;
  switch (net::WaitFd(fd_.Get(), events, options)) {
    case net::WaitResult::kTimedOut:
      return {TransportStatus::kTimedOut};
    case net::WaitResult::kCancelled:
      return {TransportStatus::kCancelled};
    default:
      return {};
  }
}

TransportStatus CommandSocket::Open(const in_addr& address, net::Deadline deadline) {
  fd_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd_) return {TransportStatus::kFailed, errno};
  // A checked command is two writes and a read: without this the second line waits for the
  // peer's delayed ACK.
  int one = 1;
  ::setsockopt(fd_.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port_));
  peer.sin_addr = address;
  if (::connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    if (errno != EINPROGRESS) {
      int e = errno;
      fd_.Reset();
      return {TransportStatus::kFailed, e};
    }
    TransportStatus waited = Await(POLLOUT, deadline);
    if (waited.kind == TransportStatus::kOk) {
      int soError = 0;
      socklen_t len = sizeof soError;
      if (::getsockopt(fd_.Get(), SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
      if (soError != 0) waited = {TransportStatus::kFailed, soError};
    }
    if (waited.kind != TransportStatus::kOk) {
      fd_.Reset();
      return waited;
    }
  }
  return {};
}

TransportStatus CommandSocket::WriteLine(std::string_view line, net::Deadline deadline) {
  if (!fd_) return {TransportStatus::kClosed};
  size_t sent = 0;
  while (sent < line.size()) {
    ssize_t n = ::send(fd_.Get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      TransportStatus waited = Await(POLLOUT, deadline);
      if (waited.kind != TransportStatus::kOk) return waited;
      continue;
    }
    return {TransportStatus::kFailed, n < 0 ? errno : EPIPE};
  }
  return {};
}

TransportStatus CommandSocket::ReadLine(std::string& line, net::Deadline deadline,
                                        size_t maxBytes) {
  line.clear();
  if (!fd_) return {TransportStatus::kClosed};
  LineAssembler assembler(line, maxBytes);
  char peeked[kReadChunkBytes];
  for (;;) {
    // Looks at what has arrived, then takes exactly the bytes through the line feed: the next
    // reply's bytes stay in the connection, at two receive calls per line, not one per byte.
    ssize_t n = ::recv(fd_.Get(), peeked, sizeof peeked, MSG_PEEK);
    if (n > 0) {
      size_t used = 0;
      LineAssembler::Step step = LineAssembler::kMore;
      while (used < static_cast<size_t>(n) && step == LineAssembler::kMore) {
        step = assembler.Add(peeked[used++]);
      }
      if (TransportStatus taken = Take(used); taken.kind != TransportStatus::kOk) return taken;
      if (step == LineAssembler::kComplete) return {};
      if (step == LineAssembler::kTooLong) return {TransportStatus::kTooLong};
      continue;
    }
    if (n == 0) return {TransportStatus::kClosed};
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return {TransportStatus::kFailed, errno};
    TransportStatus waited = Await(POLLIN, deadline);
    if (waited.kind != TransportStatus::kOk) return waited;
  }
}

TransportStatus CommandSocket::Take(size_t count) {
  char sink[kReadChunkBytes];
  size_t taken = 0;
  while (taken < count) {
    ssize_t n = ::recv(fd_.Get(), sink, count - taken, MSG_DONTWAIT);
    if (n > 0) {
      taken += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // The peeked bytes are waiting, so only a failure of the connection gets here.
      return {TransportStatus::kFailed, n < 0 ? errno : ECONNRESET};
    }
  }
  return {};
}

}  // namespace instrument
