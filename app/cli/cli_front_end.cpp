#include "app/cli/cli_front_end.h"

#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <system_error>

#include <CLI/CLI.hpp>

#include "upgrade/utilities.h"
#include "app/version.h"
#include "net/ipv4.h"
#include "net/text.h"
#include "package/config_rom.h"
#include "package/mid_files.h"
#include "package/release_check.h"
#include "package/tree_upload.h"

namespace {

constexpr char kProgram[] = "vxupgrade-cli";
constexpr const char* kCaption = kUpgradeCaption;

constexpr char kExitCodesHelp[] =
    "Exit codes: each with the outcome that the Result line and the JSON outcome name\n"
    "  0    upgraded; with --check: checks-passed (nothing was written)\n"
    "  1    refused: by a check (damaged flash drive, firmware below V2.1, too little\n"
    "       free space, a 16 MB flash drive, SCWH5 hardware too old) or compressed\n"
    "       signals declined\n"
    "  2    not-connected: could not connect, not a VX500, or an error before the copy\n"
    "       began (silent instrument, garbled reply, FTP log-in refused)\n"
    "  3    failed: an error from the MID folders on (copy, configuration)\n"
    "  4    usage: bad usage, or an unusable release folder (missing, no modules, or\n"
    "       refused by the release check), found before connecting\n"
    "  5    upgraded-with-errors: upgraded, but the log holds an error (a NAME file\n"
    "       that could not be written)\n"
    "  129  interrupted: stopped by SIGHUP (a closed terminal or SSH session)\n"
    "  130  interrupted: stopped by Ctrl-C (SIGINT)\n"
    "  143  interrupted: stopped by SIGTERM\n"
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

// A byte count with its megabytes: "2621439 bytes (2.5 MB)".
std::string BytesAndMegabytes(std::int64_t bytes) {
  return std::to_string(bytes) + " bytes (" + MegabytesText(bytes) + " MB)";
}

const char* RefusalReason(RunRefusal::Kind kind) {
  switch (kind) {
    case RunRefusal::kDriveDamaged:
      return "drive-damaged";
    case RunRefusal::kFirmware:
      return "firmware";
    case RunRefusal::kFreeSpace:
      return "free-space";
    case RunRefusal::kNqrm5Space:
      return "nqrm5-free-space";
    case RunRefusal::kDriveSize:
      return "drive-size";
    case RunRefusal::kCompressedDeclined:
      return "compressed-declined";
    case RunRefusal::kModuleHardware:
      break;
  }
  return "module-hardware";
}

// The figures behind a refusal, as a sentence.
std::string RefusalText(const RunRefusal& refusal) {
  const std::string found = std::to_string(refusal.found);
  const std::string needed = std::to_string(refusal.needed);
  switch (refusal.kind) {
    case RunRefusal::kDriveDamaged:
      return "refused: the flash drive /F0:/ cannot be made the current folder (damaged or not "
             "answering)";
    case RunRefusal::kFirmware:
      return "refused: the mainframe firmware is level " + found + "; this release needs level " +
             needed + " (V2.1) or above";
    case RunRefusal::kFreeSpace:
      return "refused: " + BytesAndMegabytes(refusal.found) + " free on /F0:/; " +
             BytesAndMegabytes(refusal.needed) + " needed";
    case RunRefusal::kNqrm5Space:
      return "refused: " + BytesAndMegabytes(refusal.found) +
             " free on /F0:/ without an NQRM5 folder; " + BytesAndMegabytes(refusal.needed) +
             " needed";
    case RunRefusal::kDriveSize:
      return "refused: the flash drive holds " + BytesAndMegabytes(refusal.found) + " in all; " +
             BytesAndMegabytes(refusal.needed) + " needed";
    case RunRefusal::kCompressedDeclined:
      return "refused: the compressed-signal question was answered no";
    case RunRefusal::kModuleHardware:
      break;
  }
  return "refused: the SCWH5 in slot " + std::to_string(refusal.slot) + " is hardware level " +
         found + "; level " + needed + " or above is needed";
}

nlohmann::ordered_json RefusalJson(const RunRefusal& refusal) {
  nlohmann::ordered_json json = {{"reason", RefusalReason(refusal.kind)}};
  if (refusal.kind != RunRefusal::kDriveDamaged &&
      refusal.kind != RunRefusal::kCompressedDeclined) {
    json["found"] = refusal.found;
    json["needed"] = refusal.needed;
  }
  if (refusal.kind == RunRefusal::kModuleHardware) json["slot"] = refusal.slot;
  return json;
}

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

}  // namespace

const char* OutcomeName(int exitCode, bool checkOnly) {
  switch (exitCode) {
    case kExitUpgraded:
      return checkOnly ? "checks-passed" : "upgraded";
    case kExitRefused:
      return "refused";
    case kExitNoInstrument:
      return "not-connected";
    case kExitFailed:
      return "failed";
    case kExitUsage:
      return "usage";
    case kExitLogError:
      return "upgraded-with-errors";
    default:
      return "interrupted";
  }
}

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
  app.add_flag("--quiet", options.quiet,
               "only messages, notes and errors and the Result line: no log lines, no progress, "
               "no --check figures");
  app.add_option("--report", options.reportPath,
                 "write one JSON record of the run to this file at its end, whatever the "
                 "ending (written to a new file, then renamed over it)");
  app.add_option("--trace", options.tracePath,
                 "write every line of both channels to this file as the run goes, with times "
                 "(the FTP password masked) and one line per data connection");
  app.set_version_flag("--version", std::string(kProgram) + " " + ProgramVersion(),
                       "print the program's version and exit");
  // A wrapper may append an option to a command line that has it already: the last one counts.
  for (CLI::Option* option : app.get_options()) {
    if (option->get_items_expected_max() == 1) {
      option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForVersion& version) {
    std::fprintf(out, "%s\n", version.what());
    return kExitUpgraded;
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
    : options_(std::move(options)),
      output_(output),
      stop_(caught,
            [this](std::int16_t slot) {
              Notice("waiting for the FPGA configuration of slot " + std::to_string(slot) + " (" +
                     session_->SlotModuleName(slot) +
                     ") to finish before stopping; press Ctrl-C again to stop at once");
            }),
      umask_(ProcessUmask()),
      recorder_(!options_.reportPath.empty()) {}

CliFrontEnd::~CliFrontEnd() {
  // The session logs out if it is still connected when it ends; its observers must still be
  // there then, and they are members declared after it.
  session_.reset();
}

int CliFrontEnd::Run() {
  started_ = std::chrono::system_clock::now();
  try {
    return RunSteps();
  } catch (const std::exception& e) {
    // Nothing below is expected to raise here; the run still ends with its outcome and report.
    output_.EndProgress();
    Notice(std::string("error: ") + e.what());
    return Finish(kExitFailed, OutcomeName(kExitFailed, options_.check), nullptr, e.what());
  }
}

int CliFrontEnd::RunSteps() {
  recorder_.BeginPhase("release");
  if (const auto problem = OpenRecords()) {
    Notice(*problem);
    return Finish(kExitUsage, OutcomeName(kExitUsage, options_.check), nullptr, *problem);
  }
  const auto problem = LoadRelease();
  // A large release takes a while to check; a stop signal meanwhile ends it before connecting.
  if (stop_.Requested()) {
    Notice("interrupted before connecting; nothing was written to the instrument");
    const int exitCode = InterruptedExitCode();
    return Finish(exitCode, OutcomeName(exitCode, options_.check), nullptr);
  }
  if (problem) {
    Notice(*problem);
    return Finish(kExitUsage, OutcomeName(kExitUsage, options_.check), nullptr, *problem);
  }
  recorder_.BeginPhase("checks");
  session_ = std::make_unique<instrument::TfrmVX500>(options_.commandPort, options_.ftpPort);
  session_->SetCancelPredicate([this] { return stop_.AtWait(session_->SlotBeingConfigured()); });
  // Without a trace the recorder alone watches the session, and only what it needs: the
  // upload under way, and with --report what was written. No line costs any work for it.
  session_->SetObserver(trace_ ? static_cast<instrument::SessionObserver*>(&observers_)
                               : &recorder_);

  UpgradeRun run(*session_, *this,
                 {options_.ip, *release_, modules_, boxes_, {fileCount_, totalBytes_, copiedBytes_},
                  options_.check ? RunMode::kCheckOnly : RunMode::kUpgrade});
  const UpgradeResult& result = run.Result();
  std::string error;
  bool raised = false;
  try {
    run.Execute();
  } catch (const std::exception& e) {
    raised = true;
    error = ShownErrorText(e.what());
  }
  output_.EndProgress();
  if (recorder_.PhaseName() != "closing") recorder_.BeginPhase("closing");

  int exitCode = ExitCodeOf(result.outcome);
  const bool interrupted = stop_.Requested();
  // Stopped by a signal: an error raised from a wait that a stop signal ended.
  const bool stopped = result.outcome == RunOutcome::kNone && raised && interrupted;
  if (result.outcome == RunOutcome::kNone && raised) {
    // Where the window would show the error and stay open, the front end reports and ends.
    exitCode = stopped                ? InterruptedExitCode()
               : result.WritingStarted() ? kExitFailed
                                      : kExitNoInstrument;
    if (!stopped) output_.Message(kCaption, error, kMbIconError);
  }
  ExplainEnding(result, raised, interrupted, error);
  if (result.outcome != RunOutcome::kNone) {
    // The run had ended (its log-out may have been cut short): its outcome stands.
    if (raised) Notice("while closing the connection: " + error);
    // A signal that came once the run had an outcome stopped nothing: the outcome is the truth.
    if (interrupted) {
      Notice("a stop signal came when the run had nothing left to stop; it ended as reported");
    }
    error.clear();
  }
  const std::vector<std::string> logErrors(result.unwrittenNameFiles.size(),
                                           package::kNameFileError);
  if (exitCode == kExitUpgraded && !logErrors.empty() && !options_.check) {
    exitCode = kExitLogError;
    Notice("upgraded, but the log holds an error: " + Joined(logErrors, "; "));
  }
  if (const std::string& changed = recorder_.ChangedAfterDigest(); !changed.empty()) {
    Notice("the release changed after its SHA-256 was computed: " + net::PrintableText(changed) +
           " as sent is not the file digested, so the report's sha256 is not what was sent");
  }
  CloseChannels();
  // After a stop, and after any ending that left part of the release behind.
  if (stopped || (result.WritingStarted() && exitCode != kExitUpgraded && exitCode != kExitLogError)) {
    Notice(WrittenSummary(result));
  }
  if (options_.check) {
    const char* verdict = exitCode == kExitUpgraded  ? "every check passed"
                          : exitCode == kExitRefused ? "refused"
                                                     : "not checked to the end";
    ReportChecks(result, verdict);
  }
  return Finish(exitCode, OutcomeName(exitCode, options_.check), &result, error);
}

std::optional<std::string> CliFrontEnd::OpenRecords() {
  std::optional<std::string> reportProblem;
  if (!options_.reportPath.empty()) {
    const std::filesystem::path folder =
        std::filesystem::path(options_.reportPath).parent_path().empty()
            ? std::filesystem::path(".")
            : std::filesystem::path(options_.reportPath).parent_path();
    std::error_code ignored;
    if (const auto why = RefusedRecordPath(options_.reportPath)) {
      reportProblem = "--report: refusing to write " + options_.reportPath + ": " + *why;
      // Nothing goes there, not even the record of this refusal.
      options_.reportPath.clear();
    } else if (!std::filesystem::is_directory(folder, ignored) ||
               ::access(folder.c_str(), W_OK | X_OK) != 0) {
      reportProblem =
          "--report: the folder " + folder.string() + " does not exist or cannot be written";
    }
  }
  if (!options_.tracePath.empty()) {
    try {
      net::UniqueFd file = OpenRecordFile(options_.tracePath);
      traceFile_.reset(::fdopen(file.Get(), "w"));
      if (!traceFile_) {
        return "--trace: cannot write " + options_.tracePath + ": " + std::strerror(errno);
      }
      file.Release();
    } catch (const std::runtime_error& e) {
      return std::string("--trace: ") + e.what();
    }
    trace_ = std::make_unique<RunTrace>(traceFile_.get());
    trace_->Note("run", std::string(kProgram) + " " + ProgramVersion() + ", instrument " +
                            options_.ip + ", command port " + std::to_string(options_.commandPort) +
                            ", FTP port " + std::to_string(options_.ftpPort));
    observers_.Add(trace_.get());
    observers_.Add(&recorder_);
  }
  return reportProblem;
}

void CliFrontEnd::Notice(const std::string& text) {
  notices_.push_back(text);
  output_.Notice(text);
}

void CliFrontEnd::ExplainEnding(const UpgradeResult& run, bool raised, bool interrupted,
                                const std::string& error) {
  const std::string& diagnostic = session_->ConnectDiagnostic();
  const auto upload = recorder_.UploadInProgress();
  if (interrupted && raised && run.outcome == RunOutcome::kNone) {
    Notice(upload ? "interrupted while sending " + *upload : "interrupted (" + error + ")");
    return;
  }
  if (!diagnostic.empty()) Notice(diagnostic);
  if (const auto& refusal = run.refusal) {
    if (refusal->kind != RunRefusal::kCompressedDeclined) Notice(RefusalText(*refusal));
  }
  if (raised && upload) Notice("the upload of " + *upload + " failed: " + error);
}

void CliFrontEnd::PhaseStarted(RunPhase phase) {
  recorder_.BeginPhase(phase == RunPhase::kReported ? "closing" : PhaseName(phase));
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
    modules_ = package::LoadModuleList(appDir_, boxes_);
    if (modules_.empty()) {
      return "no modules in the release folder " + appDir_ +
             " (no manifest entry and no module folder under Target)";
    }
    if (auto problem = ApplySignalOptions()) return problem;
    // What would stop the run half-way, or send what is not the release's, is refused
    // before connecting.
    release_.emplace(appDir_);
    const auto stop = [this] { return stop_.Requested(); };
    package::CheckRelease(*release_, modules_, std::numeric_limits<std::size_t>::max(), stop);
    if (!options_.reportPath.empty()) {
      digest_ = package::DigestRelease(*release_, stop);
      recorder_.SetDigestedFiles(&digest_->stamps);
    }
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
      if (!boxes_.Enabled(model)) {
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
  for (const std::string& model : options_.signals) boxes_.Click(modules_, model, true);
  for (const std::string& model : options_.noSignals) boxes_.Click(modules_, model, false);
  return std::nullopt;
}

void CliFrontEnd::AddLogLine(const std::string& line) {
  output_.Log(line);
}

void CliFrontEnd::Progress(const package::CopyProgress& progress) {
  output_.Progress(progress.position, progress.copiedBytes, progress.totalBytes);
}

void CliFrontEnd::FtpFailure(const std::string& text) {
  // A transfer stopped by Ctrl-C is reported as interrupted, not as a failed operation.
  if (stop_.Requested()) return;
  output_.Message(kFtpCaption, text, kMbIconError);
}

int CliFrontEnd::ShowMessage(const std::string& text, const std::string& caption, int flags) {
  if (flags == kMbYesNoQuestion) {
    return AnswerQuestion(text, caption) ? kIdYes : kIdNo;
  }
  output_.Message(caption, text, flags);
  return kIdOk;
}

bool CliFrontEnd::AnswerQuestion(const std::string& text, const std::string& caption) {
  if (options_.compressed) {
    output_.Message(caption, text, kMbYesNoQuestion, *options_.compressed ? "yes" : "no");
    return *options_.compressed;
  }
  if (::isatty(STDIN_FILENO) == 0) {
    output_.Message(caption, text, kMbYesNoQuestion, "no");
    Notice("no terminal to ask on, so the answer is no (--compressed yes|no answers it)");
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
    output_.Message(caption, text, kMbYesNoQuestion, yes ? "yes" : "no");
  }
  return yes;
}

bool CliFrontEnd::AskCompressedSignals(const std::string& text) {
  return AnswerQuestion(text, kCaption);
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

std::string CliFrontEnd::WrittenSummary(const UpgradeResult& run) const {
  const std::string copied = " (" + Size(copiedBytes_) + " of files copied)";
  std::string written;
  switch (run.phase) {
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
                std::to_string(run.configSlot) + " (" +
                (stop_.LetFinishSlot() ? "its configuration was let finish; " : "") +
                "an image may remain on N0:)";
      break;
    case RunPhase::kReported:
      return "the whole release was written";
  }
  return "already written to the instrument: " + written +
         ". Nothing is rolled back; run the upgrade again to complete it";
}

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

nlohmann::ordered_json CliFrontEnd::ReportJson(int exitCode, const std::string& outcome,
                                               const UpgradeResult* run,
                                               const std::string& error) const {
  using Json = nlohmann::ordered_json;
  const auto ended = std::chrono::system_clock::now();
  Json report = {{"program", kProgram},
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
      slots.push_back(
          {{"slot", record.slot},
           {"model", record.moduleName},
           {"hardware", std::to_string(record.hwMajor) + "." + std::to_string(record.hwMinor)},
           {"hardwareLevel", instrument::VersionLevel(record.hwMajor, record.hwMinor)},
           {"firmware", std::to_string(record.swMajor) + "." + std::to_string(record.swMinor)},
           {"firmwareLevel", instrument::VersionLevel(record.swMajor, record.swMinor)}});
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
  written["summary"] = run ? WrittenSummary(*run) : "nothing was written to the instrument";
  report["written"] = written;

  report["outcome"] = outcome;
  report["exitCode"] = exitCode;
  if (!error.empty()) report["error"] = error;
  if (run && run->refusal) report["refusal"] = RefusalJson(*run->refusal);
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

int CliFrontEnd::Finish(int exitCode, const std::string& outcome, const UpgradeResult* run,
                        const std::string& error) {
  recorder_.EndPhases();
  WriteReport(exitCode, outcome, run, error);
  if (trace_)
    trace_->Note("run", "ended: " + outcome + " (exit code " + std::to_string(exitCode) + ")");
  nlohmann::ordered_json event = {
      {"event", "outcome"}, {"outcome", outcome}, {"exitCode", exitCode}};
  if (!error.empty()) event["error"] = error;
  if (run && run->refusal) event["refusal"] = RefusalJson(*run->refusal);
  if (run) {
    event["written"] = {{"phase", PhaseName(run->phase)},
                        {"copiedBytes", copiedBytes_},
                        {"totalBytes", totalBytes_}};
  }
  output_.Event(event);
  output_.ResultLine("Result: " + outcome + " (exit code " + std::to_string(exitCode) + ")");
  return exitCode;
}
