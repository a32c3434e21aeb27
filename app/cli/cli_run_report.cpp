// The report document that --report writes at the end of every run.
#include "app/cli/cli_front_end.h"
#include "app/cli/cli_options.h"
#include "app/cli/run_endings.h"
#include "app/cli/run_report.h"
#include "app/cli/version.h"
#include "instrument/reply_parsers.h"
#include "package/mid_files.h"

nlohmann::ordered_json CliFrontEnd::ReportJson(int exitCode, const std::string& outcome,
                                               const UpgradeResult* run,
                                               const std::string& error) const {
  using Json = nlohmann::ordered_json;
  const auto ended = std::chrono::system_clock::now();
  Json report = {{"program", kProgramName},
                 {"version", ProgramVersion()},
                 {"started", UtcTimeText(started_)},
                 {"ended", UtcTimeText(ended)},
                 {"seconds", std::chrono::duration<double>(ended - started_).count()},
                 {"phases", recorder_.PhasesJson()}};
  Json modules = Json::array();
  for (const package::tModuleList& module : modules_) {
    Json images = Json::array();
    for (const std::string& image : module.rpdFile) {
      if (image.empty()) break;
      images.push_back(image);
    }
    modules.push_back({{"id", module.id},
                       {"name", module.name},
                       {"signals", module.hasSignal},
                       {"images", images}});
  }
  Json release = {{"folder", appDir_}, {"modules", modules}};
  if (digest_) {
    release["files"] = digest_->files;
    release["bytes"] = digest_->bytes;
    release["sha256"] = digest_->sha256;
    // The digest was read before connecting; a file sent that is not the one digested makes
    // the SHA-256 no longer the release that was installed.
    if (const std::string& changed = recorder_.ChangedAfterDigest(); !changed.empty()) {
      release["changedAfterDigest"] = changed;
    }
  }
  report["release"] = release;

  Json instrument = {{"address", options_.ip},
                     {"commandPort", options_.commandPort},
                     {"ftpPort", options_.ftpPort}};
  if (session_ && !session_->IdentityReply().empty()) {
    instrument["identity"] = IdentityJson(session_->IdentityReply());
  }
  if (session_ && !session_->SlotTable().empty()) {
    Json slots = Json::array();
    for (const instrument::tModuleInfo& record : session_->SlotTable()) {
      slots.push_back(SlotJson(record, true));
    }
    instrument["slots"] = slots;
  }
  if (run) {
    const CheckFigures& figures = run->figures;
    if (figures.freeBytes) instrument["freeBytes"] = *figures.freeBytes;
    if (figures.totalBytes) instrument["totalBytes"] = *figures.totalBytes;
    if (figures.nqrm5Folder) instrument["nqrm5Folder"] = *figures.nqrm5Folder;
  }
  report["instrument"] = instrument;

  Json written = {{"phase", run ? PhaseName(run->phase) : "checks"},
                  {"copiedBytes", copiedBytes_},
                  {"totalBytes", totalBytes_}};
  const Json lists = recorder_.WrittenJson();
  for (const auto& [key, value] : lists.items()) written[key] = value;
  written["summary"] = run ? WrittenSummary(*run, copiedBytes_, stop_.LetFinishSlot().has_value()) : "nothing was written to the instrument";
  report["written"] = written;

  report["outcome"] = outcome;
  report["exitCode"] = exitCode;
  if (!error.empty()) report["error"] = error;
  if (run && run->refusal) report["refusal"] = RefusalJson(*run->refusal);
  if (options_.verify) {
    report["verification"] = VerificationJson(run && run->verification ? &*run->verification : nullptr);
  }
  if (run && run->comparison) report["comparison"] = ComparisonJson(*run->comparison);
  if (run && !run->unwrittenNameFiles.empty()) {
    report["logErrors"] =
        std::vector<std::string>(run->unwrittenNameFiles.size(), package::kNameFileError);
  }
  report["notices"] = notices_;
  return report;
}

void CliFrontEnd::WriteReport(int exitCode, const std::string& outcome, const UpgradeResult* run,
                              const std::string& error) {
  if (options_.reportPath.empty()) return;
  try {
    WriteFileAtomically(
        options_.reportPath,
        ReportJson(exitCode, outcome, run, error)
                .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
            "\n",
        0666 & ~umask_);
  } catch (const std::exception& e) {
    Notice(e.what());
  }
}
