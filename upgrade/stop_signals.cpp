#include "upgrade/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <utility>

#include "instrument/tfrm_vx500.h"

namespace {

StopSignals caught;
int pipeEnds[2] = {-1, -1};

extern "C" void OnStopSignal(int signal) {
  const int savedErrno = errno;
  int none = 0;
  caught.first.compare_exchange_strong(none, signal);
  caught.count.fetch_add(1);
  const char byte = 1;
  // A full pipe already tells the event loop; the byte is not needed then.
  [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
  errno = savedErrno;
}

}  // namespace

void CatchStopSignals(bool interruptCalls) {
  if (pipeEnds[0] < 0 && ::pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC) != 0) {
    pipeEnds[0] = pipeEnds[1] = -1;
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = interruptCalls ? 0 : SA_RESTART;
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

const StopSignals& CaughtStopSignals() {
  return caught;
}

int StopSignalPipe() {
  return pipeEnds[0];
}

void DrainStopSignalPipe() {
  char bytes[64];
  while (pipeEnds[0] >= 0 && ::read(pipeEnds[0], bytes, sizeof bytes) > 0) {
  }
}

StopRequest::StopRequest(const StopSignals& caught,
                         std::function<void(std::int16_t slot)> onLetFinish)
    : caught_(caught), onLetFinish_(std::move(onLetFinish)) {}

bool StopRequest::AtWait(std::optional<std::int16_t> slotBeingConfigured) {
  if (logOutBound_ && logOutBound_->Passed()) return true;
  const int count = Count();
  if (count <= handled_) return false;
  if (slotBeingConfigured && count == handled_ + 1 && !logOutBound_) {
    if (!letFinishSlot_) {
      letFinishSlot_ = *slotBeingConfigured;
      if (onLetFinish_) onLetFinish_(*slotBeingConfigured);
    }
    return false;
  }
  return true;
}

void StopRequest::BeginLogOut(std::chrono::milliseconds bound) {
  handled_ = Count();
  logOutBound_ = net::Deadline::After(bound);
}

void LogOutBounded(StopRequest& stop, instrument::TfrmVX500& session) {
  stop.BeginLogOut(kStopLogOutBound);
  try {
    session.DisconnectInstrument();
  } catch (const std::exception&) {
    // The log-out was cut short; the connection is closed all the same.
  }
}
