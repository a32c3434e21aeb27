#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "instrument/tfrm_vx500.h"

// The program's name, as its messages, trace and report give it.
inline constexpr char kProgramName[] = "vxupgrade-cli";

// The front end's exit codes.
enum CliExitCode {
  kExitUpgraded = 0,      // upgraded, or with --check every check passed
  kExitRefused = 1,       // a check refused the instrument, or compressed signals were declined
  kExitNoInstrument = 2,  // no connection, not a VX500, or an error before the copy began
  kExitFailed = 3,        // failed or errored from the MID folders on
  kExitUsage = 4,         // bad usage or an unusable release folder
  kExitLogError = 5,      // upgraded, but the log holds an error (a NAME file not written)
  kExitDiffers = 6,       // --compare: the instrument does not hold the release
  // Stopped by a signal: 128 + its number, as a shell reports a program a signal ended.
  kExitSigHup = 129,
  kExitSigInt = 130,
  kExitSigTerm = 143,
};

// The one name of an exit code's outcome, as the Result line and the JSON outcome give it; a
// check-only run that passed is "checks-passed", a comparison "matches" or "differs".
const char* OutcomeName(int exitCode, bool checkOnly, bool compare = false);

// What the command line asks for.
struct CliOptions {
  std::string ip;
  std::string packageDir;  // empty: the folder of the program file
  std::vector<std::string> signals;
  std::vector<std::string> noSignals;
  std::optional<bool> compressed;  // the answer to the compressed-signal question
  bool check = false;
  bool verify = false;   // read the copy back from the catalogues before programming
  bool compare = false;  // compare the instrument with the release; write nothing
  bool json = false;
  bool quiet = false;
  std::string reportPath;  // --report: the run's JSON record, written at the end
  std::string tracePath;   // --trace: both channels, line by line
  int commandPort = instrument::kCommandPort;
  int ftpPort = instrument::kFtpPort;
};

// Parses the command line into `options`. Returns the exit code when the program ends here:
// 0 after --help or --version, kExitUsage after a usage error (its text, naming the option, on
// `err`).
std::optional<int> ParseCliArguments(int argc, char** argv, CliOptions& options, std::FILE* out,
                                     std::FILE* err);

// The bash completion of the program, written from the same options as --help: their names,
// and for each argument what its name in --help stands for (folders for DIR, files for FILE,
// the signal-box models for MODEL,..., the words of yes|no).
std::string BashCompletionScript();
