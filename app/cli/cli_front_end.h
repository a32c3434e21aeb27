#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/cli_options.h"
#include "app/cli/cli_output.h"
#include "app/cli/observer_fan_out.h"
#include "app/cli/run_record.h"
#include "app/cli/run_trace.h"
#include "instrument/tfrm_vx500.h"
#include "package/module_list.h"
#include "package/release_digest.h"
#include "package/release_root.h"
#include "upgrade/stop_signals.h"
#include "upgrade/upgrade_run.h"

// The headless front end of the upgrade run: it stands where the window stands (operator view
// and run host), takes the window's choices from the options, writes what the run shows to a
// CliOutput and turns the run's outcome into an exit code. `caught` holds the stop signals
// (Ctrl-C, SIGTERM, SIGHUP); the first stops the run at its next wait (but lets an awaited FPGA
// configuration finish), and after it the channels are closed and what was written is reported.
class CliFrontEnd : public UpgradeEvents {
 public:
  CliFrontEnd(CliOptions options, CliOutput& output, const StopSignals& caught);
  ~CliFrontEnd() override;
  CliFrontEnd(const CliFrontEnd&) = delete;
  CliFrontEnd& operator=(const CliFrontEnd&) = delete;

  // Loads the release, runs the upgrade (or the checks) and returns the exit code.
  int Run();

  // UpgradeEvents
  void ClearLog() override {}
  void AddLogLine(const std::string& line) override;
  void Progress(const package::CopyProgress& progress) override;
  void SetCursor(Cursor) override {}
  int ShowMessage(const std::string& text, const std::string& caption, int flags) override;
  void FtpFailure(const std::string& text) override;
  bool AskCompressedSignals(const std::string& text) override;
  void PhaseStarted(RunPhase phase) override;
  void CopyVerified(const CatalogueCheck& check) override;
  void ReleaseCompared(const CatalogueCheck& check) override;

 private:
  // Loads the release, runs the upgrade and reports how it ended.
  int RunSteps();
  // Opens the trace file and checks the report's path and folder; the usage error's text when
  // one cannot be used (a report path refused as a link, FIFO, socket or device is dropped).
  std::optional<std::string> OpenRecords();
  // A note of the front end's own, also kept for the report.
  void Notice(const std::string& text);
  // The notes that explain how the run ended: the connection's diagnostic, the figures of a
  // refusal, the upload under way when an error stopped it.
  void ExplainEnding(const UpgradeResult& run, bool raised, bool interrupted,
                     const std::string& error);
  // The report document of the run.
  nlohmann::ordered_json ReportJson(int exitCode, const std::string& outcome,
                                    const UpgradeResult* run, const std::string& error) const;
  // Writes the report, when one was asked for.
  void WriteReport(int exitCode, const std::string& outcome, const UpgradeResult* run,
                   const std::string& error);
  // Finds the release, builds its module list, applies the signal options and checks every
  // name it would send; the usage error's text when it cannot be used.
  std::optional<std::string> LoadRelease();
  std::optional<std::string> ApplySignalOptions();
  // The exit code of a run that a signal stopped.
  int InterruptedExitCode() const;
  // The answer to the compressed-signal question: the option, else the terminal, else No.
  bool AnswerQuestion(const std::string& text, const std::string& caption);
  // A line typed on standard input, without its line feed; nothing at the end of input.
  // Raises std::runtime_error when a stop signal interrupts the read.
  std::optional<std::string> ReadAnswerLine();
  void ReportChecks(const UpgradeResult& run, const std::string& verdict);
  // Closes both channels if the run left them open, with a log-out that a new signal or a
  // short bound cuts off.
  void CloseChannels();
  // The closing event (or line) and the exit code.
  int Finish(int exitCode, const std::string& outcome, const UpgradeResult* run,
             const std::string& error = {});

  CliOptions options_;
  CliOutput& output_;
  std::string appDir_;
  package::ModuleList modules_;
  std::int64_t fileCount_ = 0;
  std::int64_t totalBytes_ = 0;
  std::int64_t copiedBytes_ = 0;
  std::unique_ptr<instrument::TfrmVX500> session_;
  package::SignalBoxes boxes_;
  StopRequest stop_;
  std::vector<std::string> notices_;
  std::chrono::system_clock::time_point started_;
  std::optional<package::ReleaseRoot> release_;
  std::optional<package::ReleaseDigest> digest_;
  // Read at start-up: the report, made by mkstemp, is given 0666 less it, as a new file would be.
  mode_t umask_;
  // The session's observer: the recorder alone, or with --trace both through observers_.
  RunRecorder recorder_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> traceFile_{nullptr, &std::fclose};
  std::unique_ptr<RunTrace> trace_;
  ObserverFanOut observers_;
};
