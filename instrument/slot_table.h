#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "instrument/module_info.h"

namespace instrument {

// The first record of `slot` in the "*OPT?" table, or nullptr.
const tModuleInfo* FindSlotRecord(const std::vector<tModuleInfo>& table, int16_t slot);
// The slot's model name; empty without a record.
std::string SlotModuleName(const std::vector<tModuleInfo>& table, int16_t slot);
// Hardware level of the slot (major * 100 + minor); 0 without a record.
int16_t SlotHardwareLevel(const std::vector<tModuleInfo>& table, int16_t slot);
// Firmware level of the slot (major * 100 + minor); 0 without a record.
int16_t SlotFirmwareLevel(const std::vector<tModuleInfo>& table, int16_t slot);
// True for the models whose FPGA can be configured: RKS5, PCW5 and PCWX5 (exact spelling).
bool IsFpgaConfigurableModel(std::string_view moduleName);
// True for an RKS5 of hardware level 300 or more, or a PCW5 / PCWX5 of 200 or more.
bool SlotSupportsFpgaConfig(const std::vector<tModuleInfo>& table, int16_t slot);

}  // namespace instrument
