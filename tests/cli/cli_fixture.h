#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/cli/cli_process.h"
#include "tests/sim/sim_fixture.h"

// What the command-line tests share: a small release, a simulated instrument, and
// vxupgrade-cli run against it as a child process.
namespace clitest {

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

inline constexpr std::chrono::seconds kRunBound{30};

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A small release: a system tree with a subfolder, PNB5 and PCW5 with signal sets, RKS5 with a
// configuration image named by the manifest.
inline void MakeRelease(const fs::path& dir) {
  simtest::WriteFile(dir / "MainFrame" / "vx500.bin", "mainframe firmware");
  simtest::WriteFile(dir / "MainFrame" / "LOGO" / "logo.bmp", "logo");
  simtest::WriteFile(dir / "Target" / "PNB5" / "pnb5.bin", "pnb5 firmware");
  simtest::WriteFile(dir / "Target" / "PNB5" / "SIGNAL" / "bars.sig", "colour bars");
  simtest::WriteFile(dir / "Target" / "PCW5" / "pcw5.bin", "pcw5 firmware");
  simtest::WriteFile(dir / "Target" / "PCW5" / "SIGNAL" / "ramp.sig", "ramp");
  simtest::WriteFile(dir / "Target" / "RKS5" / "rks5.bin", "rks5 firmware");
  simtest::WriteFile(dir / "Target" / "RKS5" / "FLEX" / "rks5.rpd", "rks5 image");
  simtest::WriteFile(dir / "vxUpgrade.ini",
                     "[ENTRY 1]\r\nid=1\r\nname=PNB5\r\n[ENTRY 2]\r\nid=2\r\nname=PCW5\r\n"
                     "[ENTRY 3]\r\nid=3\r\nname=RKS5\r\nrpdFile1=rks5.rpd\r\n");
}

// An instrument whose drive holds its system folder (an empty drive lists nothing readable).
inline std::unique_ptr<simtest::SimInstrument> Instrument(const std::string& scenario = "{}") {
  auto instrument = std::make_unique<simtest::SimInstrument>(simtest::ScenarioFromText(scenario));
  simtest::WriteFile(instrument->Root() / "F0:" / "SYSTEM" / "old.bin", "old");
  return instrument;
}

// vxupgrade-cli against `instrument` on its ephemeral ports, with the release in `release`, with
// no display: no DISPLAY, no WAYLAND_DISPLAY, no Qt platform; `environment` adds variables.
inline std::unique_ptr<clitest::ChildRun> StartCli(
    const simtest::SimInstrument& instrument, const fs::path& release, Lines extra = {},
    std::map<std::string, std::string> environment = {}) {
  Lines argv = {VXUPGRADE_CLI_PROGRAM,
                "--ip",
                "127.0.0.1",
                "--command-port",
                std::to_string(instrument.Port()),
                "--ftp-port",
                std::to_string(instrument.FtpPort()),
                "--package",
                release.string()};
  argv.insert(argv.end(), extra.begin(), extra.end());
  environment.insert({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});
  return std::make_unique<clitest::ChildRun>(argv, environment);
}

struct Finished {
  std::optional<int> exitCode;
  std::string out, err;
};

inline Finished RunCli(const simtest::SimInstrument& instrument, const fs::path& release,
                       Lines extra = {}, std::map<std::string, std::string> environment = {}) {
  auto child = StartCli(instrument, release, std::move(extra), std::move(environment));
  const auto exitCode = child->Wait(kRunBound);
  return {exitCode, child->Out(), child->Err()};
}

// Every line of `out` as one JSON object.
inline std::vector<nlohmann::json> JsonLines(const std::string& out) {
  std::vector<nlohmann::json> events;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    events.push_back(nlohmann::json::parse(line));  // throws on a line that does not parse
  }
  return events;
}

// Every entry below `root`, as paths relative to it.
inline std::set<std::string> TreeOf(const fs::path& root) {
  std::set<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    entries.insert(fs::relative(entry.path(), root).string());
  }
  return entries;
}

inline bool Received(const Lines& lines, const std::string& prefix) {
  for (const auto& line : lines)
    if (line.starts_with(prefix)) return true;
  return false;
}

}  // namespace clitest
