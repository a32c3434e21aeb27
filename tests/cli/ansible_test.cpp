#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/cli/cli_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
namespace fs = std::filesystem;

// The playbook in docs/ run by the ansible-playbook of the set-up script over an inventory (a
// YAML inventory written as JSON, so any value goes in unquoted), with its output under `out`
// and `options` after its own. The program is the group's, unless a host names its own.
std::unique_ptr<testsupport::ChildProcess> StartPlaybook(const fs::path& out,
                                                         const fs::path& outputDir,
                                                         const nlohmann::json& hosts,
                                                         const fs::path& release,
                                                         const clitest::Lines& options = {}) {
  const fs::path inventory = out / "inventory.yml";
  testsupport::WriteFile(
      inventory,
      nlohmann::json{
          {"vx500", {{"hosts", hosts}, {"vars", {{"vxupgrade_cli", VXUPGRADE_CLI_PROGRAM}}}}}}
          .dump());
  const nlohmann::json variables = {
      {"output_dir", outputDir.string()},
      {"vxupgrade_options", {"--package", release.string(), "--compressed", "no"}}};
  const fs::path home = out / "home";
  fs::create_directories(home);
  clitest::Lines argv = {
      "/usr/bin/ansible-playbook", "-i", inventory.string(), VX_PLAYBOOK, "-e", variables.dump()};
  argv.insert(argv.end(), options.begin(), options.end());
  return std::make_unique<testsupport::ChildProcess>(
      argv, testsupport::ChildOptions{.environment = {{"HOME", home.string()},
                                                      {"ANSIBLE_NOCOLOR", "1"},
                                                      {"ANSIBLE_CONFIG", ""}}});
}

nlohmann::json SimulatedHost(const testsupport::SimInstrument& instrument) {
  return {{"ansible_host", "127.0.0.1"},
          {"vx500_command_port", instrument.Port()},
          {"vx500_ftp_port", instrument.FtpPort()}};
}

// The playbook upgrades an inventory of simulated instruments on loopback ports: one healthy,
// one refused for its firmware, one with nothing listening, and two whose inventory values hold
// shell syntax, which reaches no shell: each host's result, log and report, and a summary that
// never reads an earlier run's report.
TEST(Ansible, PlaybookUpgradesAHealthyInstrumentAndFailsTheOthersWithTheirReasons) {
  ASSERT_TRUE(fs::exists("/usr/bin/ansible-playbook")) << "scripts/setup.sh installs it";
  testsupport::TempTree out;
  const fs::path release = out.Path() / "release";
  clitest::MakeRelease(release);
  auto healthy = clitest::Instrument();
  auto old = clitest::Instrument(testsupport::ScenarioText("sim/scenarios/firmware-v2.0.json"));
  const testsupport::RefusingPort refusing;
  const int closed = refusing.Port();
  const fs::path marker = out.Path() / "marker";
  const std::string substituted = "127.0.0.1$(touch " + marker.string() + ")";
  const std::string chained =
      "127.0.0.1; touch " + marker.string() + "; `touch " + marker.string() + "`";
  nlohmann::json injected = SimulatedHost(*healthy);
  injected["ansible_host"] = substituted;
  nlohmann::json quoted = SimulatedHost(*healthy);
  quoted["ansible_host"] = chained;
  quoted["vx500_ftp_port"] = "21`touch " + marker.string() + "`";
  // An earlier run's report of a host whose run now writes none.
  testsupport::WriteFile(out.Path() / "reports" / "injected.json",
                         R"({"outcome": "upgraded", "exitCode": 0})");

  auto playbook =
      StartPlaybook(out.Path(), out.Path(),
                    {{"healthy", SimulatedHost(*healthy)},
                     {"old", SimulatedHost(*old)},
                     {"dead", {{"ansible_host", "127.0.0.1"}, {"vx500_command_port", closed}}},
                     {"injected", injected},
                     {"quoted", quoted}},
                    release);
  // Four hosts fail, so the playbook ends with status 2.
  EXPECT_EQ(playbook->Wait(std::chrono::seconds(150)), 2) << playbook->Out() << playbook->Err();

  struct Host {
    const char* name;
    std::string address;  // in the summary
    int exitCode;
    const char* outcome;  // in the summary, and the report's unless it is "no report written"
    std::string logged;   // in the host's log
    const char* serial;   // in the summary
  } hosts[] = {
      {"healthy", "127.0.0.1", 0, "upgraded", "Result: upgraded (exit code 0)", "SIM00001"},
      {"old", "127.0.0.1", 1, "refused", "This release requires VX500 V2.1 or above.", "SIM00001"},
      {"dead", "127.0.0.1", 2, "not-connected",
       "vxupgrade-cli: command channel 127.0.0.1:" + std::to_string(closed) +
           ": connection refused",
       "unknown"},
      {"injected", substituted, 4, "no report written",
       "--ip: '" + substituted + "' is not a dotted IPv4 address", "unknown"},
      {"quoted", chained, 4, "no report written", "is not a dotted IPv4 address", "unknown"},
  };
  for (const Host& host : hosts) {
    SCOPED_TRACE(host.name);
    const std::string log =
        testsupport::ReadFile(out.Path() / "logs" / (std::string(host.name) + ".log"));
    EXPECT_THAT(log, HasSubstr(host.logged));
    // Standard output and standard error as lines of their own.
    EXPECT_THAT(log, Not(HasSubstr("\\n")));
    EXPECT_THAT(log, EndsWith("\n"));
    const fs::path reportPath = out.Path() / "reports" / (std::string(host.name) + ".json");
    if (host.exitCode == 4) {
      EXPECT_FALSE(fs::exists(reportPath));
    } else {
      EXPECT_THAT(log, HasSubstr("(exit code " + std::to_string(host.exitCode) + ")"));
      const auto report = nlohmann::json::parse(testsupport::ReadFile(reportPath));
      EXPECT_EQ(report["outcome"], host.outcome);
      EXPECT_EQ(report["exitCode"], host.exitCode);
      EXPECT_EQ(report["instrument"]["address"], "127.0.0.1");
    }
    EXPECT_THAT(playbook->Out(), HasSubstr(std::string(host.name) + " " + host.address +
                                           " serial " + host.serial + ": " + host.outcome +
                                           " (exit code " + std::to_string(host.exitCode) + ")"));
  }
  EXPECT_THAT(testsupport::ReadFile(out.Path() / "logs" / "healthy.log"),
              HasSubstr("Verified 8 files in 8 folders on the instrument"));
  EXPECT_THAT(playbook->Out(), HasSubstr("exit code 1: refused by a check"));
  EXPECT_THAT(playbook->Out(), HasSubstr("exit code 2: could not connect"));
  EXPECT_THAT(playbook->Out(), HasSubstr("exit code 4: bad usage"));
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_TRUE(fs::exists(healthy->Root() / "F0:" / "SYSTEM" / "vx500.bin"));
  EXPECT_FALSE(fs::exists(old->Root() / "F0:" / "SYSTEM" / "MID1"));
  for (const char* folder : {"", "logs", "reports"}) {
    EXPECT_EQ(fs::symlink_status(out.Path() / folder).permissions(), fs::perms::owner_all)
        << folder;
  }
}

// Under ansible-playbook --check the play is a dry run: each host gets vxupgrade-cli --check,
// which writes nothing to it, and the summary shows this run's results, never an earlier report,
// whose upgrade records stay as they were; a host whose program cannot be started is not run.
TEST(Ansible, PlaybookUnderCheckShowsThisRunsChecksAndAMissingProgramAsNotRun) {
  testsupport::TempTree out;
  const fs::path release = out.Path() / "release";
  clitest::MakeRelease(release);
  auto healthy = clitest::Instrument();
  auto old = clitest::Instrument(testsupport::ScenarioText("sim/scenarios/firmware-v2.0.json"));
  nlohmann::json missing = SimulatedHost(*healthy);
  missing["vxupgrade_cli"] = (out.Path() / "nowhere" / "vxupgrade-cli").string();
  const struct {
    const char* name;
    std::string summary;
    const char* outcome;  // of this run's report; none when the program did not run
  } hosts[] = {
      {"healthy", "healthy 127.0.0.1 serial SIM00001: checks-passed (exit code 0)",
       "checks-passed"},
      {"old", "old 127.0.0.1 serial SIM00001: refused (exit code 1)", "refused"},
      {"missing", "missing 127.0.0.1 serial unknown: not run: [Errno 2] No such file or directory",
       nullptr},
  };
  const auto report = [&](const std::string& name) { return out.Path() / "reports" / name; };
  const std::string earlier = R"({"outcome": "earlier", "exitCode": 0})";
  for (const auto& host : hosts) {
    testsupport::WriteFile(report(std::string(host.name) + ".json"), earlier);
    testsupport::WriteFile(report(std::string(host.name) + ".check.json"), earlier);
  }

  auto playbook = StartPlaybook(
      out.Path(), out.Path(),
      {{"healthy", SimulatedHost(*healthy)}, {"old", SimulatedHost(*old)}, {"missing", missing}},
      release, {"--check"});
  EXPECT_EQ(playbook->Wait(std::chrono::seconds(150)), 2) << playbook->Out() << playbook->Err();
  for (const auto& host : hosts) {
    SCOPED_TRACE(host.name);
    EXPECT_THAT(playbook->Out(), HasSubstr(host.summary));
    const fs::path checked = report(std::string(host.name) + ".check.json");
    if (host.outcome) {
      EXPECT_EQ(nlohmann::json::parse(testsupport::ReadFile(checked))["outcome"], host.outcome);
    } else {
      EXPECT_FALSE(fs::exists(checked));
    }
    EXPECT_EQ(testsupport::ReadFile(report(std::string(host.name) + ".json")), earlier);
    EXPECT_TRUE(fs::exists(out.Path() / "logs" / (std::string(host.name) + ".check.log")));
  }
  EXPECT_THAT(playbook->Out(), Not(HasSubstr("earlier")));
  EXPECT_THAT(playbook->Out(), HasSubstr("exit code 1: refused by a check"));
  EXPECT_THAT(playbook->Out(), HasSubstr("\"msg\": \"not run: [Errno 2] No such file"));
  EXPECT_THAT(healthy->CommandLines(), Not(IsEmpty()));
  EXPECT_FALSE(fs::exists(healthy->Root() / "F0:" / "SYSTEM" / "vx500.bin"));
}

// The audit compares every instrument with the release and writes nothing to any: two hold it,
// one was left holding another release, one does not answer; the summary groups the hosts by
// the release's SHA-256, each host's report is kept, and the host that differs fails.
TEST(Ansible, AuditTellsWhichInstrumentsHoldTheRelease) {
  testsupport::TempTree out;
  const fs::path release = out.Path() / "release";
  const fs::path other = out.Path() / "other";
  clitest::MakeRelease(release);
  clitest::MakeRelease(other);
  testsupport::WriteFile(other / "Target" / "PNB5" / "pnb5.bin", "pnb5 firmware, older");
  auto first = clitest::Instrument();
  auto second = clitest::Instrument();
  auto stale = clitest::Instrument();
  for (auto [instrument, installed] :
       {std::pair{first.get(), release}, {second.get(), release}, {stale.get(), other}}) {
    const auto upgraded = clitest::RunCli(*instrument, installed, {"--compressed", "no"});
    ASSERT_EQ(upgraded.exitCode, 0) << upgraded.out << upgraded.err;
  }
  const std::size_t commandsBefore = first->CommandLines().size();
  const testsupport::RefusingPort refusing;

  auto playbook = StartPlaybook(
      out.Path(), out.Path(),
      {{"first", SimulatedHost(*first)},
       {"second", SimulatedHost(*second)},
       {"stale", SimulatedHost(*stale)},
       {"dead", {{"ansible_host", "127.0.0.1"}, {"vx500_command_port", refusing.Port()}}}},
      release, {"-e", "vx500_audit=true"});
  EXPECT_EQ(playbook->Wait(std::chrono::seconds(150)), 2) << playbook->Out() << playbook->Err();

  const auto report = [&](const char* host) {
    return nlohmann::json::parse(
        testsupport::ReadFile(out.Path() / "reports" / (std::string(host) + ".compare.json")));
  };
  const std::string sha = report("first")["release"]["sha256"];
  EXPECT_THAT(playbook->Out(), HasSubstr("release " + sha +
                                         ": held by first, second; differs on stale (0 missing, "
                                         "1 of another size)"));
  EXPECT_THAT(playbook->Out(), HasSubstr("not compared: dead"));
  EXPECT_THAT(playbook->Out(), HasSubstr("exit code 6: does not hold the release"));
  EXPECT_EQ(report("stale")["comparison"]["differing"][0]["path"], "/F0:/PNB5/pnb5.bin");
  EXPECT_EQ(report("second")["outcome"], "matches");
  EXPECT_FALSE(fs::exists(out.Path() / "reports" / "first.json"));
  // Read-only: the first instrument got queries only, its drive as the upgrade left it.
  const auto commands = first->CommandLines();
  ASSERT_GT(commands.size(), commandsBefore);
  for (std::size_t i = commandsBefore; i < commands.size(); ++i) {
    for (const char* writing : {"MDIR", "CDIR", "CONF"}) {
      EXPECT_THAT(commands[i], Not(HasSubstr(writing))) << commands[i];
    }
  }
}

// An output folder that another user owns, or whose logs folder is a link, is refused before
// any instrument is run: nothing is written into it or through the link.
TEST(Ansible, PlaybookRefusesAnOutputFolderOfAnotherUserOrALinkInIt) {
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const struct {
    const char* what;
    bool othersFolder;  // else its logs folder is a link
    std::string said;
  } cases[] = {
      {"its logs folder is a link", false, "/upgrade/logs: it is a link"},
      {"owned by another user", true,
       "it is owned by nobody (uid " + std::to_string(nobody->pw_uid) + ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.othersFolder && ::geteuid() != 0) GTEST_SKIP() << "only root can give a folder away";
    testsupport::TempTree out;
    const fs::path release = out.Path() / "release";
    clitest::MakeRelease(release);
    auto instrument = clitest::Instrument();
    const fs::path outputDir = out.Path() / "upgrade";
    const fs::path elsewhere = out.Path() / "elsewhere";
    fs::create_directories(outputDir);
    fs::create_directories(elsewhere);
    if (c.othersFolder) {
      ASSERT_EQ(::chown(outputDir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    } else {
      fs::create_directory_symlink(elsewhere, outputDir / "logs");
    }
    auto playbook =
        StartPlaybook(out.Path(), outputDir, {{"healthy", SimulatedHost(*instrument)}}, release);
    EXPECT_EQ(playbook->Wait(std::chrono::seconds(90)), 2) << playbook->Out() << playbook->Err();
    EXPECT_THAT(playbook->Out(), HasSubstr(c.said));
    EXPECT_THAT(playbook->Out(), Not(HasSubstr("Run vxupgrade-cli")));
    EXPECT_THAT(instrument->CommandLines(), IsEmpty());
    EXPECT_THAT(testsupport::TreeEntries(elsewhere), IsEmpty());
    if (c.othersFolder) {
      EXPECT_THAT(testsupport::TreeEntries(outputDir), IsEmpty());
    }
  }
}

}  // namespace
