#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "upgrade/upgrade_run.h"
#include "instrument/tfrm_vx500.h"
#include "package/module_list.h"
#include "package/release_root.h"
#include "tests/support/event_recorder.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

namespace vxtest {

// A front end of the upgrade run without Qt: an event recorder, a real session on the
// simulator's two ports (with short bounds), the release with its signal boxes, and the
// window's release and close recorded as flags.
class RunHost {
 public:
  RunHost(int commandPort, int ftpPort)
      : session(std::make_unique<instrument::TfrmVX500>(commandPort, ftpPort)) {
    using namespace std::chrono_literals;
    instrument::CommandBounds bounds;
    bounds.connect = 5s;
    bounds.reply = 5s;
    session->SetCommandBounds(bounds);
    session->FtpClient.TimeOut = 5000;
  }
  explicit RunHost(const testsupport::SimInstrument& instrument)
      : RunHost(instrument.Port(), instrument.FtpPort()) {}

  // One press of Copy: the release is opened first, as a front end opens it at Copy. `result`
  // holds how the run went, also when an error leaves it; a run that asks for release and
  // close gets it.
  void Run(RunMode mode = RunMode::kUpgrade) {
    if (!release) release.emplace(appDir);
    UpgradeRun run(*session, view,
                   {address, *release, modules, boxes, {fileCount, totalBytes, copiedBytes}, mode});
    struct KeepResult {
      const UpgradeRun& run;
      UpgradeResult& result;
      ~KeepResult() { result = run.Result(); }
    } keep{run, result};
    run.Execute();
    if (run.Result().releaseAndClose) ReleaseAndClose();
  }

  testsupport::EventRecorder view;
  std::unique_ptr<instrument::TfrmVX500> session;
  package::ModuleList modules;
  package::SignalBoxes boxes;
  package::ModuleList modulesAtRelease;  // what ReleaseAndClose released
  std::int64_t fileCount = 0, totalBytes = 0, copiedBytes = 0;
  std::string address = "127.0.0.1";
  testsupport::TempTree emptyRelease;
  std::string appDir = emptyRelease.Dir();
  std::optional<package::ReleaseRoot> release;
  UpgradeResult result;
  // Set by ReleaseAndClose, with the channels' state at that moment.
  bool closed = false;
  bool commandOpenAtRelease = false;
  bool ftpConnectedAtRelease = false;

 private:
  void ReleaseAndClose() {
    commandOpenAtRelease = session->CommandConnectionOpen();
    ftpConnectedAtRelease = session->FtpClient.Connected();
    modulesAtRelease = std::move(modules);
    modules.clear();
    session.reset();
    closed = true;
  }
};

// The message boxes shown, text, caption and flags, are the expected ones in order.
inline void ExpectMessages(const std::vector<testsupport::EventRecorder::Message>& shown,
                           const std::vector<testsupport::EventRecorder::Message>& expected) {
  ASSERT_EQ(shown.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(shown[i].text, expected[i].text) << i;
    EXPECT_EQ(shown[i].caption, expected[i].caption) << i;
    EXPECT_EQ(shown[i].flags, expected[i].flags) << i;
  }
}

}  // namespace vxtest
