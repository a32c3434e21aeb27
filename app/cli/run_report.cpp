#include "app/cli/run_report.h"

#include "instrument/reply_parsers.h"

// The fields of an "*IDN?" reply as the instrument sent them.
nlohmann::ordered_json IdentityJson(const std::string& reply) {
  nlohmann::ordered_json identity = {{"reply", reply}};
  const char* fields[] = {"maker", "model", "serialNumber", "firmware"};
  std::size_t start = 0;
  for (const char* field : fields) {
    if (start > reply.size()) break;
    const std::size_t comma = reply.find(',', start);
    identity[field] = reply.substr(start, comma == std::string::npos ? comma : comma - start);
    start = comma == std::string::npos ? reply.size() + 1 : comma + 1;
  }
  return identity;
}

nlohmann::ordered_json SlotJson(const instrument::tModuleInfo& record, bool versionTexts) {
  nlohmann::ordered_json slot = {{"slot", record.slot}, {"model", record.moduleName}};
  if (versionTexts) {
    slot["hardware"] = std::to_string(record.hwMajor) + "." + std::to_string(record.hwMinor);
  }
  slot["hardwareLevel"] = instrument::VersionLevel(record.hwMajor, record.hwMinor);
  if (versionTexts) {
    slot["firmware"] = std::to_string(record.swMajor) + "." + std::to_string(record.swMinor);
  }
  slot["firmwareLevel"] = instrument::VersionLevel(record.swMajor, record.swMinor);
  return slot;
}
