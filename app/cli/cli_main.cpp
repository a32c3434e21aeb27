// vxupgrade-cli: the upgrade of one VX500 from the command line, without a display.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>

#include "app/cli/cli_front_end.h"
#include "app/cli/cli_output.h"
#include "net/socket_error.h"

namespace {

// Presses of Ctrl-C (and stop requests by SIGTERM, from a supervisor or a fleet tool's time
// limit); the waits of both channels ask the front end, which reads this.
std::atomic<int> interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
  interrupts.fetch_add(1);
}

// Without SA_RESTART, so a poll() or a terminal read in progress returns at once and its
// caller asks whether to stop.
void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

// Parses the options, runs the upgrade (or its checks) and exits with the code that says how
// it ended (see --help).
int main(int argc, char** argv) {
  net::IgnoreSigpipe();
  CliOptions options;
  if (const auto exitCode = ParseCliArguments(argc, argv, options, stdout, stderr)) {
    return *exitCode;
  }
  CatchInterrupts();
  CliOutput output(stdout, stderr, options.json, ::isatty(STDOUT_FILENO) != 0, options.quiet);
  try {
    CliFrontEnd frontEnd(std::move(options), output, interrupts);
    return frontEnd.Run();
  } catch (const std::exception& error) {
    output.Notice(std::string("error: ") + error.what());
    output.Event({{"event", "outcome"},
                  {"outcome", OutcomeName(kExitFailed, false)},
                  {"exitCode", kExitFailed}});
    return kExitFailed;
  }
}
