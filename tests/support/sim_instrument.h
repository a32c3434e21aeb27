#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sim/command_server.h"
#include "sim/drive.h"
#include "sim/ftp_server.h"
#include "sim/scenario.h"
#include "sim/transcript.h"
#include "tests/support/temp_tree.h"

namespace testsupport {

// The simulated instrument in-process: its drives in a temporary root, its command server and
// its FTP server (with the scenario's "ftp" behaviour) on ephemeral loopback ports.
class SimInstrument {
 public:
  explicit SimInstrument(sim::Scenario scenario = {}, sim::ConnectionLimits limits = {});
  const std::filesystem::path& Root() const { return root_.Path(); }
  int Port() const { return server_->Port(); }
  int FtpPort() const { return ftpServer_->Port(); }
  std::vector<std::string> CommandLines() const {
    return transcript_.Lines(sim::Transcript::Channel::kCommand);
  }
  std::vector<std::string> FtpLines() const {
    return transcript_.Lines(sim::Transcript::Channel::kFtp);
  }
  sim::Transcript& Transcript() { return transcript_; }
  // Lets every reply that a "hold" holds go out, on both servers.
  void Release();

 private:
  TempTree root_;
  sim::Drive drive_;
  sim::Transcript transcript_;
  std::unique_ptr<sim::CommandServer> server_;
  std::unique_ptr<sim::FtpServer> ftpServer_;
};

// A scenario from its JSON text.
sim::Scenario ScenarioFromText(const std::string& json);

// The JSON text of a scenario file, by its path in the source tree (the shared ones are in
// tests/data/scenarios/, the demo's in sim/scenarios/). Raises std::runtime_error when it
// cannot be read.
std::string ScenarioText(const std::string& relative);

// The path of `relative` in the source tree.
std::filesystem::path SourcePath(const std::string& relative);

// The port of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)." reply.
int PassivePort(const std::string& reply);

// `lines` with the argument of each PORT line, which varies, masked: "PORT *".
std::vector<std::string> PortMasked(std::vector<std::string> lines);

// The lines of `lines` that begin with `prefix`.
std::vector<std::string> LinesStarting(const std::vector<std::string>& lines,
                                       const std::string& prefix);

}  // namespace testsupport
