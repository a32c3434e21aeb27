// vx500-sim: stands in for a VX500 instrument on its command port and its FTP port, over a
// folder that holds its drives. Runs until SIGINT or SIGTERM.
#include <pthread.h>

#include <chrono>
#include <csignal>
#include <iostream>

#include <CLI/CLI.hpp>

#include "app/cli/help_format.h"
#include "net/socket_error.h"
#include "sim/command_server.h"
#include "sim/drive.h"
#include "sim/ftp_scenario.h"
#include "sim/ftp_server.h"
#include "sim/scenario.h"
#include "sim/transcript.h"

int main(int argc, char** argv) {
  CLI::App app{
      "VX500 instrument simulator: its command port and its FTP server over a folder "
      "that holds its drives, until SIGINT or SIGTERM"};
  auto help = std::make_shared<clihelp::HelpFormatter>();
  help->column_width(clihelp::kHelpDescriptionColumn + 2);  // room for "--login-timeout SECONDS"
  app.formatter(help);
  std::string root;
  std::string scenarioFile;
  sim::CommandServerOptions command;
  command.logLines = true;
  app.add_option("--root", root, "folder holding the drives F0: and N0: (required)")
      ->required()
      ->option_text("DIR");
  app.add_option("--scenario", scenarioFile, "scenario file (JSON); without it, a healthy V3.0")
      ->option_text("FILE");
  app.add_option("--bind", command.bind,
                 "IPv4 address to listen on and to open data connections from (default " +
                     command.bind + ")")
      ->option_text("ADDRESS");
  app.add_option("--command-port", command.port,
                 "command port (default " + std::to_string(command.port) + "; 0 picks a free one)")
      ->option_text("PORT");
  int ftpPort = 21;
  app.add_option("--ftp-port", ftpPort, "FTP port (default 21; 0 picks a free one)")
      ->option_text("PORT");
  std::size_t maxConnections = command.limits.maxConnections;
  app.add_option("--max-connections", maxConnections,
                 "connections each server takes at once; more are turned away (default " +
                     std::to_string(maxConnections) + ")")
      ->option_text("N")
      ->check(CLI::PositiveNumber.description(""));
  long long idleSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(command.limits.idleTimeout).count();
  app.add_option("--idle-timeout", idleSeconds,
                 "seconds after which an idle connection is closed (default " +
                     std::to_string(idleSeconds) + "; 0: never)")
      ->option_text("SECONDS")
      ->check(CLI::Range(0LL, 366LL * 24 * 3600).description(""));
  double loginSeconds = std::chrono::duration<double>(command.limits.loginTimeout).count();
  app.add_option("--login-timeout", loginSeconds,
                 "seconds a connection may wait without logging in (FTP) or sending anything "
                 "(commands) before it is closed (default " +
                     CLI::detail::to_string(loginSeconds) + "; 0: never)")
      ->option_text("SECONDS")
      ->check(CLI::Range(0.0, 366.0 * 24 * 3600).description(""));
  clihelp::NameArguments(app);
  CLI11_PARSE(app, argc, argv);
  command.limits.maxConnections = maxConnections;
  command.limits.idleTimeout = std::chrono::seconds(idleSeconds);
  command.limits.loginTimeout =
      std::chrono::ceil<std::chrono::milliseconds>(std::chrono::duration<double>(loginSeconds));

  net::IgnoreSigpipe();
  // Block the stop signals before any thread starts, so only sigwait() below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    sim::Scenario scenario;
    if (!scenarioFile.empty()) scenario = sim::LoadScenario(scenarioFile);
    sim::Drive drive(root);
    // The instrument always has its drives, and its system folder unless the scenario says.
    drive.Prepare(scenario.systemFolder);
    sim::Transcript transcript;
    sim::CommandServer commandServer(drive, transcript, scenario, command);
    // One line per server on stdout, so a parent that asked for port 0 learns the port.
    std::cout << "command " << command.bind << ":" << commandServer.Port() << std::endl;
    sim::FtpBehaviour ftpBehaviour;
    if (scenario.raw.contains("ftp")) ftpBehaviour = sim::ParseFtpBehaviour(scenario.raw["ftp"]);
    sim::FtpServer ftpServer(drive, transcript, command.bind, static_cast<std::uint16_t>(ftpPort),
                             ftpBehaviour, command.limits, scenario.FlashCapacity(), command.log);
    ftpServer.Start();
    std::cout << "ftp " << command.bind << ":" << ftpServer.Port() << std::endl;

    int received = 0;
    sigwait(&stopSignals, &received);
    std::cerr << "vx500-sim: stopping on signal " << received << '\n';
    commandServer.Stop();
    ftpServer.Stop();
  } catch (const std::exception& e) {
    std::cerr << "vx500-sim: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
