#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/cli/cli_fixture.h"
#include "tests/cli/cli_process.h"
#include "tests/net/loopback.h"
#include "tests/sim/sim_fixture.h"

namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

// The playbook in docs/ upgrades an inventory of three simulated instruments on loopback ports,
// one healthy, one refused for its firmware and one with nothing listening, with the
// ansible-playbook of the set-up script: each host's result, log and report, and a summary.
TEST(Ansible, PlaybookUpgradesAHealthyInstrumentAndFailsTheOtherTwoWithTheirReasons) {
  ASSERT_TRUE(fs::exists("/usr/bin/ansible-playbook")) << "scripts/setup.sh installs it";
  simtest::TempDir out;
  const fs::path release = out.Path() / "release";
  clitest::MakeRelease(release);
  auto healthy = clitest::Instrument();
  auto old = clitest::Instrument(
      R"({"slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "2.0"}]})");
  const vxtest::RefusingPort refusing;
  const int closed = refusing.Port();

  const fs::path inventory = out.Path() / "inventory.ini";
  simtest::WriteFile(inventory,
                     "[vx500]\n"
                     "healthy ansible_host=127.0.0.1 vx500_command_port=" +
                         std::to_string(healthy->Port()) +
                         " vx500_ftp_port=" + std::to_string(healthy->FtpPort()) +
                         "\n"
                         "old ansible_host=127.0.0.1 vx500_command_port=" +
                         std::to_string(old->Port()) +
                         " vx500_ftp_port=" + std::to_string(old->FtpPort()) +
                         "\n"
                         "dead ansible_host=127.0.0.1 vx500_command_port=" +
                         std::to_string(closed) + "\n");
  const nlohmann::json variables = {
      {"vxupgrade_cli", VXUPGRADE_CLI_PROGRAM},
      {"output_dir", out.Path().string()},
      {"vxupgrade_options", "--package " + release.string() + " --compressed no"}};
  const fs::path home = out.Path() / "home";
  fs::create_directories(home);
  clitest::ChildRun playbook(
      {"/usr/bin/ansible-playbook", "-i", inventory.string(), VX_PLAYBOOK, "-e", variables.dump()},
      {{"HOME", home.string()}, {"ANSIBLE_NOCOLOR", "1"}, {"ANSIBLE_CONFIG", ""}});
  // Two hosts fail, so the playbook ends with status 2.
  EXPECT_EQ(playbook.Wait(std::chrono::seconds(60)), 2) << playbook.Out() << playbook.Err();

  struct Host {
    const char* name;
    int exitCode;
    const char* outcome;
    std::string logged;  // in the host's log
    const char* serial;  // in the summary
  } hosts[] = {
      {"healthy", 0, "upgraded", "Result: upgraded (exit code 0)", "SIM00001"},
      {"old", 1, "refused", "This release requires VX500 V2.1 or above.", "SIM00001"},
      {"dead", 2, "not-connected",
       "vxupgrade-cli: command channel 127.0.0.1:" + std::to_string(closed) +
           ": connection refused",
       "unknown"},
  };
  for (const Host& host : hosts) {
    SCOPED_TRACE(host.name);
    const std::string log =
        clitest::ReadFile(out.Path() / "logs" / (std::string(host.name) + ".log"));
    EXPECT_THAT(log, HasSubstr(host.logged));
    EXPECT_THAT(log, HasSubstr("(exit code " + std::to_string(host.exitCode) + ")"));
    const auto report = nlohmann::json::parse(
        clitest::ReadFile(out.Path() / "reports" / (std::string(host.name) + ".json")));
    EXPECT_EQ(report["outcome"], host.outcome);
    EXPECT_EQ(report["exitCode"], host.exitCode);
    EXPECT_EQ(report["instrument"]["address"], "127.0.0.1");
    EXPECT_THAT(playbook.Out(),
                HasSubstr(std::string(host.name) + " 127.0.0.1 serial " + host.serial + ": " +
                          host.outcome + " (exit code " + std::to_string(host.exitCode) + ")"));
  }
  EXPECT_THAT(playbook.Out(), HasSubstr("exit code 1: refused by a check"));
  EXPECT_THAT(playbook.Out(), HasSubstr("exit code 2: could not connect"));
  EXPECT_TRUE(fs::exists(healthy->Root() / "F0:" / "SYSTEM" / "vx500.bin"));
  EXPECT_FALSE(fs::exists(old->Root() / "F0:" / "SYSTEM" / "MID1"));
}

}  // namespace
