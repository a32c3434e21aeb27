#include "tests/support/sim_instrument.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

#include "sim/ftp_scenario.h"

namespace testsupport {

SimInstrument::SimInstrument(sim::Scenario scenario, sim::ConnectionLimits limits)
    : drive_(root_.Path()) {
  drive_.Prepare(scenario.systemFolder);
  sim::FtpBehaviour ftpBehaviour;
  if (scenario.raw.contains("ftp")) ftpBehaviour = sim::ParseFtpBehaviour(scenario.raw["ftp"]);
  const sim::DriveCapacity capacity = scenario.FlashCapacity();
  sim::CommandServerOptions options;
  options.port = 0;
  options.limits = limits;
  server_ = std::make_unique<sim::CommandServer>(drive_, transcript_, std::move(scenario), options);
  ftpServer_ = std::make_unique<sim::FtpServer>(drive_, transcript_, "127.0.0.1", 0, ftpBehaviour,
                                                limits, capacity);
  ftpServer_->Start();
}

void SimInstrument::Release() {
  server_->Release();
  ftpServer_->Release();
}

sim::Scenario ScenarioFromText(const std::string& json) {
  return sim::ScenarioFromJson(nlohmann::json::parse(json));
}

std::string ScenarioText(const std::string& relative) {
  const std::filesystem::path path = SourcePath(relative);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the scenario " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::filesystem::path SourcePath(const std::string& relative) {
  return std::filesystem::path(VX_TEST_SOURCE_DIR) / relative;
}

int PassivePort(const std::string& reply) {
  size_t open = reply.find('(');
  int h[6] = {};
  std::sscanf(reply.c_str() + open + 1, "%d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3], &h[4],
              &h[5]);
  return h[4] * 256 + h[5];
}

std::vector<std::string> PortMasked(std::vector<std::string> lines) {
  for (auto& line : lines)
    if (line.rfind("PORT ", 0) == 0) line = "PORT *";
  return lines;
}

std::vector<std::string> LinesStarting(const std::vector<std::string>& lines,
                                       const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& line : lines)
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
  return out;
}

}  // namespace testsupport
