// vxupgrade-cli: the upgrade of one VX500 from the command line, without a display.
#include <unistd.h>

#include <cstdio>
#include <exception>

#include "app/cli/cli_front_end.h"
#include "app/cli/cli_output.h"
#include "upgrade/stop_signals.h"
#include "net/socket_error.h"

// Parses the options, runs the upgrade (or its checks) and exits with the code that says how
// it ended (see --help).
int main(int argc, char** argv) {
  net::IgnoreSigpipe();
  CliOptions options;
  if (const auto exitCode = ParseCliArguments(argc, argv, options, stdout, stderr)) {
    return *exitCode;
  }
  // Calls are interrupted, so a terminal read in progress returns at once and its caller asks
  // whether to stop.
  CatchStopSignals(true);
  CliOutput output(stdout, stderr, options.json, ::isatty(STDOUT_FILENO) != 0, options.quiet);
  try {
    CliFrontEnd frontEnd(std::move(options), output, CaughtStopSignals());
    return frontEnd.Run();
  } catch (const std::exception& error) {
    output.Notice(std::string("error: ") + error.what());
    output.Event({{"event", "outcome"},
                  {"outcome", OutcomeName(kExitFailed, false)},
                  {"exitCode", kExitFailed}});
    return kExitFailed;
  }
}
