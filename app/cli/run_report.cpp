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

namespace {

// A file that is not as expected, as JSON: its path, the size expected and what was listed.
nlohmann::ordered_json FileProblemJson(const FileOnInstrument& file, const char* expectedKey) {
  const bool listedFile = file.listed.has_value();
  return {{"path", file.path},
          {expectedKey, file.expectedBytes},
          {"listed", file.missing ? "missing" : file.listedAsFolder ? "folder" : "file"},
          {"listedBytes", listedFile ? nlohmann::ordered_json(*file.listed) : nullptr}};
}

}  // namespace

nlohmann::ordered_json VerificationJson(const CatalogueCheck* check) {
  if (!check) {
    return {{"verified", false}, {"reason", "the run ended before the copy was read back"}};
  }
  nlohmann::ordered_json json = {{"verified", !check->namesOnly && check->AllMatch()}};
  if (check->namesOnly) json["reason"] = kNoSizesNotVerified;
  json["folders"] = check->foldersAsked;
  json["files"] = check->matching.size() + check->missing.size() + check->differing.size();
  json["filesVerified"] = check->namesOnly ? 0 : check->matching.size();
  nlohmann::ordered_json mismatches = nlohmann::ordered_json::array();
  for (const auto* list : {&check->missing, &check->differing}) {
    for (const FileOnInstrument& file : *list) mismatches.push_back(FileProblemJson(file, "sentBytes"));
  }
  json["mismatches"] = mismatches;
  if (check->unreadable != 0) json["unreadableEntries"] = check->unreadable;
  return json;
}

nlohmann::ordered_json ComparisonJson(const CatalogueCheck& check) {
  nlohmann::ordered_json json = {{"matches", check.AllMatch()}, {"sizes", !check.namesOnly}};
  json["folders"] = check.foldersAsked;
  nlohmann::ordered_json matching = nlohmann::ordered_json::array();
  for (const FileOnInstrument& file : check.matching) {
    matching.push_back({{"path", file.path}, {"bytes", file.expectedBytes}});
  }
  json["matching"] = matching;
  nlohmann::ordered_json missing = nlohmann::ordered_json::array();
  for (const FileOnInstrument& file : check.missing) {
    missing.push_back({{"path", file.path}, {"bytes", file.expectedBytes}});
  }
  json["missing"] = missing;
  nlohmann::ordered_json differing = nlohmann::ordered_json::array();
  for (const FileOnInstrument& file : check.differing) {
    differing.push_back(FileProblemJson(file, "releaseBytes"));
  }
  json["differing"] = differing;
  json["extras"] = check.extras;
  if (check.unreadable != 0) json["unreadableEntries"] = check.unreadable;
  return json;
}
