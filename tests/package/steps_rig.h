#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "ftp/ftp_client.h"
#include "package/module_list.h"
#include "package/package_context.h"
#include "package/release_root.h"
#include "tests/support/event_recorder.h"
#include "tests/support/sim_session.h"
#include "tests/support/temp_tree.h"

namespace vxtest {

// A package folder, the simulated instrument (with "/F0:/SYSTEM") and a session connected to
// it with short bounds; the transcript starts empty after the connection. With a starter, the
// session's FTP client talks to that server instead of the simulator's.
class StepsRig : public testsupport::SimSession<testsupport::EventRecorder> {
 public:
  explicit StepsRig(sim::Scenario scenario = {},
                    const testsupport::FtpServerStarter& startFtp = nullptr)
      : SimSession(std::move(scenario), startFtp) {
    std::filesystem::create_directories(F0() / "SYSTEM");
    connected = session.ConnectInstrument("127.0.0.1");
    instrument.Transcript().Clear();
  }
  ~StepsRig() { session.DisconnectInstrument(); }

  package::PackageContext Context() {
    return {session, view, release, modules, {fileCount, totalBytes, copiedBytes}, unwritten};
  }
  std::filesystem::path F0() const { return instrument.Root() / "F0:"; }
  std::filesystem::path N0() const { return instrument.Root() / "N0:"; }

  // FTP lines with the PORT argument, which varies, masked.
  std::vector<std::string> FtpLines() const {
    return testsupport::PortMasked(instrument.FtpLines());
  }
  // The FTP lines that begin with `prefix`.
  std::vector<std::string> FtpLinesStarting(const std::string& prefix) const {
    return testsupport::LinesStarting(instrument.FtpLines(), prefix);
  }

  // Makes the FTP client's failures count as handled, so an upload reports false instead of
  // raising.
  void HandleFtpFailures() {
    session.FtpClient.OnFailure = [this](ftp::TFtpClient&, bool& handled, ftp::TCmdType kind) {
      session.FtpClientFailure(handled, kind);
      handled = true;
    };
  }

  // The session's sink, which the package steps take as their operator view.
  testsupport::EventRecorder& view = sink;
  testsupport::TempTree package;
  std::string appDir = package.Dir();
  package::ReleaseRoot release{appDir};
  bool connected = false;
  package::ModuleList modules;
  std::int64_t fileCount = 0;
  std::int64_t totalBytes = 0;
  std::int64_t copiedBytes = 0;
  std::vector<std::string> unwritten;  // the modules whose NAME file was not written
};

}  // namespace vxtest
