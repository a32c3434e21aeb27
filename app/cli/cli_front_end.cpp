#include "app/cli/cli_front_end.h"

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "app/cli/plain_errors.h"
#include "app/cli/run_endings.h"
#include "app/cli/run_report.h"
#include "app/cli/version.h"
#include "net/text.h"
#include "package/mid_files.h"
#include "package/release_check.h"
#include "upgrade/utilities.h"

namespace {

constexpr const char* kProgram = kProgramName;
constexpr const char* kCaption = kUpgradeCaption;

}  // namespace

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
    return Finish(kExitFailed, OutcomeName(kExitFailed, options_.check, options_.compare), nullptr,
                  e.what());
  }
}

int CliFrontEnd::RunSteps() {
  recorder_.BeginPhase("release");
  if (const auto problem = OpenRecords()) {
    Notice(*problem);
    return Finish(kExitUsage, OutcomeName(kExitUsage, options_.check, options_.compare), nullptr,
                  *problem);
  }
  const auto problem = LoadRelease();
  // A large release takes a while to check; a stop signal meanwhile ends it before connecting.
  if (stop_.Requested()) {
    Notice("interrupted before connecting; nothing was written to the instrument");
    const int exitCode = InterruptedExitCode();
    return Finish(exitCode, OutcomeName(exitCode, options_.check, options_.compare), nullptr);
  }
  if (problem) {
    Notice(*problem);
    return Finish(kExitUsage, OutcomeName(kExitUsage, options_.check, options_.compare), nullptr,
                  *problem);
  }
  recorder_.BeginPhase("checks");
  session_ = std::make_unique<instrument::TfrmVX500>(options_.commandPort, options_.ftpPort);
  session_->SetCancelPredicate([this] { return stop_.AtWait(session_->SlotBeingConfigured()); });
  // Without a trace the recorder alone watches the session, and only what it needs: the
  // upload under way, and with --report what was written. No line costs any work for it.
  session_->SetObserver(trace_ ? static_cast<instrument::SessionObserver*>(&observers_)
                               : &recorder_);

  UpgradeRun run(*session_, *this,
                 {options_.ip,
                  *release_,
                  modules_,
                  boxes_,
                  {fileCount_, totalBytes_, copiedBytes_},
                  options_.compare ? RunMode::kCompare
                  : options_.check ? RunMode::kCheckOnly
                                   : RunMode::kUpgrade,
                  options_.verify});
  const UpgradeResult& result = run.Result();
  std::string error;
  std::string boxText;  // as the window's error box shows it
  bool raised = false;
  try {
    run.Execute();
  } catch (const std::exception& e) {
    raised = true;
    boxText = ShownErrorText(e.what());
    error = PlainErrorText(e);
  }
  output_.EndProgress();
  if (recorder_.PhaseName() != "closing") recorder_.BeginPhase("closing");

  int exitCode = ExitCodeOf(result.outcome);
  const bool interrupted = stop_.Requested();
  // Stopped by a signal: an error raised from a wait that a stop signal ended.
  const bool stopped = result.outcome == RunOutcome::kNone && raised && interrupted;
  if (result.outcome == RunOutcome::kNone && raised) {
    // Where the window would show the error and stay open, the front end reports and ends.
    exitCode = stopped                   ? InterruptedExitCode()
               : result.WritingStarted() ? kExitFailed
                                         : kExitNoInstrument;
    if (!stopped) output_.Message(kCaption, boxText, kMbIconError);
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
  if (stopped ||
      (result.WritingStarted() && exitCode != kExitUpgraded && exitCode != kExitLogError)) {
    Notice(WrittenSummary(result, copiedBytes_, stop_.LetFinishSlot().has_value()));
  }
  if (options_.check) {
    const char* verdict = exitCode == kExitUpgraded  ? "every check passed"
                          : exitCode == kExitRefused ? "refused"
                                                     : "not checked to the end";
    ReportChecks(result, verdict);
  }
  return Finish(exitCode, OutcomeName(exitCode, options_.check, options_.compare), &result, error);
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
    Notice(StoppedNote(upload, error));
    return;
  }
  // A diagnostic comes only from a failed connection, a refusal only from a connected run.
  if (const auto& refusal = run.refusal) {
    if (refusal->kind != RunRefusal::kCompressedDeclined) Notice(RefusalText(*refusal));
  }
  for (const std::string& note : ErrorNotes(diagnostic, raised ? upload : std::nullopt, error)) {
    Notice(note);
  }
}

void CliFrontEnd::CopyVerified(const CatalogueCheck& check) {
  if (check.namesOnly) Notice(kNoSizesNotVerified);
  output_.Event({{"event", "verification"}, {"verification", VerificationJson(&check)}});
}

void CliFrontEnd::ReleaseCompared(const CatalogueCheck& check) {
  if (check.namesOnly) Notice(kNoSizesNamesOnly);
  output_.Event({{"event", "comparison"}, {"comparison", ComparisonJson(check)}});
  if (options_.quiet || output_.Json()) return;
  for (const FileOnInstrument& file : check.missing) {
    output_.ReportLine("Missing: " + MismatchText(file, "in the release"));
  }
  for (const FileOnInstrument& file : check.differing) {
    output_.ReportLine("Differs: " + MismatchText(file, "in the release"));
  }
  for (const std::string& extra : check.extras) {
    output_.ReportLine("Extra (not in the release): " + extra);
  }
  output_.ReportLine(
      "Matching: " + std::to_string(check.matching.size()) + " of " +
      std::to_string(check.matching.size() + check.missing.size() + check.differing.size()) +
      " files" + (check.namesOnly ? " (by name only)" : ""));
}

void CliFrontEnd::PhaseStarted(RunPhase phase) {
  recorder_.BeginPhase(phase == RunPhase::kReported ? "closing" : PhaseName(phase));
}

std::optional<std::string> CliFrontEnd::LoadRelease() {
  try {
    appDir_ = ReleaseFolder(options_.packageDir);
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
  bool yes = false;
  // y, yes, n or no in any letter case; an empty line takes the default, no, and so does the
  // end of input. Anything else is asked again.
  while (const auto reply = ReadAnswerLine()) {
    std::string answer = net::WithoutLineEnd(*reply);
    answer.erase(0, answer.find_first_not_of(" \t"));
    answer.erase(answer.find_last_not_of(" \t") + 1);
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (answer == "y" || answer == "yes") {
      yes = true;
      break;
    }
    if (answer.empty() || answer == "n" || answer == "no") break;
    output_.PromptAgain();
  }
  if (output_.Json()) {
    output_.Message(caption, text, kMbYesNoQuestion, yes ? "yes" : "no");
  }
  return yes;
}

std::optional<std::string> CliFrontEnd::ReadAnswerLine() {
  std::string line;
  for (;;) {
    char c;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n == 1) {
      if (c == '\n') return line;
      line.push_back(c);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      if (stop_.Pending()) {
        throw std::runtime_error("Stopped at the compressed-signal question");
      }
      continue;
    }
    if (line.empty()) return std::nullopt;
    return line;  // the last line, without its line feed
  }
}

bool CliFrontEnd::AskCompressedSignals(const std::string& text) {
  return AnswerQuestion(text, kCaption);
}

int CliFrontEnd::InterruptedExitCode() const {
  return 128 + stop_.FirstSignal();
}

void CliFrontEnd::CloseChannels() {
  if (session_) LogOutBounded(stop_, *session_);
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
