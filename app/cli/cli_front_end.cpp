#include "app/cli/cli_front_end.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <CLI/CLI.hpp>

#include "app/utilities.h"
#include "net/ipv4.h"
#include "package/config_rom.h"
#include "package/release_check.h"
#include "package/tree_upload.h"

namespace {

constexpr char kProgram[] = "vxupgrade-cli";
constexpr char kCaption[] = "VX500 Upgrade";

constexpr char kExitCodesHelp[] =
    "Exit codes:\n"
    "  0    upgraded (with --check: every check passed; nothing was written)\n"
    "  1    refused by a check: damaged flash drive, firmware below V2.1, too little free\n"
    "       space, a 16 MB flash drive, compressed signals declined, SCWH5 hardware too old\n"
    "  2    could not connect, not a VX500, or an error before the copy began (silent\n"
    "       instrument, garbled reply, FTP log-in refused)\n"
    "  3    failed or errored from the MID folders on (copy, configuration)\n"
    "  4    bad usage, or an unusable release folder (missing, no modules, a name that\n"
    "       cannot be sent)\n"
    "  129  stopped by SIGHUP (a closed terminal or SSH session)\n"
    "  130  stopped by Ctrl-C (SIGINT)\n"
    "  143  stopped by SIGTERM\n"
    "       (128 + the number of the first signal; the run stops at its next wait, lets an\n"
    "       awaited FPGA configuration finish, closes the channels and reports what was\n"
    "       written)\n";

// A byte count as a person reads it: bytes below a megabyte, else megabytes.
std::string Size(std::int64_t bytes) {
  if (bytes < (std::int64_t{1} << 20)) return std::to_string(bytes) + " bytes";
  return MegabytesText(bytes) + " MB";
}

std::string Joined(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

const char* OutcomeName(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kCompleted:
      return "upgraded";
    case RunOutcome::kChecksPassed:
      return "checks-passed";
    case RunOutcome::kRefused:
      return "refused";
    case RunOutcome::kDriveDamaged:
      return "drive-damaged";
    case RunOutcome::kNotConnected:
      return "not-connected";
    case RunOutcome::kFailed:
      return "failed";
    case RunOutcome::kNone:
      break;
  }
  return "error";
}

int ExitCodeOf(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kCompleted:
    case RunOutcome::kChecksPassed:
      return kExitUpgraded;
    case RunOutcome::kRefused:
    case RunOutcome::kDriveDamaged:
      return kExitRefused;
    case RunOutcome::kNotConnected:
      return kExitNoInstrument;
    case RunOutcome::kFailed:
    case RunOutcome::kNone:
      break;
  }
  return kExitFailed;
}

const char* PhaseName(RunPhase phase) {
  switch (phase) {
    case RunPhase::kChecks:
      return "checks";
    case RunPhase::kMidFolders:
      return "midFolders";
    case RunPhase::kSystemTree:
      return "systemTree";
    case RunPhase::kModuleTrees:
      return "moduleTrees";
    case RunPhase::kConfigRoms:
      return "configRoms";
    case RunPhase::kReported:
      break;
  }
  return "reported";
}

// "V3.0 (level 300)" from a slot record's two numbers.
std::string Version(std::int16_t major, std::int16_t minor) {
  return std::to_string(major) + "." + std::to_string(minor) + " (level " +
         std::to_string(instrument::VersionLevel(major, minor)) + ")";
}

}  // namespace

std::optional<int> ParseCliArguments(int argc, char** argv, CliOptions& options, std::FILE* out,
                                     std::FILE* err) {
  CLI::App app{
      "Installs a VX500 release onto one instrument without a window: the same checks, copy, "
      "configuration and messages as pressing Copy in vxupgrade.",
      kProgram};
  app.footer(kExitCodesHelp);
  const CLI::Validator ipv4(
      [](std::string& text) -> std::string {
        return net::ParseIPv4(text) ? "" : "'" + text + "' is not a dotted IPv4 address";
      },
      "IPv4");
  app.add_option("--ip", options.ip, "the instrument's dotted IPv4 address")
      ->required()
      ->check(ipv4);
  app.add_option("--package", options.packageDir,
                 "the release folder (default: the folder that holds this program)");
  app.add_option("--signals", options.signals,
                 "tick these modules' signal boxes, comma separated (PNB5, PCW5, PCWX5, SCW5, "
                 "SCWH5); a box the window would disable is refused")
      ->delimiter(',');
  app.add_option("--no-signals", options.noSignals,
                 "tick and untick these modules' boxes, so their signal sets are not copied "
                 "even where the manifest says hasSignal=1")
      ->delimiter(',');
  std::string compressed;
  app.add_option("--compressed", compressed,
                 "the answer to the compressed-signal question; without it the question is "
                 "asked on a terminal and answered no when there is none")
      ->check(CLI::IsMember({"yes", "no"}));
  app.add_flag("--check", options.check,
               "connect and run every check, print the figures and the verdict, write nothing");
  app.add_flag("--json", options.json,
               "one JSON object per line on standard output for each event (log, progress, "
               "message, notice, check, outcome)");
  app.add_option("--command-port", options.commandPort, "the instrument's command port")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_option("--ftp-port", options.ftpPort, "the instrument's FTP port")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  // A wrapper may append an option to a command line that has it already: the last one counts.
  for (CLI::Option* option : app.get_options()) {
    if (option->get_items_expected_max() == 1) {
      option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success&) {
    std::fputs(app.help().c_str(), out);
    return kExitUpgraded;
  } catch (const CLI::ParseError& error) {
    std::fprintf(err, "%s: %s\nRun with --help for more information.\n", kProgram, error.what());
    return kExitUsage;
  }
  if (!compressed.empty()) options.compressed = compressed == "yes";
  return std::nullopt;
}

CliFrontEnd::CliFrontEnd(CliOptions options, CliOutput& output, const StopSignals& caught)
    : options_(std::move(options)), output_(output), stop_(caught, [this](std::int16_t slot) {
        output_.Notice("waiting for the FPGA configuration of slot " + std::to_string(slot) + " (" +
                       session_->SlotModuleName(slot) +
                       ") to finish before stopping; press Ctrl-C again to stop at once");
      }) {}

CliFrontEnd::~CliFrontEnd() = default;

int CliFrontEnd::Run() {
  if (const auto problem = LoadRelease()) {
    output_.Notice(*problem);
    return Finish(kExitUsage, "usage", nullptr, *problem);
  }
  // A large release takes a while to check; a Ctrl-C meanwhile ends it before connecting.
  if (stop_.Requested()) {
    output_.Notice("interrupted before connecting; nothing was written to the instrument");
    return Finish(InterruptedExitCode(), "interrupted", nullptr);
  }
  session_ = std::make_unique<instrument::TfrmVX500>(options_.commandPort, options_.ftpPort);
  session_->SetMessageSink(this);
  session_->SetCancelPredicate([this] { return stop_.AtWait(session_->SlotBeingConfigured()); });

  UpgradeRun run(*this, options_.check ? RunMode::kCheckOnly : RunMode::kUpgrade);
  std::string error;
  bool raised = false;
  try {
    run.Execute();
  } catch (const std::exception& e) {
    raised = true;
    error = ShownErrorText(e.what());
  }
  output_.EndProgress();

  int exitCode = ExitCodeOf(run.Outcome());
  std::string outcome = OutcomeName(run.Outcome());
  const bool interrupted = stop_.Requested();
  if (run.Outcome() != RunOutcome::kNone) {
    // The run had ended (its log-out may have been cut short): its outcome stands.
    if (raised) output_.Notice("while closing the connection: " + error);
    // A signal that came once the run had an outcome stopped nothing: the outcome is the truth.
    if (interrupted) {
      output_.Notice(
          "a stop signal came when the run had nothing left to stop; it ended as "
          "reported");
    }
    error.clear();
  } else if (raised && interrupted) {
    exitCode = InterruptedExitCode();
    outcome = "interrupted";
    output_.Notice("interrupted (" + error + ")");
  } else if (raised) {
    // Where the window would show the error and stay open, the front end reports and ends.
    exitCode = run.WritingStarted() ? kExitFailed : kExitNoInstrument;
    output_.Message(kCaption, error, package::kMbIconError);
  }
  CloseChannels();
  // After a stop, and after any ending that left part of the release behind.
  if (outcome == "interrupted" || (run.WritingStarted() && exitCode != kExitUpgraded)) {
    output_.Notice(WrittenSummary(run));
  }
  if (options_.check) {
    const char* verdict = exitCode == kExitUpgraded  ? "every check passed"
                          : exitCode == kExitRefused ? "refused"
                                                     : "not checked to the end";
    ReportChecks(run, verdict);
  }
  return Finish(exitCode, outcome, &run, error);
}

std::optional<std::string> CliFrontEnd::LoadRelease() {
  try {
    if (options_.packageDir.empty()) {
      std::string programName;
      SplitPath(ProgramFilePath(), appDir_, programName);
    } else {
      appDir_ =
          options_.packageDir.ends_with('/') ? options_.packageDir : options_.packageDir + "/";
    }
    std::error_code ignored;
    if (!std::filesystem::is_directory(appDir_, ignored)) {
      return "the release folder " + appDir_ + " does not exist";
    }
    modules_ = package::LoadModuleList(appDir_, *this);
    if (modules_.empty()) {
      return "no modules in the release folder " + appDir_ +
             " (no manifest entry and no module folder under Target)";
    }
    if (auto problem = ApplySignalOptions()) return problem;
    // What would stop the run half-way, or send what is not the release's, is refused
    // before connecting.
    package::CheckRelease(appDir_, modules_);
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

std::optional<std::string> CliFrontEnd::ApplySignalOptions() {
  const std::pair<const char*, const std::vector<std::string>*> lists[] = {
      {"--signals", &options_.signals}, {"--no-signals", &options_.noSignals}};
  for (const auto& [option, models] : lists) {
    for (const std::string& model : *models) {
      if (!package::IsSelectableModel(model)) {
        return std::string(option) + ": " + model +
               " has no signal box (the boxes are PNB5, PCW5, PCWX5, SCW5 and SCWH5)";
      }
      if (!CheckBoxEnabled(model)) {
        return std::string(option) + ": the " + model + " box is disabled: the release has no " +
               model + " module with a SIGNAL folder";
      }
    }
  }
  for (const std::string& model : options_.signals) {
    if (std::find(options_.noSignals.begin(), options_.noSignals.end(), model) !=
        options_.noSignals.end()) {
      return "--signals and --no-signals both name " + model;
    }
  }
  // As the operator's clicks would: a tick selects the signals, a tick and untick clears them.
  for (const std::string& model : options_.signals) {
    SetCheckBox(model, true, true);
    package::SelectSignals(modules_, model, true);
  }
  for (const std::string& model : options_.noSignals) {
    SetCheckBox(model, true, false);
    package::SelectSignals(modules_, model, false);
  }
  return std::nullopt;
}

void CliFrontEnd::AddLogLine(const std::string& line) {
  output_.Log(line);
}

void CliFrontEnd::SetProgress(int position) {
  output_.Progress(position, copiedBytes_, totalBytes_);
}

int CliFrontEnd::ShowMessage(const std::string& text, const std::string& caption, int flags) {
  if (flags == package::kMbYesNoQuestion) {
    return AnswerQuestion(text, caption) ? package::kIdYes : package::kIdNo;
  }
  output_.Message(caption, text, flags);
  return package::kIdOk;
}

bool CliFrontEnd::AnswerQuestion(const std::string& text, const std::string& caption) {
  if (options_.compressed) {
    output_.Message(caption, text, package::kMbYesNoQuestion, *options_.compressed ? "yes" : "no");
    return *options_.compressed;
  }
  if (::isatty(STDIN_FILENO) == 0) {
    output_.Message(caption, text, package::kMbYesNoQuestion, "no");
    output_.Notice("no terminal to ask on, so the answer is no (--compressed yes|no answers it)");
    return false;
  }
  output_.Prompt(caption, text);
  std::string reply;
  for (;;) {
    char c;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n == 1) {
      if (c == '\n') break;
      reply.push_back(c);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      if (stop_.Pending()) {
        throw std::runtime_error("Stopped at the compressed-signal question");
      }
      continue;
    }
    break;  // end of input: no
  }
  const bool yes = !reply.empty() && (reply.front() == 'y' || reply.front() == 'Y');
  if (output_.Json()) {
    output_.Message(caption, text, package::kMbYesNoQuestion, yes ? "yes" : "no");
  }
  return yes;
}

bool CliFrontEnd::AskCompressedSignals() {
  return package::AskCompressedSignals(*this, modules_);
}

void CliFrontEnd::SetCheckBox(const std::string& model, bool enabled, bool checked) {
  boxes_[model] = {enabled, checked};
}

bool CliFrontEnd::CheckBoxEnabled(const std::string& model) const {
  const auto it = boxes_.find(model);
  return it != boxes_.end() && it->second.enabled;
}

bool CliFrontEnd::CheckBoxChecked(const std::string& model) const {
  const auto it = boxes_.find(model);
  return it != boxes_.end() && it->second.checked;
}

int CliFrontEnd::InterruptedExitCode() const {
  return 128 + stop_.FirstSignal();
}

void CliFrontEnd::CloseChannels() {
  if (!session_) return;
  stop_.BeginLogOut(kStopLogOutBound);
  try {
    session_->DisconnectInstrument();
  } catch (const std::exception&) {
    // The log-out was cut short; the connection is closed all the same.
  }
}

std::string CliFrontEnd::WrittenSummary(const UpgradeRun& run) const {
  const std::string copied = " (" + Size(copiedBytes_) + " of files copied)";
  std::string written;
  switch (run.Phase()) {
    case RunPhase::kChecks:
      return "nothing was written to the instrument";
    case RunPhase::kMidFolders:
      written = "MID folders and NAME files in /F0:/SYSTEM (perhaps not all)";
      break;
    case RunPhase::kSystemTree:
      written =
          "the MID folders and NAME files and part of the system tree in /F0:/SYSTEM" + copied;
      break;
    case RunPhase::kModuleTrees:
      written =
          "the MID folders and NAME files, the system tree in /F0:/SYSTEM and part of the "
          "module trees" +
          copied;
      break;
    case RunPhase::kConfigRoms:
      written = "every file of the release" + copied +
                "; the configuration ROMs were being programmed, up to slot " +
                std::to_string(run.ConfigSlot()) + " (" +
                (stop_.LetFinishSlot() ? "its configuration was let finish; " : "") +
                "an image may remain on N0:)";
      break;
    case RunPhase::kReported:
      return "the whole release was written";
  }
  return "already written to the instrument: " + written +
         ". Nothing is rolled back; run the upgrade again to complete it";
}

void CliFrontEnd::ReportChecks(const UpgradeRun& run, const std::string& verdict) {
  const CheckFigures& figures = run.Figures();
  nlohmann::ordered_json event = {{"event", "check"}, {"verdict", verdict}};
  std::vector<std::string> lines;
  if (figures.firmwareLevel) {
    event["firmwareLevel"] = *figures.firmwareLevel;
    lines.push_back("Firmware level: " + std::to_string(*figures.firmwareLevel));
  }
  if (figures.freeBytes && figures.totalBytes) {
    event["freeBytes"] = *figures.freeBytes;
    event["totalBytes"] = *figures.totalBytes;
    lines.push_back("Flash drive /F0:/: free " + MegabytesText(*figures.freeBytes) + " MB, total " +
                    MegabytesText(*figures.totalBytes) + " MB");
  }
  if (figures.nqrm5Folder) {
    event["nqrm5Folder"] = *figures.nqrm5Folder;
    lines.push_back(std::string("NQRM5 folder: ") + (*figures.nqrm5Folder ? "present" : "absent"));
  }
  nlohmann::ordered_json slots = nlohmann::ordered_json::array();
  if (session_) {
    for (const instrument::tModuleInfo& record : session_->SlotTable()) {
      slots.push_back(
          {{"slot", record.slot},
           {"model", record.moduleName},
           {"hardwareLevel", instrument::VersionLevel(record.hwMajor, record.hwMinor)},
           {"firmwareLevel", instrument::VersionLevel(record.swMajor, record.swMinor)}});
      lines.push_back("Slot " + std::to_string(record.slot) + ": " + record.moduleName +
                      ", hardware " + Version(record.hwMajor, record.hwMinor) + ", firmware " +
                      Version(record.swMajor, record.swMinor));
    }
  }
  event["slots"] = slots;
  if (figures.freeBytes) {
    event["compressedQuestion"] = run.CompressedQuestionDue();
    lines.push_back(std::string("Compressed-signal question: ") +
                    (run.CompressedQuestionDue() ? "would be asked" : "would not be asked"));
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
    const package::PackageContext context{
        *session_, *this, appDir_, modules_, {fileCount, totalBytes, copiedBytes}};
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

int CliFrontEnd::Finish(int exitCode, const std::string& outcome, const UpgradeRun* run,
                        const std::string& error) {
  nlohmann::ordered_json event = {
      {"event", "outcome"}, {"outcome", outcome}, {"exitCode", exitCode}};
  if (!error.empty()) event["error"] = error;
  if (run) {
    event["written"] = {{"phase", PhaseName(run->Phase())},
                        {"copiedBytes", copiedBytes_},
                        {"totalBytes", totalBytes_}};
  }
  output_.Event(event);
  output_.ReportLine("Result: " + outcome + " (exit code " + std::to_string(exitCode) + ")");
  return exitCode;
}
