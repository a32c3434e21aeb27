#include "app/cli/cli_options.h"

#include <CLI/CLI.hpp>

#include "app/cli/version.h"
#include "net/ipv4.h"

namespace {

constexpr const char* kProgram = kProgramName;

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
    "  6    differs: with --compare, a file of the release is missing on the\n"
    "       instrument or listed at another size (0 is then: matches)\n"
    "  129  interrupted: stopped by SIGHUP (a closed terminal or SSH session)\n"
    "  130  interrupted: stopped by Ctrl-C (SIGINT)\n"
    "  143  interrupted: stopped by SIGTERM\n"
    "       (128 + the number of the first signal; the run stops at its next wait, lets an\n"
    "       awaited FPGA configuration finish, closes the channels and reports what was\n"
    "       written)\n";

}  // namespace

const char* OutcomeName(int exitCode, bool checkOnly, bool compare) {
  switch (exitCode) {
    case kExitUpgraded:
      return compare ? "matches" : checkOnly ? "checks-passed" : "upgraded";
    case kExitDiffers:
      return "differs";
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
  CLI::Option* verify = app.add_flag(
      "--verify", options.verify,
      "after the copy, read every file sent back from the instrument's catalogue and fail "
      "(exit 3) before programming when one is missing or has another size");
  app.add_flag("--compare", options.compare,
               "write nothing: compare the instrument's files with the release (exit 0 "
               "matches, 6 differs)")
      ->excludes(verify)
      ->excludes("--check");
  verify->excludes("--check");
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
  app.set_version_flag("-V,--version", std::string(kProgram) + " " + ProgramVersion(),
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
