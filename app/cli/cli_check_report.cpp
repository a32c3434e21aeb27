// The --check report: the figures the checks read, the slots, the modules and the
// configuration ROMs that an upgrade would program, and the verdict.
#include "app/cli/cli_front_end.h"
#include "app/cli/run_endings.h"
#include "app/cli/run_report.h"
#include "instrument/reply_parsers.h"
#include "package/config_rom.h"

void CliFrontEnd::ReportChecks(const UpgradeResult& run, const std::string& verdict) {
  if (options_.quiet) return;
  const CheckFigures& figures = run.figures;
  nlohmann::ordered_json event = {{"event", "check"}, {"verdict", verdict}};
  std::vector<std::string> lines;
  if (figures.firmwareLevel) {
    event["firmwareLevel"] = *figures.firmwareLevel;
    lines.push_back("Firmware level: " + std::to_string(*figures.firmwareLevel));
  }
  if (figures.freeBytes && figures.totalBytes) {
    event["freeBytes"] = *figures.freeBytes;
    event["totalBytes"] = *figures.totalBytes;
    lines.push_back("Flash drive /F0:/: free " + MegabytesText(*figures.freeBytes) + " MB (" +
                    std::to_string(*figures.freeBytes) + " bytes), total " +
                    MegabytesText(*figures.totalBytes) + " MB (" +
                    std::to_string(*figures.totalBytes) + " bytes)");
  }
  if (figures.nqrm5Folder) {
    event["nqrm5Folder"] = *figures.nqrm5Folder;
    lines.push_back(std::string("NQRM5 folder: ") + (*figures.nqrm5Folder ? "present" : "absent"));
  }
  nlohmann::ordered_json slots = nlohmann::ordered_json::array();
  if (session_) {
    for (const instrument::tModuleInfo& record : session_->SlotTable()) {
      slots.push_back(SlotJson(record, false));
      lines.push_back("Slot " + std::to_string(record.slot) + ": " + record.moduleName +
                      ", hardware " + Version(record.hwMajor, record.hwMinor) + ", firmware " +
                      Version(record.swMajor, record.swMinor));
    }
  }
  event["slots"] = slots;
  if (figures.freeBytes) {
    event["compressedQuestion"] = run.compressedQuestionDue;
    lines.push_back(std::string("Compressed-signal question: ") +
                    (run.compressedQuestionDue ? "would be asked" : "would not be asked"));
  }
  nlohmann::ordered_json modules = nlohmann::ordered_json::array();
  std::vector<std::string> moduleNames;
  for (const package::tModuleList& module : modules_) {
    modules.push_back({{"id", module.id}, {"name", module.name}, {"signals", module.hasSignal}});
    moduleNames.push_back(module.name + (module.hasSignal ? " (with signals)" : ""));
  }
  event["modules"] = modules;
  lines.push_back("Modules to copy: " + Joined(moduleNames, ", "));
  if (session_ && !session_->SlotTable().empty()) {
    nlohmann::ordered_json programmed = nlohmann::ordered_json::array();
    std::vector<std::string> plan;
    std::int64_t fileCount = 0, totalBytes = 0, copiedBytes = 0;
    std::vector<std::string> unwritten;
    const package::PackageContext context{
        *session_, *this, *release_, modules_, {fileCount, totalBytes, copiedBytes}, unwritten};
    try {
      for (std::int16_t slot = 1; slot <= 4; ++slot) {
        const std::vector<std::string> images = package::PlannedConfigImages(context, slot);
        if (images.empty()) continue;
        programmed.push_back(
            {{"slot", slot}, {"model", session_->SlotModuleName(slot)}, {"images", images}});
        plan.push_back("slot " + std::to_string(slot) + " " + session_->SlotModuleName(slot) +
                       " (" + Joined(images, ", ") + ")");
      }
      event["configRoms"] = programmed;
      lines.push_back("Configuration ROMs to program: " +
                      (plan.empty() ? "none" : Joined(plan, "; ")));
    } catch (const std::exception& e) {
      lines.push_back(std::string("Configuration ROMs to program: unknown: ") + e.what());
    }
  }
  lines.push_back("Verdict: " + verdict);
  output_.Event(event);
  for (const std::string& line : lines) output_.ReportLine(line);
}
