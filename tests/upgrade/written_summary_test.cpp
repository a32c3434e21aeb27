#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "package/module_list.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"
#include "tests/upgrade/run_host.h"
#include "upgrade/ending_notes.h"

namespace {

constexpr char kAgain[] = ". Nothing is rolled back; run the upgrade again to complete it";

// The "already written" sentence names what the run counted as written, not the phase it
// stopped in: the simulator resets the command connection at one command, after MID folders
// and NAME files that were there already or that the run made.
TEST(WrittenSummary, NamesOnlyWhatTheRunWrote) {
  const struct Case {
    const char* what;
    bool midFilesThere;  // "/F0:/SYSTEM/MID1/NAME" is on the drive before the run
    const char* resetAt;
    const char* path;
    std::string said;
  } cases[] = {
      {"nothing", true, ":MMEM:CDIR", "/F0:/SYSTEM/sub", "nothing was written to the instrument"},
      {"only a MID folder", false, "MMEM:CAT?", "/F0:/SYSTEM/MID1",
       std::string("already written to the instrument: MID folders in /F0:/SYSTEM (perhaps not "
                   "all)") +
           kAgain},
      {"only a folder of the system tree", true, ":MMEM:CDIR", "/F0:/SYSTEM/sub/deeper",
       std::string("already written to the instrument: part of the system tree in /F0:/SYSTEM "
                   "(0 bytes of files copied)") +
           kAgain},
      {"the MID files and nothing of the system tree", false, ":MMEM:CDIR", "/F0:/SYSTEM/sub",
       std::string("already written to the instrument: the MID folders and NAME files") + kAgain},
  };
  testsupport::TempTree package;
  package.File("MainFrame/sub/deeper/boot.bin", "system");
  package.Folder("Target/PNB5");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::SimInstrument instrument(
        testsupport::ScenarioFromText(std::string(R"({"faults": [{"command": ")") + c.resetAt +
                                      R"(", "path": ")" + c.path + R"(", "reset": true}]})"));
    if (c.midFilesThere) {
      testsupport::WriteFile(instrument.Root() / "F0:" / "SYSTEM" / "MID1" / "NAME", "PNB5\r\n");
    }
    vxtest::RunHost host(instrument);
    host.appDir = package.Dir();
    host.modules = package::ScanTargetFolder(host.appDir, host.boxes);
    EXPECT_THROW(host.Run(), std::exception);
    EXPECT_TRUE(host.result.WritingStarted());
    EXPECT_EQ(WrittenSummary(host.result, host.copiedBytes, false), c.said);
  }
}

}  // namespace
