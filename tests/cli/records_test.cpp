#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/cli/cli_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

namespace {

using clitest::Finished;
using clitest::Instrument;
using clitest::kRunBound;
using clitest::Lines;
using clitest::MakeRelease;
using clitest::RunCli;
using clitest::StartCli;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using testsupport::ReadFile;
using Json = nlohmann::json;
namespace fs = std::filesystem;

// One line of a trace: "TIME CHANNEL DIRECTION TEXT".
struct TraceLine {
  std::string time, channel, direction, text;
};

std::vector<TraceLine> ParseTrace(const std::string& trace) {
  static const std::regex form(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z) (\S+) (>|<|--) (.*)$)");
  std::vector<TraceLine> lines;
  std::istringstream in(trace);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, form)) << line;
    if (!m.empty()) lines.push_back({m[1], m[2], m[3], m[4]});
  }
  return lines;
}

Lines TextsOf(const std::vector<TraceLine>& lines, const std::string& channel,
              const std::string& direction) {
  Lines texts;
  for (const TraceLine& line : lines) {
    if (line.channel == channel && line.direction == direction) texts.push_back(line.text);
  }
  return texts;
}

// The release's SHA-256 as the README describes it, computed by sha256sum over the bytes the
// test lays out itself: each file's relative path, NUL, its size in decimal, NUL, its contents,
// in byte order of the paths.
std::string ReleaseSha256(const fs::path& release, const fs::path& scratch) {
  std::vector<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(release)) {
    if (entry.is_regular_file()) paths.push_back(fs::relative(entry.path(), release).string());
  }
  std::sort(paths.begin(), paths.end());
  std::string stream;
  for (const std::string& path : paths) {
    const std::string content = ReadFile(release / path);
    stream += path + '\0' + std::to_string(content.size()) + '\0' + content;
  }
  testsupport::WriteFile(scratch, stream);
  testsupport::ChildProcess sum({"/usr/bin/sha256sum", scratch.string()});
  EXPECT_EQ(sum.Wait(kRunBound), 0);
  return sum.Out().substr(0, 64);
}

// Every file below the instrument's F0: drive, as instrument path and size.
std::map<std::string, std::uintmax_t> InstrumentFiles(const fs::path& root) {
  std::map<std::string, std::uintmax_t> files;
  for (const auto& entry : fs::recursive_directory_iterator(root / "F0:")) {
    if (entry.is_regular_file()) {
      files["/F0:/" + fs::relative(entry.path(), root / "F0:").string()] = entry.file_size();
    }
  }
  return files;
}

Json ReadJson(const fs::path& path) {
  return Json::parse(ReadFile(path));
}

// The report and the trace of a whole upgrade hold what the simulator received, field by field.
TEST(CliRecords, ReportAndTraceOfAWholeUpgradeMatchWhatTheInstrumentReceived) {
  testsupport::TempTree out;
  const fs::path release = out.Path() / "release";
  MakeRelease(release);
  auto instrument = Instrument();
  const fs::path report = out.Path() / "run.json";
  const fs::path trace = out.Path() / "run.trace";
  const Finished run =
      RunCli(*instrument, release,
             {"--signals", "PNB5", "--report", report.string(), "--trace", trace.string()});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

  const Json r = ReadJson(report);
  testsupport::ChildProcess version({VXUPGRADE_CLI_PROGRAM, "--version"});
  ASSERT_EQ(version.Wait(kRunBound), 0);
  EXPECT_EQ("vxupgrade-cli " + r["version"].get<std::string>() + "\n", version.Out());
  const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)");
  EXPECT_TRUE(std::regex_match(r["started"].get<std::string>(), time));
  EXPECT_LE(r["started"], r["ended"]);
  Lines phases;
  double phaseSeconds = 0;
  for (const Json& phase : r["phases"]) {
    phases.push_back(phase["phase"]);
    EXPECT_GE(phase["seconds"].get<double>(), 0.0);
    phaseSeconds += phase["seconds"].get<double>();
  }
  EXPECT_EQ(phases, (Lines{"release", "checks", "midFolders", "systemTree", "moduleTrees",
                           "configRoms", "closing"}));
  EXPECT_LE(phaseSeconds, r["seconds"].get<double>() + 1e-3);

  EXPECT_EQ(r["release"]["folder"], release.string() + "/");
  EXPECT_EQ(r["release"]["modules"], Json::parse(R"([
      {"id": 1, "name": "PNB5", "signals": true, "images": []},
      {"id": 2, "name": "PCW5", "signals": false, "images": []},
      {"id": 3, "name": "RKS5", "signals": false, "images": ["rks5.rpd"]}])"));
  EXPECT_EQ(r["release"]["files"], 9);
  EXPECT_EQ(r["release"]["sha256"], ReleaseSha256(release, out.Path() / "stream"));

  const Json& seen = r["instrument"];
  EXPECT_EQ(seen["address"], "127.0.0.1");
  EXPECT_EQ(seen["commandPort"], instrument->Port());
  EXPECT_EQ(seen["ftpPort"], instrument->FtpPort());
  EXPECT_EQ(seen["identity"], Json::parse(R"({"reply": "KOVA/ZEPHLORAN,VX500,SIM00001,V3.0",
      "maker": "KOVA/ZEPHLORAN", "model": "VX500", "serialNumber": "SIM00001",
      "firmware": "V3.0"})"));
  ASSERT_EQ(seen["slots"].size(), 4u);
  EXPECT_EQ(seen["slots"][1], Json::parse(R"({"slot": 1, "model": "RKS5", "hardware": "3.0",
      "hardwareLevel": 300, "firmware": "1.5", "firmwareLevel": 105})"));
  EXPECT_EQ(seen["freeBytes"], 67108864 - 3);  // the old file of 3 bytes
  EXPECT_EQ(seen["totalBytes"], 67108864);
  EXPECT_EQ(seen["nqrm5Folder"], false);

  // What was written is what the instrument holds, file by file, byte for byte.
  const Json& written = r["written"];
  std::map<std::string, std::uintmax_t> reported;
  for (const Json& file : written["files"]) {
    reported[file["path"]] = file["bytes"];
    EXPECT_EQ(
        ReadFile(file["local"].get<std::string>()),
        ReadFile(instrument->Root() / fs::path(file["path"].get<std::string>()).relative_path()))
        << file;
  }
  for (const Json& file : written["nameFiles"]) reported[file["path"]] = file["bytes"];
  auto held = InstrumentFiles(instrument->Root());
  held.erase("/F0:/SYSTEM/old.bin");
  EXPECT_EQ(reported, held);
  EXPECT_EQ(written["midFolders"],
            Json::parse(R"(["/F0:/SYSTEM/MID1", "/F0:/SYSTEM/MID2", "/F0:/SYSTEM/MID3"])"));
  EXPECT_EQ(written["nameFiles"].size(), 3u);
  EXPECT_THAT(written["folders"].get<Lines>(),
              AllOf(Contains("/F0:/SYSTEM/LOGO"), Contains("/F0:/PNB5/SIGNAL"),
                    Not(Contains("/F0:/PCW5/SIGNAL"))));
  EXPECT_EQ(written["configImages"], Json::parse(R"([{"slot": 1, "index": 0,
      "image": "rks5.rpd", "path": "N0:rks5.rpd", "bytes": 10, "result": 0}])"));
  EXPECT_EQ(written["summary"], "the whole release was written");
  EXPECT_EQ(written["phase"], "reported");
  EXPECT_EQ(r["outcome"], "upgraded");
  EXPECT_EQ(r["exitCode"], 0);
  EXPECT_FALSE(r.contains("error"));

  // The trace holds every line both channels carried, in order, the password masked.
  const std::string traceText = ReadFile(trace);
  EXPECT_THAT(traceText, Not(HasSubstr("pelto3318")));
  const auto lines = ParseTrace(traceText);
  ASSERT_FALSE(lines.empty());
  for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_LE(lines[i - 1].time, lines[i].time);
  EXPECT_THAT(lines.front().text, StartsWith("vxupgrade-cli "));
  EXPECT_EQ(lines.back().text, "ended: upgraded (exit code 0)");
  EXPECT_EQ(TextsOf(lines, "command", ">"), instrument->CommandLines());
  Lines ftpSent = instrument->FtpLines();
  std::replace(ftpSent.begin(), ftpSent.end(), std::string("PASS pelto3318"),
               std::string("PASS ****"));
  EXPECT_EQ(TextsOf(lines, "ftp", ">"), ftpSent);
  EXPECT_EQ(TextsOf(lines, "command", "<").front(), "KOVA/ZEPHLORAN,VX500,SIM00001,V3.0");
  EXPECT_EQ(TextsOf(lines, "ftp", "<").front(), "220 VX500 FTP server ready.");
  // One line per data connection, with the bytes of each stored file.
  std::multiset<std::uintmax_t> sent, stored;
  const std::regex data(R"(peer 127\.0\.0\.1:\d+, (\d+) bytes sent in \d+\.\d{6} s)");
  for (const std::string& text : TextsOf(lines, "ftp-data", "--")) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, data)) << text;
    sent.insert(std::stoull(m[1]));
  }
  for (const auto& [path, bytes] : reported) stored.insert(bytes);
  stored.insert(10);  // the configuration image, deleted after use
  EXPECT_EQ(sent, stored);
}

// A refused run and an interrupted one leave a report too, saying how far they got.
TEST(CliRecords, ReportsOfARefusedAndOfAnInterruptedRun) {
  struct Case {
    const char* what;
    std::string scenario;
    const char* awaitedFtpLine;  // interrupted once the instrument has received it
    int exitCode;
    Json expected;  // fields of the report
    std::string said;
  } cases[] = {
      {"refused for its firmware", testsupport::ScenarioText("sim/scenarios/firmware-v2.0.json"),
       nullptr, 1, Json::parse(R"({"outcome": "refused", "exitCode": 1,
           "refusal": {"reason": "firmware", "found": 200, "needed": 201}})"),
       "vxupgrade-cli: refused: the mainframe firmware is level 200; this release needs level "
       "201 (V2.1) or above"},
      // The server takes none of the file, which is larger than the sockets hold, so the
      // upload is still being sent when the signal comes, however slow the machine.
      {"interrupted while a file is being sent",
       R"({"drive": {"total": 1073741824, "free": 1000000000},
           "ftp": {"store": [{"pattern": "*pcw5.bin", "fault": "stall"}]}})",
       "STOR /F0:/PCW5/pcw5.bin", 130,
       Json::parse(R"({"outcome": "interrupted", "exitCode": 130})"),
       "vxupgrade-cli: interrupted while sending "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempTree out;
    const fs::path release = out.Path() / "release";
    MakeRelease(release);
    if (c.awaitedFtpLine) fs::resize_file(release / "Target/PCW5/pcw5.bin", 256u << 20);
    fs::create_directories(out.Path() / "reports");
    const fs::path report = out.Path() / "reports" / "run.json";
    auto instrument = Instrument(c.scenario);
    auto child = StartCli(*instrument, release, {"--report", report.string()});
    if (c.awaitedFtpLine) {
      ASSERT_TRUE(instrument->Transcript().WaitForLine(sim::Transcript::Channel::kFtp,
                                                       c.awaitedFtpLine, kRunBound));
      child->Signal(SIGINT);
    }
    EXPECT_EQ(child->Wait(kRunBound), c.exitCode) << child->Out() << child->Err();
    EXPECT_THAT(child->Err(), HasSubstr(c.said));
    EXPECT_THAT(child->Err(), Not(HasSubstr("Upload failed")));
    // Written whole under its name, and nothing else left in the folder.
    EXPECT_EQ(testsupport::TreeEntries(out.Path() / "reports"),
              (std::set<std::string>{"run.json"}));
    const Json r = ReadJson(report);
    for (const auto& [key, value] : c.expected.items()) EXPECT_EQ(r[key], value) << key;
    EXPECT_EQ(r["instrument"]["identity"]["serialNumber"], "SIM00001");
    const std::string noted = c.said.substr(std::string("vxupgrade-cli: ").size());
    EXPECT_THAT(r["notices"].get<Lines>(), Contains(StartsWith(noted)));
    const Json& written = r["written"];
    if (c.exitCode == 1) {
      EXPECT_EQ(written["phase"], "checks");
      EXPECT_THAT(written["files"], IsEmpty());
      EXPECT_EQ(written["summary"], "nothing was written to the instrument");
    } else {
      EXPECT_EQ(written["phase"], "moduleTrees");
      EXPECT_THAT(written["files"].dump(), HasSubstr("\"/F0:/SYSTEM/vx500.bin\""));
      EXPECT_EQ(written["uploadUnderway"]["path"], "/F0:/PCW5/pcw5.bin");
      EXPECT_EQ(written["uploadUnderway"]["local"], (release / "Target/PCW5/pcw5.bin").string());
      EXPECT_THAT(written["summary"].get<std::string>(),
                  StartsWith("already written to the instrument: the MID folders"));
      EXPECT_THAT(child->Err(), HasSubstr("interrupted while sending " +
                                          (release / "Target/PCW5/pcw5.bin").string() +
                                          " to /F0:/PCW5/pcw5.bin"));
    }
  }
}

// A server that resets the data connection mid-file and then gives its reason: the message and
// the trace hold that reason, the socket error beside it in the message.
TEST(CliRecords, AStoreTheServerGivesUpOnShowsItsReasonInTheMessageAndTheTrace) {
  testsupport::TempTree out;
  const fs::path release = out.Path() / "release";
  MakeRelease(release);
  // Far larger than the sockets hold, so the send is still going when the reset comes.
  fs::resize_file(release / "Target/PCW5/pcw5.bin", 64u << 20);
  auto instrument = Instrument(R"({"drive": {"total": 1073741824, "free": 1000000000},
      "ftp": {"store": [{"pattern": "*pcw5.bin", "fault": "reset", "bytes": 65536}]}})");
  const fs::path trace = out.Path() / "run.trace";
  const Finished run = RunCli(*instrument, release, {"--trace", trace.string()});
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  // The box keeps the client's words; the note puts the server's reason first.
  EXPECT_THAT(run.err, HasSubstr("VX500 Upgrade: 451 Failure writing to local file. (the data "
                                 "connection failed: 10054:Connection reset by peer)"));
  EXPECT_THAT(run.err, HasSubstr("failed: 451 Failure writing to local file. (the FTP "
                                 "connection to the instrument failed: connection reset by "
                                 "peer)"));
  EXPECT_THAT(TextsOf(ParseTrace(ReadFile(trace)), "ftp", "<"),
              Contains("451 Failure writing to local file."));
}

// The release changes while the run goes on: the instrument holds the reply to the STOR of the
// system firmware until the test has made its change. A file that is no longer what was opened,
// or an entry that now leads out of the release, fails the run (exit code 3) with the file and
// the figures or the reason in the message and the report; nothing from outside is sent and no
// configuration ROM is programmed.
TEST(CliRecords, AReleaseChangedDuringTheRunFailsItNamingTheFile) {
  using Change = void (*)(const fs::path& release, const fs::path& secret);
  struct Case {
    const char* what;
    Change change;
    std::string error;
  } cases[] = {
      {"the firmware cut short",
       [](const fs::path& r, const fs::path&) { fs::resize_file(r / "MainFrame/vx500.bin", 1000); },
       "MainFrame/vx500.bin changed while it was being sent: 1000 of 1048576 bytes (it now holds "
       "1000 bytes)"},
      {"the firmware grown",
       [](const fs::path& r, const fs::path&) {
         fs::resize_file(r / "MainFrame/vx500.bin", 2u << 20);
       },
       "MainFrame/vx500.bin changed while it was being sent: 1048576 of 1048576 bytes (it now "
       "holds 2097152 bytes)"},
      {"a module file swapped for a link out of the release",
       [](const fs::path& r, const fs::path& secret) {
         fs::remove(r / "Target/PCW5/pcw5.bin");
         fs::create_symlink(secret, r / "Target/PCW5/pcw5.bin");
       },
       "Target/PCW5/pcw5.bin: it leads out of the release folder, to "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempTree out;
    const fs::path release = out.Path() / "release";
    MakeRelease(release);
    fs::resize_file(release / "MainFrame/vx500.bin", 1u << 20);
    testsupport::WriteFile(out.Path() / "id_rsa", "private key");
    const fs::path report = out.Path() / "run.json";
    auto instrument = Instrument(
        R"({"ftp": {"delay": [{"command": "STOR", "pattern": "*/vx500.bin", "hold": true}]}})");
    auto child = StartCli(*instrument, release, {"--report", report.string()});
    ASSERT_TRUE(instrument->Transcript().WaitForLine(sim::Transcript::Channel::kFtp,
                                                     "STOR /F0:/SYSTEM/vx500.bin", kRunBound));
    c.change(release, out.Path() / "id_rsa");
    instrument->Release();

    EXPECT_EQ(child->Wait(kRunBound), 3) << child->Out() << child->Err();
    EXPECT_THAT(child->Err(), HasSubstr(c.error));
    EXPECT_THAT(child->Out() + child->Err(), Not(HasSubstr("Copy successfully completed")));
    const Json r = ReadJson(report);
    EXPECT_EQ(r["outcome"], "failed");
    EXPECT_THAT(r["error"].get<std::string>(), HasSubstr(c.error));
    EXPECT_FALSE(clitest::Received(instrument->CommandLines(), "CONF:FPGA"));
    for (const auto& entry : fs::recursive_directory_iterator(instrument->Root())) {
      if (entry.is_regular_file()) {
        EXPECT_NE(ReadFile(entry.path()), "private key") << entry;
      }
    }
  }
}

// Where the run cannot go on, a note of the command line's own names the channel, address,
// port and cause, or the figures behind a refusal, or the file being sent; the window's texts
// stay as they are.
TEST(CliRecords, DiagnosticsNameTheChannelAndTheCauseOrTheFigures) {
  struct Case {
    const char* what;
    std::string scenario;
    Lines extra;
    int exitCode;
    std::string note;    // after "vxupgrade-cli: "; PORT stands for the closed port
    const char* window;  // the window's own message, unchanged
    bool closedCommandPort = false;
    bool closedFtpPort = false;
  } cases[] = {
      {"nothing listens on the command port",
       "{}",
       {},
       2,
       "command channel 127.0.0.1:PORT: connection refused",
       "Can't connect VX500.",
       true},
      {"nothing listens on the FTP port",
       "{}",
       {},
       2,
       "FTP 127.0.0.1:PORT: connection refused",
       "VX500 Upgrade: Connection Failed",
       false,
       true},
      {"an address no route leads to",
       "{}",
       {"--ip", "255.255.255.255", "--command-port", "5000"},
       2,
       "command channel 255.255.255.255:5000: network is unreachable",
       "Can't connect VX500."},
      {"too little free space",
       R"({"slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "2.1"}],
           "drive": {"total": 33554432, "free": 2621439}})",
       {},
       1,
       "refused: 2621439 bytes (2.5 MB) free on /F0:/; 2621440 bytes (2.5 MB) needed",
       "There isn't enough space to upgrade VX500."},
      {"a 16 MB flash drive",
       R"({"drive": {"total": 16777216, "free": 10000000}})",
       {},
       1,
       "refused: the flash drive holds 16777216 bytes (16.0 MB) in all; 23003136 bytes (21.9 MB) "
       "needed",
       "Can't update for 16Mb VX500"},
      {"an upload refused by the server",
       R"({"ftp": {"refuse": [{"command": "STOR", "pattern": "*pnb5.bin", "code": 552}]}})",
       {},
       3,
       "the upload of RELEASE/Target/PNB5/pnb5.bin to /F0:/PNB5/pnb5.bin failed: 552 Refused.",
       "VX500 Upgrade ftp: Upload failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempTree release;
    MakeRelease(release.Path());
    auto instrument = Instrument(c.scenario);
    Lines extra = c.extra;
    std::string note = c.note;
    const testsupport::RefusingPort refusing;
    if (c.closedCommandPort || c.closedFtpPort) {
      const int port = refusing.Port();
      extra.insert(extra.end(),
                   {c.closedCommandPort ? "--command-port" : "--ftp-port", std::to_string(port)});
      note.replace(note.find("PORT"), 4, std::to_string(port));
    }
    if (const auto at = note.find("RELEASE"); at != std::string::npos) {
      note.replace(at, 7, release.Path().string());
    }
    const Finished text = RunCli(*instrument, release.Path(), extra);
    EXPECT_EQ(text.exitCode, c.exitCode) << text.out << text.err;
    EXPECT_THAT(text.err, HasSubstr("vxupgrade-cli: " + note + "\n"));
    EXPECT_THAT(text.err, HasSubstr(c.window));

    extra.push_back("--json");
    const Finished json = RunCli(*instrument, release.Path(), extra);
    EXPECT_THAT(clitest::JsonLines(json.out), Contains(Json{{"event", "notice"}, {"text", note}}));
  }
}

// A report or trace path that is a link, a FIFO, a socket or a device is refused before
// connecting: what is there stays as it was, a link's target too, and a FIFO is never opened
// (the open would wait for a reader that never comes).
TEST(CliRecords, RecordPathsThatAreNotFilesAreRefusedBeforeConnecting) {
  struct Case {
    const char* option;
    const char* planted;  // "link", "fifo", "socket", or a path of its own
    const char* why;
  } cases[] = {
      {"--trace", "link", "it is a symbolic link"}, {"--trace", "fifo", "it is a FIFO"},
      {"--trace", "/dev/null", "it is a device"},   {"--report", "link", "it is a symbolic link"},
      {"--report", "fifo", "it is a FIFO"},         {"--report", "socket", "it is a socket"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.option) + " at " + c.planted);
    testsupport::TempTree out;
    MakeRelease(out.Path() / "release");
    const fs::path secret = out.Path() / "root-only" / "secret";
    testsupport::WriteFile(secret, "kept");
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directories(out.Path() / "shared");
    fs::path path = out.Path() / "shared" / "record";
    const std::string planted = c.planted;
    if (planted == "link") {
      fs::create_symlink(secret, path);
    } else if (planted == "fifo") {
      ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
    } else if (planted == "socket") {
      ASSERT_EQ(::mknod(path.c_str(), S_IFSOCK | 0666, 0), 0);
    } else {
      path = planted;
    }
    struct stat before {};
    ASSERT_EQ(::lstat(path.c_str(), &before), 0);
    auto instrument = Instrument();
    const Finished run = RunCli(*instrument, out.Path() / "release", {c.option, path.string()});
    EXPECT_EQ(run.exitCode, 4) << run.out << run.err;
    EXPECT_THAT(run.err, HasSubstr(std::string("vxupgrade-cli: ") + c.option +
                                   ": refusing to write " + path.string() + ": " + c.why + "\n"));
    EXPECT_THAT(instrument->CommandLines(), IsEmpty());
    struct stat after {};
    ASSERT_EQ(::lstat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(ReadFile(secret), "kept");
    // No report left beside it under a temporary name either.
    EXPECT_EQ(std::distance(fs::directory_iterator(out.Path() / "shared"), {}),
              path.parent_path() == out.Path() / "shared" ? 1 : 0);
  }
}

// Sets the test process's umask for as long as it lives, so a child started meanwhile has it.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};

// The report and the trace get the permissions of any new file: 0666 less the umask.
TEST(CliRecords, ReportAndTraceGetTheModeOfANewFileUnderTheUmask) {
  const struct {
    mode_t umask;
    fs::perms mode;
  } cases[] = {{027, fs::perms(0640)}, {002, fs::perms(0664)}, {077, fs::perms(0600)}};
  testsupport::TempTree out;
  MakeRelease(out.Path() / "release");
  auto instrument = Instrument();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.umask);
    const fs::path report = out.Path() / "run.json";
    const fs::path trace = out.Path() / "run.trace";
    fs::remove(report);
    fs::remove(trace);
    std::unique_ptr<testsupport::ChildProcess> child;
    {
      const ScopedUmask mask(c.umask);
      child = StartCli(*instrument, out.Path() / "release",
                       {"--check", "--report", report.string(), "--trace", trace.string()});
    }
    EXPECT_EQ(child->Wait(kRunBound), 0) << child->Out() << child->Err();
    EXPECT_EQ(fs::status(report).permissions(), c.mode);
    EXPECT_EQ(fs::status(trace).permissions(), c.mode);
  }
}

// --version, --help, --quiet, and exit code 5 for an upgrade whose log holds an error.
TEST(CliRecords, VersionHelpQuietAndAnUpgradeWithAnErrorInItsLog) {
  for (const char* option : {"--version", "-V"}) {
    testsupport::ChildProcess version({VXUPGRADE_CLI_PROGRAM, option});
    EXPECT_EQ(version.Wait(kRunBound), 0) << option;
    EXPECT_THAT(version.Out(), StartsWith(std::string("vxupgrade-cli ") + VX_PROJECT_VERSION))
        << option;
  }

  testsupport::ChildProcess help({VXUPGRADE_CLI_PROGRAM, "--help"});
  EXPECT_EQ(help.Wait(kRunBound), 0);
  for (const char* listed : {"--ip",
                             "--package",
                             "--signals",
                             "--no-signals",
                             "--compressed",
                             "--check",
                             "--json",
                             "--command-port",
                             "--ftp-port",
                             "--quiet",
                             "--report",
                             "--trace",
                             "--version",
                             "--help",
                             "  0    upgraded",
                             "  1    refused",
                             "  2    not-connected",
                             "  3    failed",
                             "  4    usage",
                             "  5    upgraded-with-errors",
                             "  129  interrupted",
                             "  130  interrupted",
                             "  143  interrupted"}) {
    EXPECT_THAT(help.Out(), HasSubstr(listed));
  }

  testsupport::TempTree out;
  MakeRelease(out.Path() / "release");
  auto instrument = Instrument();
  const Finished quiet = RunCli(*instrument, out.Path() / "release", {"--quiet"});
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_THAT(quiet.out, StartsWith("VX500 Upgrade Complete: Copy successfully completed !"));
  EXPECT_THAT(quiet.out, EndsWith("\nResult: upgraded (exit code 0)\n"));

  // No temporary folder for the NAME files: the run goes on, as the window's does, and says so.
  auto again = Instrument();
  const fs::path report = out.Path() / "run.json";
  const Finished logged = RunCli(*again, out.Path() / "release", {"--report", report.string()},
                                 {{"TEMP", (out.Path() / "missing").string()}});
  EXPECT_EQ(logged.exitCode, 5) << logged.out << logged.err;
  EXPECT_THAT(logged.out, HasSubstr("*** ERROR ***\nCan't open temporary NAME file\n"));
  EXPECT_THAT(logged.out, HasSubstr("Result: upgraded-with-errors (exit code 5)\n"));
  EXPECT_THAT(logged.err, HasSubstr("vxupgrade-cli: upgraded, but the log holds an error: Can't "
                                    "open temporary NAME file"));
  const Json r = ReadJson(report);
  EXPECT_EQ(r["outcome"], "upgraded-with-errors");
  EXPECT_EQ(r["exitCode"], 5);
  EXPECT_THAT(r["logErrors"].get<Lines>(), Contains("Can't open temporary NAME file"));
  EXPECT_THAT(r["written"]["nameFiles"], IsEmpty());
}

}  // namespace
