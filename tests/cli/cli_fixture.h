#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

// What the command-line tests share: a small release, a simulated instrument, and
// vxupgrade-cli run against it as a child process.
namespace clitest {

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

inline constexpr std::chrono::seconds kRunBound{30};

// A small release: a system tree with a subfolder, PNB5 and PCW5 with signal sets, RKS5 with a
// configuration image named by the manifest.
inline void MakeRelease(const fs::path& dir) {
  using testsupport::WriteFile;
  WriteFile(dir / "MainFrame" / "vx500.bin", "mainframe firmware");
  WriteFile(dir / "MainFrame" / "LOGO" / "logo.bmp", "logo");
  WriteFile(dir / "Target" / "PNB5" / "pnb5.bin", "pnb5 firmware");
  WriteFile(dir / "Target" / "PNB5" / "SIGNAL" / "bars.sig", "colour bars");
  WriteFile(dir / "Target" / "PCW5" / "pcw5.bin", "pcw5 firmware");
  WriteFile(dir / "Target" / "PCW5" / "SIGNAL" / "ramp.sig", "ramp");
  WriteFile(dir / "Target" / "RKS5" / "rks5.bin", "rks5 firmware");
  WriteFile(dir / "Target" / "RKS5" / "FLEX" / "rks5.rpd", "rks5 image");
  WriteFile(dir / "vxUpgrade.ini",
            "[ENTRY 1]\r\nid=1\r\nname=PNB5\r\n[ENTRY 2]\r\nid=2\r\nname=PCW5\r\n"
            "[ENTRY 3]\r\nid=3\r\nname=RKS5\r\nrpdFile1=rks5.rpd\r\n");
}

// An instrument whose drive holds its system folder (an empty drive lists nothing readable).
inline std::unique_ptr<testsupport::SimInstrument> Instrument(const std::string& scenario = "{}") {
  auto instrument =
      std::make_unique<testsupport::SimInstrument>(testsupport::ScenarioFromText(scenario));
  testsupport::WriteFile(instrument->Root() / "F0:" / "SYSTEM" / "old.bin", "old");
  return instrument;
}

// The command line of vxupgrade-cli against `instrument` on its ephemeral ports, with the
// release in `release`, then `extra`.
inline Lines CliCommand(const testsupport::SimInstrument& instrument, const fs::path& release,
                        const Lines& extra) {
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
  return argv;
}

// vxupgrade-cli as CliCommand gives it, with no display: no DISPLAY, no WAYLAND_DISPLAY, no Qt
// platform; `environment` adds variables.
inline std::unique_ptr<testsupport::ChildProcess> StartCli(
    const testsupport::SimInstrument& instrument, const fs::path& release, Lines extra = {},
    std::map<std::string, std::string> environment = {}) {
  const Lines argv = CliCommand(instrument, release, extra);
  environment.insert({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});
  return std::make_unique<testsupport::ChildProcess>(
      argv, testsupport::ChildOptions{.environment = environment});
}

struct Finished {
  std::optional<int> exitCode;
  std::string out, err;
};

inline Finished RunCli(const testsupport::SimInstrument& instrument, const fs::path& release,
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

inline bool Received(const Lines& lines, const std::string& prefix) {
  return !testsupport::LinesStarting(lines, prefix).empty();
}

}  // namespace clitest
