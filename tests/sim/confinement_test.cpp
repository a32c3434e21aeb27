#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "sim/command_server.h"
#include "sim/drive.h"
#include "sim/ftp_server.h"
#include "sim/transcript.h"
#include "tests/support/loopback.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// Paths that lead out of the root, lexically, through a NUL the system calls would end the
// path at, or through links inside the root; every one is refused by both servers, and nothing
// outside the root is read, made or changed.
TEST(Confinement, BothServersRefuseEveryPathLeavingTheRoot) {
  // The root and a folder beside it, both in a folder of the test's own.
  testsupport::TempTree base;
  const fs::path root = base.Path() / "root";
  const fs::path outside = base.Path() / "outside";
  testsupport::WriteFile(outside / "victim", "original");
  sim::Drive drive(root);
  drive.Prepare(true);
  sim::Transcript transcript;
  sim::CommandServer commandServer(drive, transcript, {}, {.port = 0});
  sim::FtpServer ftpServer(drive, transcript, "127.0.0.1", 0);
  ftpServer.Start();
  const fs::path f0 = root / "F0:";
  fs::create_directory_symlink(outside, f0 / "OUTDIR");
  fs::create_symlink(outside / "victim", f0 / "OUTFILE");
  fs::create_symlink(outside / "absent", f0 / "DANGLING");
  fs::create_symlink(f0 / "LOOP", f0 / "LOOP");
  fs::create_directory_symlink(root.parent_path(), root / "N0:" / "UP");
  const auto outsideBefore = testsupport::Contents(outside);
  const auto aboveBefore = testsupport::Contents(root.parent_path());

  const std::string hostile[] = {
      "/F0:/../..",    "../../..",        "N0:/../../x", "..\0:"s,        "..\0:/x"s,
      "/F0:/..\0x"s,   "\0/F0:/SYSTEM"s,  "/F0:/OUTDIR", "/F0:/OUTDIR/x", "/F0:/OUTFILE",
      "/F0:/DANGLING", "/F0:/DANGLING/x", "/F0:/LOOP",   "N0:/UP",        "N0:UP/x",
  };

  testsupport::LineClient command(commandServer.Port());
  testsupport::LineClient ftp(ftpServer.Port());
  ASSERT_THAT(ftp.ReadLine(), StartsWith("220 "));
  ftp.Send("USER kestro\r\n");
  ASSERT_THAT(ftp.ReadLine(), StartsWith("331 "));
  ftp.Send("PASS pelto3318\r\n");
  ASSERT_THAT(ftp.ReadLine(), StartsWith("230 "));
  auto ask = [](testsupport::LineClient& client, const std::string& line) {
    client.Send(line + "\r\n");
    return client.ReadLine();
  };

  for (const std::string& path : hostile) {
    std::string shown = path;
    for (char& c : shown)
      if (c == '\0') c = '@';
    SCOPED_TRACE("path " + shown);

    // The command server: no current folder there, no folder made, nothing listed.
    command.Send(":MMEM:CDIR \"" + path + "\"\n");
    EXPECT_EQ(ask(command, "MMEM:CDIR?"), "\"/F0:/\"");
    EXPECT_THAT(ask(command, "SYST:ERR?"), Not(StartsWith("0,")));
    command.Send("MMEM:MDIR \"" + path + "/made\"\n");
    EXPECT_THAT(ask(command, "SYST:ERR?"), Not(StartsWith("0,")));
    EXPECT_THAT(ask(command, "MMEM:CAT? \"" + path + "\""), Not(HasSubstr("victim")));
    EXPECT_THAT(ask(command, "SYST:ERR?"), Not(StartsWith("0,")));

    // The FTP server: "550" for every command, with data waiting should a store go ahead.
    EXPECT_THAT(ask(ftp, "CWD " + path), StartsWith("550 "));
    EXPECT_THAT(ask(ftp, "PWD"), StartsWith("257 \"/F0:/\""));
    EXPECT_THAT(ask(ftp, "MKD " + path + "/made"), StartsWith("550 "));
    EXPECT_THAT(ask(ftp, "DELE " + path), StartsWith("550 "));
    for (const std::string& target : {path, path + "/stored"}) {
      std::string pasv = ask(ftp, "PASV");
      ASSERT_THAT(pasv, StartsWith("227 "));
      testsupport::LineClient data(testsupport::PassivePort(pasv));
      data.Send("overwritten");
      ::shutdown(data.Fd(), SHUT_WR);
      EXPECT_THAT(ask(ftp, "STOR " + target), StartsWith("550 ")) << "STOR";
    }
  }
  EXPECT_EQ(testsupport::Contents(outside), outsideBefore);
  EXPECT_EQ(testsupport::Contents(root.parent_path()), aboveBefore);
  EXPECT_TRUE(fs::exists(fs::symlink_status(f0 / "OUTFILE")));

  // A link whose target stays inside the root is followed as any folder.
  fs::create_directory_symlink(f0 / "SYSTEM", f0 / "SYS");
  command.Send(":MMEM:CDIR \"/F0:/SYS\"\n");
  EXPECT_EQ(ask(command, "SYST:ERR?"), "0,\"No error\"");
  EXPECT_THAT(ask(ftp, "MKD /F0:/SYS/made"), StartsWith("257 "));
  EXPECT_TRUE(fs::is_directory(f0 / "SYSTEM" / "made"));
}

}  // namespace
