#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "sim/command_server.h"
#include "sim/drive.h"
#include "sim/ftp_scenario.h"
#include "sim/ftp_server.h"
#include "sim/scenario.h"
#include "sim/transcript.h"

namespace simtest {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vxsim-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes `bytes` into the file at `path`, making its folders.
inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// A scenario from its JSON text.
inline sim::Scenario ScenarioFromText(const std::string& json) {
  return sim::ScenarioFromJson(nlohmann::json::parse(json));
}

// The simulated instrument in-process: its drives in a temporary root, its command server and
// its FTP server (with the scenario's "ftp" behaviour) on ephemeral loopback ports.
class SimInstrument {
 public:
  explicit SimInstrument(sim::Scenario scenario = {}) : drive_(root_.Path()) {
    std::filesystem::create_directories(root_.Path() / "F0:");
    std::filesystem::create_directories(root_.Path() / "N0:");
    sim::FtpBehaviour ftpBehaviour;
    if (scenario.raw.contains("ftp")) ftpBehaviour = sim::ParseFtpBehaviour(scenario.raw["ftp"]);
    sim::CommandServerOptions options;
    options.port = 0;
    server_ =
        std::make_unique<sim::CommandServer>(drive_, transcript_, std::move(scenario), options);
    ftpServer_ =
        std::make_unique<sim::FtpServer>(drive_, transcript_, "127.0.0.1", 0, ftpBehaviour);
    ftpServer_->Start();
  }
  const std::filesystem::path& Root() const { return root_.Path(); }
  int Port() const { return server_->Port(); }
  int FtpPort() const { return ftpServer_->Port(); }
  std::vector<std::string> FtpLines() const {
    return transcript_.Lines(sim::Transcript::Channel::kFtp);
  }
  sim::Transcript& Transcript() { return transcript_; }
  std::vector<std::string> CommandLines() const {
    return transcript_.Lines(sim::Transcript::Channel::kCommand);
  }
  sim::CommandServer& Server() { return *server_; }
  // Lets every reply that a "hold" holds go out, on both servers.
  void Release() {
    server_->Release();
    ftpServer_->Release();
  }

 private:
  TempDir root_;
  sim::Drive drive_;
  sim::Transcript transcript_;
  std::unique_ptr<sim::CommandServer> server_;
  std::unique_ptr<sim::FtpServer> ftpServer_;
};

}  // namespace simtest
