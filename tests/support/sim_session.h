#pragma once

#include <filesystem>
#include <functional>
#include <type_traits>
#include <utility>

#include "instrument/tfrm_vx500.h"
#include "sim/scenario.h"
#include "tests/support/sim_instrument.h"

namespace testsupport {

// Gives `session` the bounds the tests use: five seconds to connect, for each reply and for
// the FTP client's waits.
void UseTestBounds(instrument::TfrmVX500& session);

// In place of a sink: the session writes its message boxes to standard error.
struct NoSink {};

// Starts another FTP server over the simulator's root folder and gives its port.
using FtpServerStarter = std::function<int(const std::filesystem::path& root)>;

// The simulated instrument in-process and a session on its two ports with the test bounds,
// not yet connected, its message boxes going to `sink`. With a starter, the session's FTP
// client talks to that server instead of the simulator's.
template <typename Sink = NoSink>
class SimSession {
 public:
  explicit SimSession(sim::Scenario scenario = {}, const FtpServerStarter& startFtp = nullptr)
      : instrument(std::move(scenario)),
        session(instrument.Port(), startFtp ? startFtp(instrument.Root()) : instrument.FtpPort()) {
    UseTestBounds(session);
    if constexpr (!std::is_same_v<Sink, NoSink>) session.SetMessageSink(&sink);
  }

  SimInstrument instrument;
  // Declared before the session, which may still show a message as it logs out at its end.
  Sink sink;
  instrument::TfrmVX500 session;
};

}  // namespace testsupport
