#include "net/wait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace net {

WaitResult WaitFd(int fd, short events, const WaitOptions& options) {
  for (;;) {
    if (options.cancelled && options.cancelled()) return WaitResult::kCancelled;
    // Once the deadline has passed, one more look without waiting: what is already there is
    // taken, so time spent in the pump never turns an answer that came into a time-out.
    const bool passed = options.deadline.Passed();

    int timeout = passed ? 0 : options.deadline.RemainingMs();
    int slice = -1;
    if (options.pump) {
      slice = options.sliceMs;
    } else if (options.cancelled) {
      slice = options.cancelSliceMs;
    }
    if (slice >= 0) timeout = timeout < 0 ? slice : std::min(timeout, slice);

    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, timeout);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kClosed;
    }
    if (rc > 0) {
      if (p.revents & events) return WaitResult::kReady;
      // POLLHUP with POLLIN requested still counts as readable: the reader sees the end of file.
      if ((p.revents & POLLHUP) && (events & POLLIN)) return WaitResult::kReady;
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return WaitResult::kClosed;
    }
    if (passed) return WaitResult::kTimedOut;
    if (options.pump) options.pump();
  }
}

}  // namespace net
