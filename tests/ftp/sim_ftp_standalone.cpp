// Runs the simulator's FTP server on its own, for tests that kill the server mid-transfer:
// sim_ftp_standalone ROOT [BEHAVIOUR-JSON]. Prints the port, serves until SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "sim/ftp_server.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: sim_ftp_standalone ROOT [BEHAVIOUR-JSON]\n";
    return 2;
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  sim::FtpBehaviour behaviour;
  if (argc > 2) behaviour = sim::ParseFtpBehaviour(nlohmann::json::parse(argv[2]));
  sim::Drive drive(argv[1]);
  sim::Transcript transcript;
  sim::FtpServer server(drive, transcript, "127.0.0.1", 0, behaviour);
  server.Start();
  std::printf("%u\n", server.Port());
  std::fflush(stdout);
  int received;
  sigwait(&stopSignals, &received);
  server.Stop();
  return 0;
}
