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
#include "tests/package/recording_view.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

namespace vxtest {

// The upgrade run's host without Qt: a recording operator view, a real session on the
// simulator's two ports (with short bounds), and the window's release recorded as flags.
class RunHost : public UpgradeHost {
 public:
  RunHost(int commandPort, int ftpPort)
      : session(std::make_unique<instrument::TfrmVX500>(commandPort, ftpPort)) {
    using namespace std::chrono_literals;
    instrument::CommandBounds bounds;
    bounds.connect = 5s;
    bounds.reply = 5s;
    session->SetCommandBounds(bounds);
    session->FtpClient.TimeOut = 5000;
    session->SetMessageSink(&view);
  }
  explicit RunHost(const testsupport::SimInstrument& instrument)
      : RunHost(instrument.Port(), instrument.FtpPort()) {}

  RecordingView view;
  std::unique_ptr<instrument::TfrmVX500> session;
  package::ModuleList modules;
  package::ModuleList modulesAtRelease;  // what ReleaseAndClose released
  std::int64_t fileCount = 0, totalBytes = 0, copiedBytes = 0;
  std::string address = "127.0.0.1";
  testsupport::TempTree emptyRelease;
  std::string appDir = emptyRelease.Dir();
  mutable std::optional<package::ReleaseRoot> release;
  // Set by ReleaseAndClose, with the channels' state at that moment.
  bool closed = false;
  bool commandOpenAtRelease = false;
  bool ftpConnectedAtRelease = false;

  package::OperatorView& View() override { return view; }
  instrument::TfrmVX500& Session() override { return *session; }
  const std::string& IpAddressText() const override { return address; }
  // The release is opened when the run first asks for it, as a front end opens it at Copy.
  const package::ReleaseRoot& Release() const override {
    if (!release) release.emplace(appDir);
    return *release;
  }
  package::ModuleList& Modules() override { return modules; }
  package::CopyCounters Counters() override { return {fileCount, totalBytes, copiedBytes}; }
  bool AskCompressedSignals() override { return package::AskCompressedSignals(view, modules); }
  void ReleaseAndClose() override {
    commandOpenAtRelease = session->CommandConnectionOpen();
    ftpConnectedAtRelease = session->FtpClient.Connected();
    modulesAtRelease = std::move(modules);
    modules.clear();
    session.reset();
    closed = true;
  }
};

// The message boxes shown, text, caption and flags, are the expected ones in order.
inline void ExpectMessages(const std::vector<RecordingView::Message>& shown,
                           const std::vector<RecordingView::Message>& expected) {
  ASSERT_EQ(shown.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(shown[i].text, expected[i].text) << i;
    EXPECT_EQ(shown[i].caption, expected[i].caption) << i;
    EXPECT_EQ(shown[i].flags, expected[i].flags) << i;
  }
}

}  // namespace vxtest
