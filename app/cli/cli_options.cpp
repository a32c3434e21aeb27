#include "app/cli/cli_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <sstream>

#include "app/cli/help_format.h"
#include "app/cli/version.h"
#include "net/ipv4.h"
#include "package/module_list.h"

namespace {

constexpr const char* kProgram = kProgramName;

constexpr char kHelpFooter[] =
    "Exit codes (each with its outcome, as the Result line and JSON name it):\n"
    "  0    upgraded; with --check: checks-passed (nothing was written)\n"
    "  1    refused: by a check (damaged flash drive, firmware below V2.1, too little\n"
    "       free space, a 16 MB flash drive, SCWH5 hardware too old) or compressed\n"
    "       signals declined\n"
    "  2    not-connected: could not connect, not a VX500, or an error before the\n"
    "       copy began (silent instrument, garbled reply, FTP log-in refused)\n"
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
    "       (128 + the number of the first signal; the run stops at its next wait,\n"
    "       lets an awaited FPGA configuration finish, closes the channels and\n"
    "       reports what was written)\n"
    "\n"
    "Examples:\n"
    "  vxupgrade-cli --ip 10.0.0.5\n"
    "       upgrade from the release folder that holds this program\n"
    "  vxupgrade-cli --ip 10.0.0.5 --package /srv/vx500/3.2 --signals PNB5,SCWH5\n"
    "       upgrade from that release, with the PNB5 and SCWH5 signal sets\n"
    "  vxupgrade-cli --ip 10.0.0.5 --check\n"
    "       run every check and print the figures; write nothing\n"
    "  vxupgrade-cli --ip 10.0.0.5 --verify\n"
    "       upgrade, and read the copy back before programming the modules\n"
    "  vxupgrade-cli --ip 10.0.0.5 --compare --report audit.json\n"
    "       does the instrument hold this release? write nothing (exit 0 or 6)\n"
    "  vxupgrade-cli --ip 10.0.0.5 --json --report run.json > run.jsonl\n"
    "       one JSON event per line, and the run's record in run.json\n";

// The models that have a signal box, with `separator` between them.
std::string SelectableModels(const char* separator) {
  std::string models;
  for (std::string_view model : package::kSelectableModels) {
    models += (models.empty() ? "" : separator) + std::string(model);
  }
  return models;
}

// The command line's options, bound to `options` (the compressed-signal answer to
// `compressed`). An option's argument is named in --help by its option text, which also tells
// the shell completion what to offer for it.
void AddOptions(CLI::App& app, CliOptions& options, std::string& compressed) {
  app.formatter(std::make_shared<clihelp::HelpFormatter>());
  app.footer(kHelpFooter);
  const CLI::Validator ipv4(
      [](std::string& text) -> std::string {
        return net::ParseIPv4(text) ? "" : "'" + text + "' is not a dotted IPv4 address";
      },
      "");
  const CLI::Validator port = CLI::Range(1, 65535).description("");
  app.add_option("--ip", options.ip, "the instrument's dotted IPv4 address (required)")
      ->option_text("ADDRESS")
      ->required()
      ->check(ipv4);
  app.add_option("--package", options.packageDir,
                 "the release folder (default: the folder that holds this program)")
      ->option_text("DIR");
  app.add_option("--signals", options.signals,
                 "tick these modules' signal boxes (" + SelectableModels(", ") +
                     "); a box the window would disable is refused")
      ->option_text("MODEL,...")
      ->delimiter(',');
  app.add_option("--no-signals", options.noSignals,
                 "tick and untick these modules' boxes, so their signal sets are not copied "
                 "even where the manifest says hasSignal=1")
      ->option_text("MODEL,...")
      ->delimiter(',');
  app.add_option("--compressed", compressed,
                 "the answer to the compressed-signal question; without it the question is "
                 "asked on a terminal and answered no when there is none")
      ->option_text("yes|no")
      ->check(CLI::IsMember({"yes", "no"}).description(""));
  app.add_flag("--check", options.check,
               "connect and run every check, print the figures and the verdict, write nothing");
  CLI::Option* verify = app.add_flag(
      "--verify", options.verify,
      "after the copy, read every file sent back from the instrument's catalogue and fail "
      "(exit 3) before programming when one is missing or has another size");
  app.add_flag("--compare", options.compare,
               "write nothing: compare the instrument's files with the release (exit 0 "
               "matches, 6 differs); not with --check or --verify")
      ->excludes(verify)
      ->excludes("--check");
  verify->excludes("--check");
  app.add_flag("--json", options.json,
               "one JSON object per line on standard output for each event (log, progress, "
               "message, notice, check, outcome)");
  app.add_option(
         "--command-port", options.commandPort,
         "the instrument's command port (default " + std::to_string(instrument::kCommandPort) + ")")
      ->option_text("PORT")
      ->check(port);
  app.add_option("--ftp-port", options.ftpPort,
                 "the instrument's FTP port (default " + std::to_string(instrument::kFtpPort) + ")")
      ->option_text("PORT")
      ->check(port);
  app.add_flag("--quiet", options.quiet,
               "only messages, notes and errors and the Result line: no log lines, no progress, "
               "no --check figures");
  app.add_option("--report", options.reportPath,
                 "write one JSON record of the run to FILE at its end, whatever the ending "
                 "(written to a new file, then renamed over it)")
      ->option_text("FILE");
  app.add_option("--trace", options.tracePath,
                 "write every line of both channels to FILE as the run goes, with times (the "
                 "FTP password masked) and one line per data connection")
      ->option_text("FILE");
  app.set_version_flag("-V,--version", std::string(kProgram) + " " + ProgramVersion(),
                       "print the program's version and exit");
  // Errors name the argument as --help does ("--ip: 1 required ADDRESS missing").
  clihelp::NameArguments(app);
  for (CLI::Option* option : app.get_options()) {
    // A wrapper may append an option to a command line that has it already: the last one counts.
    if (option->get_items_expected_max() == 1) {
      option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
  }
}

CLI::App MakeApp() {
  return CLI::App{
      "Installs a VX500 release onto one instrument without a window: the same checks, copy, "
      "configuration and messages as pressing Copy in vxupgrade.",
      kProgram};
}

// What the arguments that no option took are: the unknown options, else the stray words.
std::string UnknownArguments(const std::vector<std::string>& remaining) {
  std::string options, words;
  for (const std::string& argument : remaining) {
    std::string& list = argument.starts_with("-") ? options : words;
    list += (list.empty() ? "" : " ") + argument;
  }
  if (!options.empty()) return "unknown option: " + options;
  return "unexpected argument: " + words;
}

// The bash code that completes an option's argument, from the name --help gives it; empty for
// an argument the shell cannot guess (an address, a port).
std::string ArgumentCompletion(const std::string& argument) {
  if (argument == "DIR") return "compopt -o filenames; COMPREPLY=($(compgen -d -- \"$cur\"))";
  if (argument == "FILE") return "compopt -o filenames; COMPREPLY=($(compgen -f -- \"$cur\"))";
  if (argument == "MODEL,...") {
    // Each model of the list in turn: the ones already typed stay in front.
    return "local typed=\"\"; [[ $cur == *,* ]] && typed=\"${cur%,*},\"; "
           "COMPREPLY=($(compgen -P \"$typed\" -W \"" +
           SelectableModels(" ") + "\" -- \"${cur##*,}\"))";
  }
  if (argument.find('|') != std::string::npos) {
    std::string words = argument;
    std::replace(words.begin(), words.end(), '|', ' ');
    return "COMPREPLY=($(compgen -W \"" + words + "\" -- \"$cur\"))";
  }
  return {};
}

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
  CLI::App app = MakeApp();
  std::string compressed;
  AddOptions(app, options, compressed);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForVersion& version) {
    std::fprintf(out, "%s\n", version.what());
    return kExitUpgraded;
  } catch (const CLI::Success&) {
    std::fputs(app.help().c_str(), out);
    return kExitUpgraded;
  } catch (const CLI::ParseError& error) {
    // What no option took was set aside before the checks ran, so a mistyped option is told
    // rather than what its absence made missing ("--ip is required").
    const std::string problem =
        app.remaining().empty() ? error.what() : UnknownArguments(app.remaining());
    std::fprintf(err, "%s: %s\nRun with --help for more information.\n", kProgram, problem.c_str());
    return kExitUsage;
  }
  if (!compressed.empty()) options.compressed = compressed == "yes";
  return std::nullopt;
}

std::string BashCompletionScript() {
  CliOptions options;
  std::string compressed;
  CLI::App app = MakeApp();
  AddOptions(app, options, compressed);
  std::string names, cases;
  for (const CLI::Option* option : app.get_options()) {
    std::vector<std::string> spellings;
    for (const std::string& name : option->get_snames()) spellings.push_back("-" + name);
    for (const std::string& name : option->get_lnames()) spellings.push_back("--" + name);
    std::string alternatives;
    for (const std::string& spelling : spellings) {
      names += (names.empty() ? "" : " ") + spelling;
      alternatives += (alternatives.empty() ? "" : "|") + spelling;
    }
    if (option->get_expected_max() == 0) continue;  // a flag
    cases += "    " + alternatives + ")\n";
    const std::string completion = ArgumentCompletion(option->get_option_text());
    if (!completion.empty()) cases += "      " + completion + "\n";
    cases += "      return ;;\n";
  }
  return "# bash completion for " + std::string(kProgram) +
         ", written from its options when it was built\n"
         "_vxupgrade_cli() {\n"
         "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
         "  COMPREPLY=()\n"
         "  case \"$prev\" in\n" +
         cases +
         "  esac\n"
         "  COMPREPLY=($(compgen -W \"" +
         names +
         "\" -- \"$cur\"))\n"
         "}\n"
         "complete -F _vxupgrade_cli " +
         kProgram + "\n";
}
