#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <string_view>

#include "tests/cli/cli_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

namespace {

using clitest::Instrument;
using clitest::kRunBound;
using clitest::Lines;
using clitest::MakeRelease;
using ::testing::HasSubstr;
using ::testing::Not;
using testsupport::TerminalSize;

// The bar's figures ("  5%  0.0 of 0.1 MB").
const std::regex kFigures(R"(\d%  \d+\.\d of \d+\.\d MB)");

// What a terminal shows after the program's output, for the controls the program uses (CR, LF,
// ESC [ K); a character written past the last column wraps onto the next row, as a terminal
// does.
struct Screen {
  Lines rows{""};
  std::size_t row = 0, column = 0;
  int otherControls = 0;

  void Feed(std::string_view bytes, std::size_t columns) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const char c = bytes[i];
      if (c == '\r') {
        column = 0;
      } else if (c == '\n') {
        NewRow();
      } else if (c == '\x1b') {
        const bool clear = bytes.substr(i, 3) == "\x1b[K";
        if (clear) rows[row].resize(std::min(rows[row].size(), column));
        otherControls += clear ? 0 : 1;
        i += 2;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        ++otherControls;
      } else {
        if (column == columns) NewRow();
        if (rows[row].size() <= column) rows[row].resize(column + 1, ' ');
        rows[row][column++] = c;
      }
    }
  }
  void NewRow() {
    column = 0;
    if (++row == rows.size()) rows.emplace_back();
  }
  // Rows that show the bar, or a piece of it.
  int Bars() const {
    int bars = 0;
    for (const std::string& line : rows) {
      bars += std::regex_search(line, kFigures) || line.starts_with("[#") || line.starts_with("[-")
                  ? 1
                  : 0;
    }
    return bars;
  }
};

// The widest bar drawn in `bytes`: each is drawn from the start of its line.
std::size_t WidestBar(std::string_view bytes) {
  std::size_t widest = 0;
  for (std::size_t start = 0; start < bytes.size();) {
    std::size_t end = bytes.find_first_of("\r\n\x1b", start + 1);
    if (end == std::string_view::npos) end = bytes.size();
    const std::string drawn(bytes.substr(start, end - start));
    if (std::regex_search(drawn, kFigures)) widest = std::max(widest, drawn.size() - 1);
    start = end;
  }
  return widest;
}

// vxupgrade-cli against `instrument` on a pseudo-terminal of `size`.
std::unique_ptr<testsupport::ChildProcess> StartOnTerminal(
    const testsupport::SimInstrument& instrument, const clitest::fs::path& release,
    TerminalSize size, const Lines& extra = {}) {
  return std::make_unique<testsupport::ChildProcess>(
      clitest::CliCommand(instrument, release, extra), testsupport::ChildOptions{.terminal = size});
}

// The bar fits the terminal, and after a resize the new width, without wrapping and without
// leaving a copy of itself behind. The copy is held in the module trees while the terminal is
// resized; what the program writes once it goes on (from "Copying... rks5.bin") is drawn for
// the new width.
TEST(CliTerminal, TheBarFitsTheTerminalAndFollowsItsResizing) {
  const struct Case {
    const char* what;
    unsigned short columns;
    unsigned short resizedTo;  // 0: not resized
    bool barDrawnAfter;        // the bar itself, not only its figures, once the copy goes on
  } cases[] = {
      {"50 columns", 50, 0, true},
      {"shrunk from 60 to 30 columns: the figures alone", 60, 30, false},
      {"grown from 30 to 60 columns: the bar comes back", 30, 60, true},
  };
  testsupport::TempTree release;
  MakeRelease(release.Path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto instrument =
        Instrument(R"({"faults": [{"command": ":MMEM:CDIR", "path": "/F0:/RKS5", "hold": true}]})");
    auto child = StartOnTerminal(*instrument, release.Path(), {c.columns, 24});
    ASSERT_TRUE(instrument->Transcript().WaitForLine(sim::Transcript::Channel::kCommand,
                                                     ":MMEM:CDIR \"/F0://RKS5\"", kRunBound));
    const unsigned short after = c.resizedTo ? c.resizedTo : c.columns;
    if (c.resizedTo) child->ResizeTerminal({c.resizedTo, 24});
    instrument->Release();
    EXPECT_EQ(child->Wait(kRunBound), 0) << child->Out();

    const std::string& out = child->Out();
    const std::size_t resumed = out.find("\r\x1b[KCopying... rks5.bin");
    ASSERT_NE(resumed, std::string::npos) << out;
    // Until the copy goes on, the bar was drawn for the one width or the other; never in the
    // last column, where a terminal would wrap it.
    EXPECT_LT(WidestBar(std::string_view(out).substr(0, resumed)), std::max(c.columns, after));
    EXPECT_LT(WidestBar(std::string_view(out).substr(resumed)), after) << out;
    Screen screen;
    screen.Feed(std::string_view(out).substr(0, resumed), std::max(c.columns, after));
    screen.Feed(std::string_view(out).substr(resumed), after);
    EXPECT_EQ(screen.otherControls, 0) << out;
    EXPECT_EQ(screen.Bars(), 0) << out;  // erased once the copy was over, and never copied
    EXPECT_THAT(out.substr(resumed), HasSubstr("100%  0.0 of 0.0 MB"));
    EXPECT_EQ(out.find("] 100%", resumed) != std::string::npos, c.barDrawnAfter) << out;
  }
}

// On a terminal the compressed-signal question is asked, and asked again after an answer that
// is neither yes nor no; the end of input answers no.
TEST(CliTerminal, TheQuestionIsAskedAgainUntilItIsAnswered) {
  const struct Case {
    Lines typed;  // one line per prompt
    int exitCode;
  } cases[] = {
      {{"maybe\n", "y\n"}, 0},  {{"  YES \n"}, 0}, {{"yup\n", "No\n"}, 1}, {{"\n"}, 1},
      {{"what?\n", "\x04"}, 1},  // Ctrl-D: the end of input
  };
  testsupport::TempTree release;
  MakeRelease(release.Path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed.front());
    auto instrument = Instrument(
        testsupport::ScenarioText("tests/data/scenarios/compressed-question-mainframe-only.json"));
    auto child = StartOnTerminal(*instrument, release.Path(), {80, 24}, {"--signals", "PCW5"});
    ASSERT_TRUE(child->WaitForOutput("Click YES to continue.\r\n[y/N] ", kRunBound))
        << child->Out();
    for (std::size_t i = 0; i < c.typed.size(); ++i) {
      if (i > 0) {
        ASSERT_TRUE(child->WaitForOutput("Please answer yes or no.\r\n[y/N] ", kRunBound))
            << child->Out();
      }
      child->Type(c.typed[i]);
    }
    EXPECT_EQ(child->Wait(kRunBound), c.exitCode) << child->Out();
    const std::size_t asked = c.typed.size() - 1;
    std::size_t again = 0;
    for (std::size_t at = 0; (at = child->Out().find("Please answer", at)) != std::string::npos;
         ++at) {
      ++again;
    }
    EXPECT_EQ(again, asked) << child->Out();
    // Yes selected the PNB5 signals, whose box was enabled but not ticked.
    EXPECT_EQ(clitest::fs::exists(instrument->Root() / "F0:" / "PNB5" / "SIGNAL" / "bars.sig"),
              c.exitCode == 0);
  }
}

}  // namespace
