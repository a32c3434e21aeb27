#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "tests/cli/cli_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_tree.h"

namespace {

using clitest::kRunBound;
using clitest::Lines;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::UnorderedElementsAreArray;
namespace fs = std::filesystem;

// Runs `argv` to its end; its exit code (-1 when it did not end) and its standard output.
std::pair<int, std::string> RunToEnd(const Lines& argv,
                                     std::map<std::string, std::string> environment = {}) {
  testsupport::ChildProcess child(argv, {.environment = std::move(environment)});
  const int exitCode = child.Wait(std::chrono::seconds(150)).value_or(-1);
  return {exitCode, child.Out() + child.Err()};
}

Lines LinesOf(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The Debian package that CPack makes from the build, unpacked into a staging root with dpkg
// (nothing installed on the machine): every file in place, dependencies read from the
// programs, the command line runs from there and its man pages render.
TEST(Install, TheDebianPackageHoldsTheProgramsTheirPagesAndTheCompletion) {
  testsupport::TempTree work;
  const auto [packed, packing] =
      RunToEnd({VX_CPACK_PROGRAM, "-G", "DEB", "--config", VX_CPACK_CONFIG, "-B",
                (work.Path() / "package").string()});
  ASSERT_EQ(packed, 0) << packing;
  fs::path deb;
  for (const auto& entry : fs::directory_iterator(work.Path() / "package")) {
    if (entry.path().extension() == ".deb") deb = entry.path();
  }
  ASSERT_THAT(deb.filename().string(), StartsWith("vxupgrade_")) << packing;
  const fs::path root = work.Path() / "root";
  ASSERT_EQ(RunToEnd({"/usr/bin/dpkg", "-x", deb.string(), root.string()}).first, 0);

  for (const char* file :
       {"usr/bin/vxupgrade", "usr/bin/vxupgrade-cli", "usr/bin/vx500-sim",
        "usr/share/man/man1/vxupgrade-cli.1.gz", "usr/share/man/man1/vx500-sim.1.gz",
        "usr/share/bash-completion/completions/vxupgrade-cli"}) {
    EXPECT_TRUE(fs::is_regular_file(root / file)) << file;
  }
  const auto [fields, depends] =
      RunToEnd({"/usr/bin/dpkg-deb", "--field", deb.string(), "Depends"});
  EXPECT_EQ(fields, 0);
  EXPECT_THAT(depends, AllOf(HasSubstr("libc6"), HasSubstr("libqt6widgets6")));

  const auto [ran, version] = RunToEnd({(root / "usr/bin/vxupgrade-cli").string(), "--version"});
  EXPECT_EQ(ran, 0);
  EXPECT_THAT(version, StartsWith(std::string("vxupgrade-cli ") + VX_PROJECT_VERSION));

  const struct Page {
    const char* file;
    const char* shows;
  } pages[] = {{"vxupgrade-cli.1.gz", "--ip ADDRESS"}, {"vx500-sim.1.gz", "--root"}};
  for (const Page& page : pages) {
    const auto [rendered, text] =
        RunToEnd({"/usr/bin/man", "-l", (root / "usr/share/man/man1" / page.file).string()},
                 {{"MANPAGER", "cat"}, {"MANWIDTH", "80"}});
    EXPECT_EQ(rendered, 0) << text;
    EXPECT_THAT(text, AllOf(HasSubstr("SYNOPSIS"), HasSubstr(page.shows))) << page.file;
  }
}

// The bash completion offers every option that --help lists, and for an argument what its
// name in --help stands for.
TEST(Install, TheCompletionOffersWhatEachOptionTakes) {
  testsupport::TempTree folder;
  fs::create_directories(folder.Path() / "release");
  testsupport::WriteFile(folder.Path() / "readme", "");
  const std::string at = folder.Path().string() + "/";
  const struct Case {
    Lines words;  // after the program's name; the last one is being completed
    Lines offered;
  } cases[] = {
      {{"--pa"}, {"--package"}},
      {{"--package", at + "re"}, {at + "release"}},
      {{"--report", at + "re"}, {at + "release", at + "readme"}},
      {{"--compressed", ""}, {"yes", "no"}},
      {{"--signals", "PNB5,PC"}, {"PNB5,PCW5", "PNB5,PCWX5"}},
      {{"--ip", ""}, {}},
      {{"--ftp-port", ""}, {}},
  };
  const auto complete = [](const Lines& words) {
    Lines argv = {"/bin/bash",
                  "--norc",
                  "-c",
                  "source \"$1\"; COMP_WORDS=(vxupgrade-cli \"${@:2}\"); COMP_CWORD=$(($# - 1)); "
                  "_vxupgrade_cli 2>/dev/null; printf '%s\\n' \"${COMPREPLY[@]}\"",
                  "bash",
                  VX_CLI_COMPLETION};
    argv.insert(argv.end(), words.begin(), words.end());
    testsupport::ChildProcess bash(argv);
    EXPECT_EQ(bash.Wait(kRunBound), 0);
    Lines offered = LinesOf(bash.Out());
    std::erase(offered, "");
    return offered;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.front());
    EXPECT_THAT(complete(c.words), UnorderedElementsAreArray(c.offered));
  }

  testsupport::ChildProcess help({VXUPGRADE_CLI_PROGRAM, "--help"});
  ASSERT_EQ(help.Wait(kRunBound), 0);
  std::set<std::string> listed;
  for (const std::string& line : LinesOf(help.Out())) {
    if (!line.starts_with("  -")) continue;
    std::istringstream names(line.substr(2, line.find(' ', 2) - 2));
    for (std::string name; std::getline(names, name, ',');) listed.insert(name);
  }
  const Lines options = complete({"-"});
  EXPECT_EQ(std::set<std::string>(options.begin(), options.end()), listed);
}

}  // namespace
