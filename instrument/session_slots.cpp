#include "instrument/tfrm_vx500.h"

#include <string>

#include "instrument/reply_parsers.h"
#include "instrument/slot_table.h"

namespace instrument {

void TfrmVX500::ReadSlotInventory() {
  // Emptied first, so a reconnect to another instrument never answers from the older one.
  slotTable.clear();
  SendCommand("*OPT?");
  ParseOptionReply(ReadReply(), slotTable);
}

const tModuleInfo* TfrmVX500::FindSlotRecord(int16_t slot) const {
  return instrument::FindSlotRecord(slotTable, slot);
}

std::string TfrmVX500::SlotModuleName(int16_t slot) const {
  return instrument::SlotModuleName(slotTable, slot);
}

int16_t TfrmVX500::SlotHardwareLevel(int16_t slot) const {
  return instrument::SlotHardwareLevel(slotTable, slot);
}

int16_t TfrmVX500::SlotFirmwareLevel(int16_t slot) const {
  return instrument::SlotFirmwareLevel(slotTable, slot);
}

bool TfrmVX500::SlotSupportsFpgaConfig(int16_t slot) const {
  return instrument::SlotSupportsFpgaConfig(slotTable, slot);
}

int16_t TfrmVX500::ConfigureFpga(int16_t slot, int16_t index, const std::string& fileName) {
  RequireQuotable(fileName, "image file name");
  if (SendChecked("INST:NSEL " + std::to_string(slot)) != 0) return -1;
  // The model is judged after the selection, so a slot without one is still selected first.
  if (!IsFpgaConfigurableModel(SlotModuleName(slot))) return -1;
  const int16_t result =
      SendChecked("CONF:FPGA " + std::to_string(index) + ",\"N0:" + fileName + "\"", slot);
  if (observer_) observer_->FpgaConfigured(slot, index, fileName, result);
  return result;
}

}  // namespace instrument
