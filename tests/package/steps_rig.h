#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ftp/ftp_client.h"
#include "instrument/tfrm_vx500.h"
#include "package/module_list.h"
#include "package/package_context.h"
#include "package/release_root.h"
#include "tests/support/event_recorder.h"
#include "upgrade/session_messages.h"
#include "tests/package/temp_tree.h"
#include "tests/sim/sim_fixture.h"

namespace vxtest {

// Starts another FTP server over the simulator's root folder and gives its port.
using FtpServerStarter = std::function<int(const std::filesystem::path& root)>;

// A package folder, the simulated instrument (with "/F0:/SYSTEM") and a session connected to
// it with short bounds; the transcript starts empty after the connection. With a starter, the
// session's FTP client talks to that server instead of the simulator's.
class StepsRig {
 public:
  explicit StepsRig(sim::Scenario scenario = {}, const FtpServerStarter& startFtp = nullptr)
      : instrument(std::move(scenario)),
        session(instrument.Port(), startFtp ? startFtp(instrument.Root()) : instrument.FtpPort()) {
    std::filesystem::create_directories(F0() / "SYSTEM");
    instrument::CommandBounds bounds;
    bounds.connect = std::chrono::seconds(5);
    bounds.reply = std::chrono::seconds(5);
    session.SetCommandBounds(bounds);
    session.FtpClient.TimeOut = 5000;
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
    std::vector<std::string> lines = instrument.FtpLines();
    for (auto& line : lines)
      if (line.rfind("PORT ", 0) == 0) line = "PORT *";
    return lines;
  }
  // The FTP lines that begin with `prefix`.
  std::vector<std::string> FtpLinesStarting(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& line : instrument.FtpLines())
      if (line.rfind(prefix, 0) == 0) out.push_back(line);
    return out;
  }

  // Makes the FTP client's failures count as handled, so an upload reports false instead of
  // raising.
  void HandleFtpFailures() {
    session.FtpClient.OnFailure = [this](ftp::TFtpClient&, bool& handled, ftp::TCmdType kind) {
      session.FtpClientFailure(handled, kind);
      handled = true;
    };
  }

  simtest::SimInstrument instrument;
  TempTree package;
  std::string appDir = package.Dir();
  package::ReleaseRoot release{appDir};
  testsupport::EventRecorder view;
  instrument::TfrmVX500 session;
  // The session's failed FTP operations are shown as the run shows them.
  SessionEventsShown shown{session, view};
  bool connected = false;
  package::ModuleList modules;
  std::int64_t fileCount = 0;
  std::int64_t totalBytes = 0;
  std::int64_t copiedBytes = 0;
  std::vector<std::string> unwritten;  // the modules whose NAME file was not written
};

// Every file (relative path -> content) and folder (relative path + "/" -> "") below `root`.
inline std::map<std::string, std::string> TreeContent(const std::filesystem::path& root) {
  std::map<std::string, std::string> out;
  if (!std::filesystem::exists(root)) return out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string relative = std::filesystem::relative(entry.path(), root).string();
    if (entry.is_directory()) {
      out[relative + "/"] = "";
    } else {
      std::ifstream in(entry.path(), std::ios::binary);
      out[relative] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  return out;
}

}  // namespace vxtest
