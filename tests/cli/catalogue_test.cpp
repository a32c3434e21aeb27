// --verify and --compare against the simulator: the copy read back from the instrument's
// catalogues, and an instrument compared with a release without writing to it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/cli/cli_fixture.h"

namespace {

using clitest::Lines;
using clitest::RunCli;
using testing::HasSubstr;
using testing::Not;
using Json = nlohmann::json;
namespace fs = std::filesystem;

// The files the small release sends and their sizes, NAME files included.
constexpr int kFilesSent = 8;

Json Report(const fs::path& path) {
  return Json::parse(testsupport::ReadFile(path));
}

TEST(CliVerify, TheCopyIsReadBackInEveryCatalogueFormBeforeAnythingIsProgrammed) {
  const std::string truncated =
      R"("ftp": {"store": [{"pattern": "*vx500.bin", "fault": "truncate", "bytes": 5, "code": 226}]})";
  struct Row {
    const char* name;
    std::string scenario;
    bool verify;
    int exitCode;
    const char* said;  // in the output
    Json verified;     // the report's verification.verified; null: no section
    bool programmed;
  };
  const Row rows[] = {
      {"sizes after the name", R"({"drive": {"catalogue": "quoted-name"}})", true, 0,
       "Verified 8 files in 8 folders on the instrument", true, true},
      {"sizes inside the quotes", R"({"drive": {"catalogue": "quoted-entry"}})", true, 0,
       "Verified 8 files in 8 folders on the instrument", true, true},
      {"names only", R"({"drive": {"catalogue": "names"}})", true, 0,
       "the instrument's catalogue lists no sizes; the copy was not verified", false, true},
      {"a store kept short but answered 226", "{" + truncated + "}", true, 3,
       "Not as sent: /F0:/SYSTEM/vx500.bin: 18 bytes sent, 5 listed", false, false},
      {"the same store without --verify", "{" + truncated + "}", false, 0,
       "Result: upgraded (exit code 0)", nullptr, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testsupport::TempTree release;
    clitest::MakeRelease(release.Dir());
    auto instrument = clitest::Instrument(row.scenario);
    testsupport::TempTree records;
    const fs::path report = fs::path(records.Dir()) / "report.json";
    Lines options = {"--report", report.string()};
    if (row.verify) options.push_back("--verify");
    const auto run = RunCli(*instrument, release.Dir(), options);
    EXPECT_EQ(run.exitCode, row.exitCode) << run.out << run.err;
    EXPECT_THAT(run.out + run.err, HasSubstr(row.said));
    EXPECT_EQ(clitest::Received(instrument->CommandLines(), "CONF:FPGA"), row.programmed);
    const Json r = Report(report);
    if (row.verified.is_null()) {
      EXPECT_FALSE(r.contains("verification"));
      continue;
    }
    const Json& v = r["verification"];
    EXPECT_EQ(v["verified"], row.verified);
    EXPECT_EQ(v["files"], kFilesSent);
    if (row.exitCode == 3) {
      EXPECT_EQ(r["outcome"], "failed");
      ASSERT_EQ(v["mismatches"].size(), 1u);
      EXPECT_EQ(v["mismatches"][0]["path"], "/F0:/SYSTEM/vx500.bin");
      EXPECT_EQ(v["mismatches"][0]["sentBytes"], 18);
      EXPECT_EQ(v["mismatches"][0]["listedBytes"], 5);
    }
  }
}

TEST(CliCompare, TellsWhetherTheInstrumentHoldsTheReleaseAndWritesNothing) {
  testsupport::TempTree release;
  clitest::MakeRelease(release.Dir());
  auto instrument = clitest::Instrument();
  testsupport::TempTree records;
  const fs::path report = fs::path(records.Dir()) / "report.json";
  const Lines compare = {"--compare", "--report", report.string()};

  // A fresh instrument holds none of it.
  auto run = RunCli(*instrument, release.Dir(), compare);
  EXPECT_EQ(run.exitCode, 6) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("Result: differs (exit code 6)"));
  Json c = Report(report)["comparison"];
  EXPECT_EQ(c["missing"].size(), static_cast<std::size_t>(kFilesSent));
  EXPECT_EQ(c["matching"].size(), 0u);
  EXPECT_EQ(c["sizes"], true);
  EXPECT_THAT(c["extras"].dump(), HasSubstr("/F0:/SYSTEM/old.bin"));
  EXPECT_TRUE(Report(report)["release"].contains("sha256"));

  // Nothing that changes the instrument went out on either channel.
  const auto writes = [&] {
    Lines found;
    for (const char* command : {"MMEM:MDIR", ":MMEM:CDIR", "CONF:FPGA", "INST:NSEL"}) {
      for (const auto& line : testsupport::LinesStarting(instrument->CommandLines(), command))
        found.push_back(line);
    }
    for (const char* command : {"STOR", "DELE", "CWD", "MKD", "RMD", "RNFR"}) {
      for (const auto& line : testsupport::LinesStarting(instrument->FtpLines(), command))
        found.push_back(line);
    }
    return found;
  };
  EXPECT_EQ(writes(), Lines{});

  // After an upgrade it holds all of it.
  const auto upgrade = RunCli(*instrument, release.Dir());
  ASSERT_EQ(upgrade.exitCode, 0) << upgrade.out << upgrade.err;
  instrument->Transcript().Clear();
  run = RunCli(*instrument, release.Dir(), compare);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_THAT(run.out, HasSubstr("Result: matches (exit code 0)"));
  EXPECT_EQ(Report(report)["comparison"]["matching"].size(), static_cast<std::size_t>(kFilesSent));
  EXPECT_EQ(writes(), Lines{});

  // One file changed on the drive is named, with both sizes.
  testsupport::WriteFile(instrument->Root() / "F0:" / "PNB5" / "pnb5.bin", "other");
  run = RunCli(*instrument, release.Dir(), compare);
  EXPECT_EQ(run.exitCode, 6);
  EXPECT_THAT(run.out, HasSubstr("Differs: /F0:/PNB5/pnb5.bin: 13 bytes in the release, 5 listed"));
  c = Report(report)["comparison"];
  ASSERT_EQ(c["differing"].size(), 1u);
  EXPECT_EQ(c["differing"][0]["releaseBytes"], 13);
  EXPECT_EQ(c["differing"][0]["listedBytes"], 5);
}

TEST(CliCompare, ACatalogueOfNamesComparesNamesOnlyAndSaysSo) {
  testsupport::TempTree release;
  clitest::MakeRelease(release.Dir());
  auto instrument = clitest::Instrument(R"({"drive": {"catalogue": "names"}})");
  ASSERT_EQ(RunCli(*instrument, release.Dir()).exitCode, 0);
  testsupport::WriteFile(instrument->Root() / "F0:" / "PNB5" / "pnb5.bin", "other");
  testsupport::TempTree records;
  const fs::path report = fs::path(records.Dir()) / "report.json";
  const auto run = RunCli(*instrument, release.Dir(), {"--compare", "--report", report.string()});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_THAT(run.err,
              HasSubstr("the instrument's catalogue lists no sizes; only the names were compared"));
  EXPECT_EQ(Report(report)["comparison"]["sizes"], false);
}

TEST(CliCompare, ModesThatCannotGoTogetherAreAUsageError) {
  testsupport::TempTree release;
  clitest::MakeRelease(release.Dir());
  auto instrument = clitest::Instrument();
  for (const Lines& options : {Lines{"--compare", "--check"}, Lines{"--compare", "--verify"},
                               Lines{"--verify", "--check"}}) {
    const auto run = RunCli(*instrument, release.Dir(), options);
    EXPECT_EQ(run.exitCode, 4) << options[0] << " " << options[1];
    EXPECT_THAT(run.err, HasSubstr("excludes"));
  }
  EXPECT_EQ(instrument->CommandLines(), Lines{});
}

}  // namespace
