#pragma once

#include <functional>

#include "net/deadline.h"

namespace net {

// Processes pending window events from inside a wait; front ends install one, headless users none.
using EventPump = std::function<void()>;

enum class WaitResult {
  kReady,      // the descriptor has one of the requested events (or an end of file to read)
  kTimedOut,   // the deadline passed first
  kCancelled,  // the cancel predicate answered true
  kClosed,     // the descriptor reported an error or hang-up without the requested event
};

struct WaitOptions {
  Deadline deadline = Deadline::Never();
  // Called between short polls; when empty the wait blocks in poll() up to the deadline.
  EventPump pump;
  // Asked before every poll and after every pump; true ends the wait with kCancelled.
  std::function<bool()> cancelled;
  // Longest single poll when a pump is installed, so window events keep flowing.
  int sliceMs = 10;
  // Longest single poll when a cancel predicate is installed without a pump: a signal that
  // raises the cancel flag just before poll() starts is still seen within this bound.
  int cancelSliceMs = 200;
};

// The one wait on a socket: poll() for `events` on `fd` until ready, deadline, cancel or error.
// A descriptor that is ready when the deadline is found passed counts as ready.
// A signal that interrupts poll() re-checks the cancel predicate and waits on, so a signal
// handler that sets the flag behind the predicate ends the wait at once.
WaitResult WaitFd(int fd, short events, const WaitOptions& options);

}  // namespace net
