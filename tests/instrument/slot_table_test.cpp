#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "instrument/slot_table.h"

namespace {

using instrument::tModuleInfo;

// The session tests cover the look-ups over a parsed table; these rows pin each model's own
// hardware threshold and the exact model names that ConfigureFpga accepts.
TEST(SlotTable, EachModelHasItsOwnThresholdAndExactName) {
  struct Case {
    const char* model;
    int16_t hwMajor;
    int16_t hwMinor;
    bool supports;
    bool configurable;
  } cases[] = {
      {"RKS5", 2, 99, false, true},  // 299: a PCW threshold is not enough for an RKS5
      {"PCW5", 1, 99, false, true},  // 199: just under its own threshold
      {"PCWX5", 2, 0, true, true},   // 200: at its threshold
      {"rks5", 9, 0, false, false},  // letter case counts
      {"PCW", 9, 0, false, false},   // a prefix of a model is none
  };
  for (const auto& c : cases) {
    const std::vector<tModuleInfo> table{
        {.slot = 1, .hwMajor = c.hwMajor, .hwMinor = c.hwMinor, .moduleName = c.model}};
    EXPECT_EQ(instrument::SlotSupportsFpgaConfig(table, 1), c.supports) << c.model;
    EXPECT_EQ(instrument::IsFpgaConfigurableModel(c.model), c.configurable) << c.model;
  }
}

}  // namespace
