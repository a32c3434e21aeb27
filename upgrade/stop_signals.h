#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "net/deadline.h"

namespace instrument {
class TfrmVX500;
}  // namespace instrument

// How long the channels' log-out may take once a run has stopped.
inline constexpr std::chrono::seconds kStopLogOutBound{3};

// What the stop signals (Ctrl-C's SIGINT; SIGTERM from a supervisor or a fleet tool's time
// limit; SIGHUP from a closed terminal or SSH session) have asked so far. Written by the signal
// handler only, so every member is a lock-free atomic.
struct StopSignals {
  std::atomic<int> count{0};  // stop signals received
  std::atomic<int> first{0};  // the number of the first one, 0 before any
};
static_assert(std::atomic<int>::is_always_lock_free);

// Catches SIGINT, SIGTERM and SIGHUP for the rest of the program: each is counted in
// CaughtStopSignals() and writes a byte to StopSignalPipe(). With `interruptCalls` a blocking
// call such as a terminal read returns with EINTR; poll() returns with EINTR either way, so a
// wait on a socket sees the signal at once.
void CatchStopSignals(bool interruptCalls);
const StopSignals& CaughtStopSignals();
// The read end of a non-blocking pipe that turns readable at each caught signal, for an event
// loop to watch; -1 before CatchStopSignals.
int StopSignalPipe();
// Reads away what the signals wrote to the pipe.
void DrainStopSignalPipe();

// How a run's waits answer the stops asked of it, by a stop signal or by the front end itself
// (the window's Stop): the first stops the run at its next wait, but an awaited FPGA
// configuration is let finish (cut short, it may leave the module unusable); a second stop
// stops at once. Once the run has stopped, the log-out of its channels goes on until another
// stop or a short bound.
class StopRequest {
 public:
  // `onLetFinish` is told once of the slot whose awaited configuration a signal lets finish.
  StopRequest(const StopSignals& caught, std::function<void(std::int16_t slot)> onLetFinish);

  // The cancel predicate of every wait: true once this wait is to stop. `slotBeingConfigured` is
  // the slot whose FPGA configuration the session awaits, if any.
  bool AtWait(std::optional<std::int16_t> slotBeingConfigured);
  // Asks for a stop from the front end itself; it counts as one more stop signal.
  void Ask() { ++asked_; }
  // True once any stop has been asked.
  bool Requested() const { return Count() > 0; }
  // True while a stop has been asked that nothing has dealt with yet.
  bool Pending() const { return Count() > handled_; }
  // The number of the first stop signal, 0 before any.
  int FirstSignal() const { return caught_.first.load(); }
  // The slot whose configuration a signal let finish, if one did.
  std::optional<std::int16_t> LetFinishSlot() const { return letFinishSlot_; }

  // The run has stopped and its channels are being closed: the stops so far are dealt with,
  // and the log-out's waits stop at a new stop or once `bound` has passed.
  void BeginLogOut(std::chrono::milliseconds bound);

 private:
  // The stops asked so far: the signals caught and the front end's own.
  int Count() const { return caught_.count.load() + asked_; }

  const StopSignals& caught_;
  std::function<void(std::int16_t)> onLetFinish_;
  int asked_ = 0;
  int handled_ = 0;
  std::optional<std::int16_t> letFinishSlot_;
  std::optional<net::Deadline> logOutBound_;
};

// Closes both channels of `session` if they are open, with the log-out that `stop` bounds by
// kStopLogOutBound and cuts off at a new stop; an error of a log-out cut short is dropped, the
// connections are closed all the same.
void LogOutBounded(StopRequest& stop, instrument::TfrmVX500& session);
