#include "ftp/stream_socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "net/socket_error.h"

namespace ftp {
namespace {

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

// A Host given as a name is resolved here, as the socket promises. The program's front ends
// pass only dotted text, which Resolve parses without a lookup; this serves other callers.
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
    throw ESockError(SockErrorKind::kLookupFailed, "Host Lookup Failed");
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
  if (!finished && timedOut_)
    throw ESockError(SockErrorKind::kLookupTimedOut, "Host Lookup Timed Out");
  if (!finished && canceled_) {
    canceled_ = false;
    throw ESockError(SockErrorKind::kLookupCanceled, "Host Lookup Canceled");
  }
  std::lock_guard lock(state->mutex);
  ready_ = true;
  eventOk_ = state->gaiError == 0;
  if (!eventOk_ || state->address.s_addr == 0) {
    int number = 0;
    if (state->gaiError != 0) lastError_ = number = net::ResolverErrorNumber(state->gaiError);
    throw ESockError(SockErrorKind::kLookupFailed, "Host Lookup Failed", number);
  }
  if (OnHostResolved) OnHostResolved(*this);
  return state->address;
}

}  // namespace ftp
