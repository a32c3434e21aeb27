#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/cli_output.h"
#include "app/stop_signals.h"
#include "app/upgrade_run.h"
#include "instrument/tfrm_vx500.h"
#include "package/module_list.h"
#include "package/operator_view.h"

// The front end's exit codes.
enum CliExitCode {
  kExitUpgraded = 0,      // upgraded, or with --check every check passed
  kExitRefused = 1,       // a check refused the instrument, or compressed signals were declined
  kExitNoInstrument = 2,  // no connection, not a VX500, or an error before the copy began
  kExitFailed = 3,        // failed or errored from the MID folders on
  kExitUsage = 4,         // bad usage or an unusable release folder
  // Stopped by a signal: 128 + its number, as a shell reports a program a signal ended.
  kExitSigHup = 129,
  kExitSigInt = 130,
  kExitSigTerm = 143,
};

// What the command line asks for.
struct CliOptions {
  std::string ip;
  std::string packageDir;  // empty: the folder of the program file
  std::vector<std::string> signals;
  std::vector<std::string> noSignals;
  std::optional<bool> compressed;  // the answer to the compressed-signal question
  bool check = false;
  bool json = false;
  int commandPort = instrument::kCommandPort;
  int ftpPort = instrument::kFtpPort;
};

// Parses the command line into `options`. Returns the exit code when the program ends here:
// 0 after --help, kExitUsage after a usage error (its text, naming the option, on `err`).
std::optional<int> ParseCliArguments(int argc, char** argv, CliOptions& options, std::FILE* out,
                                     std::FILE* err);

// The headless front end of the upgrade run: it stands where the window stands (operator view
// and run host), takes the window's choices from the options, writes what the run shows to a
// CliOutput and turns the run's outcome into an exit code. `caught` holds the stop signals
// (Ctrl-C, SIGTERM, SIGHUP); the first stops the run at its next wait (but lets an awaited FPGA
// configuration finish), and after it the channels are closed and what was written is reported.
class CliFrontEnd : public package::OperatorView, public UpgradeHost {
 public:
  CliFrontEnd(CliOptions options, CliOutput& output, const StopSignals& caught);
  ~CliFrontEnd() override;
  CliFrontEnd(const CliFrontEnd&) = delete;
  CliFrontEnd& operator=(const CliFrontEnd&) = delete;

  // Loads the release, runs the upgrade (or the checks) and returns the exit code.
  int Run();

  // package::OperatorView
  void ClearLog() override {}
  void AddLogLine(const std::string& line) override;
  void SetProgress(int position) override;
  void SetCursor(package::Cursor) override {}
  int ShowMessage(const std::string& text, const std::string& caption, int flags) override;
  void SetCheckBox(const std::string& model, bool enabled, bool checked) override;
  bool CheckBoxEnabled(const std::string& model) const override;
  bool CheckBoxChecked(const std::string& model) const override;

  // UpgradeHost
  package::OperatorView& View() override { return *this; }
  instrument::TfrmVX500& Session() override { return *session_; }
  const std::string& IpAddressText() const override { return options_.ip; }
  const std::string& AppDir() const override { return appDir_; }
  package::ModuleList& Modules() override { return modules_; }
  package::CopyCounters Counters() override { return {fileCount_, totalBytes_, copiedBytes_}; }
  bool AskCompressedSignals() override;
  void ReleaseAndClose() override { released_ = true; }

 private:
  struct Box {
    bool enabled = false;
    bool checked = false;
  };

  // Finds the release, builds its module list, applies the signal options and checks every
  // name it would send; the usage error's text when it cannot be used.
  std::optional<std::string> LoadRelease();
  std::optional<std::string> ApplySignalOptions();
  // The exit code of a run that a signal stopped.
  int InterruptedExitCode() const;
  // The answer to the compressed-signal question: the option, else the terminal, else No.
  bool AnswerQuestion(const std::string& text, const std::string& caption);
  std::string WrittenSummary(const UpgradeRun& run) const;
  void ReportChecks(const UpgradeRun& run, const std::string& verdict);
  // Closes both channels if the run left them open, with a log-out that a new signal or a
  // short bound cuts off.
  void CloseChannels();
  // The closing event (or line) and the exit code.
  int Finish(int exitCode, const std::string& outcome, const UpgradeRun* run,
             const std::string& error = {});

  CliOptions options_;
  CliOutput& output_;
  std::string appDir_;
  package::ModuleList modules_;
  std::int64_t fileCount_ = 0;
  std::int64_t totalBytes_ = 0;
  std::int64_t copiedBytes_ = 0;
  std::unique_ptr<instrument::TfrmVX500> session_;
  std::map<std::string, Box, std::less<>> boxes_;
  StopRequest stop_;
  bool released_ = false;
};
