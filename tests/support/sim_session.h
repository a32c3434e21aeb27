#pragma once

#include <filesystem>
#include <functional>
#include <utility>

#include "instrument/tfrm_vx500.h"
#include "sim/scenario.h"
#include "tests/support/sim_instrument.h"
#include "upgrade/session_messages.h"

namespace testsupport {

// Gives `session` the bounds the tests use: five seconds to connect, for each reply and for
// the FTP client's waits.
void UseTestBounds(instrument::TfrmVX500& session);

// In place of a sink: nobody is told of the session's events.
struct NoSink {};

// Shows the session's events to `sink` as a run shows them, for as long as it lives.
template <typename Sink>
struct EventsShownTo : SessionEventsShown {
  EventsShownTo(instrument::TfrmVX500& session, Sink& sink) : SessionEventsShown(session, sink) {}
};
template <>
struct EventsShownTo<NoSink> {
  EventsShownTo(instrument::TfrmVX500&, NoSink&) {}
};

// Starts another FTP server over the simulator's root folder and gives its port.
using FtpServerStarter = std::function<int(const std::filesystem::path& root)>;

// The simulated instrument in-process and a session on its two ports with the test bounds,
// not yet connected, its events shown to `sink` (an UpgradeEvents) as a run shows them. With a starter, the session's FTP
// client talks to that server instead of the simulator's.
template <typename Sink = NoSink>
class SimSession {
 public:
  explicit SimSession(sim::Scenario scenario = {}, const FtpServerStarter& startFtp = nullptr)
      : instrument(std::move(scenario)),
        session(instrument.Port(), startFtp ? startFtp(instrument.Root()) : instrument.FtpPort()) {
    UseTestBounds(session);
  }

  SimInstrument instrument;
  Sink sink;
  instrument::TfrmVX500 session;
  EventsShownTo<Sink> shown{session, sink};
};

}  // namespace testsupport
