#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "sim/scenario.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

namespace {

using nlohmann::json;

TEST(Scenario, ReadsEveryPartAndKeepsTheDocument) {
  sim::Scenario s =
      sim::LoadScenario(testsupport::SourcePath("tests/data/scenarios/every-part.json"));
  EXPECT_EQ(s.identity, "KOVA/ZEPHLORAN,VX500,42,V2.1");
  ASSERT_EQ(s.slots.size(), 2u);
  EXPECT_EQ(s.slots[0].firmware, "2.10");
  EXPECT_EQ(s.slots[1].slot, 3);
  EXPECT_EQ(s.totalBytes.value_or(0), 23003135u);
  EXPECT_EQ(s.freeBytes.value_or(0), 2621440u);
  ASSERT_EQ(s.faults.size(), 5u);
  EXPECT_EQ(s.faults[0].error.value_or(0), -256);
  EXPECT_EQ(s.faults[0].message, "gone");
  EXPECT_EQ(s.faults[1].slot.value_or(0), 3);
  EXPECT_EQ(s.faults[1].image.value_or(""), "a.rpd");
  EXPECT_EQ(s.faults[1].times, 1);
  EXPECT_EQ(s.faults[2].closeAfter.value_or(0), 4u);
  EXPECT_TRUE(s.faults[3].noAnswer);
  EXPECT_TRUE(s.faults[4].reset);
  EXPECT_EQ(s.raw["ftp"]["greeting"][0], "220 the FTP server reads this");
  EXPECT_TRUE(s.systemFolder);
}

TEST(Scenario, MissingPartsKeepTheDefaults) {
  sim::Scenario s = sim::ScenarioFromJson(json::parse(R"({"slots": []})"));
  EXPECT_NE(s.identity.find("KOVA/ZEPHLORAN,VX500"), std::string::npos);
  EXPECT_TRUE(s.slots.empty());  // an instrument without even a slot 0
  EXPECT_FALSE(s.totalBytes);
  EXPECT_TRUE(sim::ScenarioFromJson(json::object()).slots.size() > 0);
}

TEST(Scenario, MistakesAreReportedNotIgnored) {
  for (const char* text : {
           R"([])",
           R"({"identty": "x"})",
           R"({"slots": [{"slot": 0, "model": "VX500", "hardware": 1.0, "firmware": "3.0"}]})",
           R"({"slots": [{"slot": 0, "model": "VX500"}]})",
           R"({"drive": {"total": 10, "free": 20}})",
           R"({"drive": {"free": -1}})",
           R"({"faults": [{"command": "*IDN?", "eror": -1}]})",
           R"({"faults": [{"command": "*IDN?", "noAnswer": 1}]})",
           R"({"faults": {"command": "*IDN?"}})",
       }) {
    EXPECT_THROW(sim::ScenarioFromJson(json::parse(text)), std::runtime_error) << text;
  }
  testsupport::TempTree dir;
  testsupport::WriteFile(dir.Path() / "bad.json", "{ not json");
  EXPECT_THROW(sim::LoadScenario(dir.Path() / "bad.json"), std::runtime_error);
  EXPECT_THROW(sim::LoadScenario(dir.Path() / "missing.json"), std::runtime_error);
}

}  // namespace
