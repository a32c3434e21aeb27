#include "instrument/slot_table.h"

namespace instrument {

const tModuleInfo* FindSlotRecord(const std::vector<tModuleInfo>& table, int16_t slot) {
  for (const auto& record : table)
    if (record.slot == slot) return &record;
  return nullptr;
}

std::string SlotModuleName(const std::vector<tModuleInfo>& table, int16_t slot) {
  const tModuleInfo* record = FindSlotRecord(table, slot);
  return record ? record->moduleName : std::string();
}

int16_t SlotHardwareLevel(const std::vector<tModuleInfo>& table, int16_t slot) {
  const tModuleInfo* record = FindSlotRecord(table, slot);
  return record ? VersionLevel(record->hwMajor, record->hwMinor) : int16_t{0};
}

int16_t SlotFirmwareLevel(const std::vector<tModuleInfo>& table, int16_t slot) {
  const tModuleInfo* record = FindSlotRecord(table, slot);
  return record ? VersionLevel(record->swMajor, record->swMinor) : int16_t{0};
}

bool IsFpgaConfigurableModel(std::string_view moduleName) {
  return moduleName == "RKS5" || moduleName == "PCW5" || moduleName == "PCWX5";
}

bool SlotSupportsFpgaConfig(const std::vector<tModuleInfo>& table, int16_t slot) {
  const tModuleInfo* record = FindSlotRecord(table, slot);
  if (!record) return false;
  const int16_t level = VersionLevel(record->hwMajor, record->hwMinor);
  if (record->moduleName == "RKS5") return level >= 300;
  if (record->moduleName == "PCW5" || record->moduleName == "PCWX5") return level >= 200;
  return false;
}

}  // namespace instrument
