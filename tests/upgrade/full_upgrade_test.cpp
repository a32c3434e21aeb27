#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "package/module_list.h"
#include "package/tree_upload.h"
#include "tests/support/child_process.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"
#include "tests/upgrade/run_host.h"
#include "upgrade/upgrade_run.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Content = std::map<std::string, std::string>;
using Message = testsupport::EventRecorder::Message;
using vxtest::ExpectMessages;
using Modules = std::vector<std::pair<int, std::string>>;  // MID number, model name

std::string Joined(const Lines& lines) {
  std::string all;
  for (const auto& line : lines) all += "  [" + line + "]\n";
  return all;
}

// The lines one local folder adds to the log: its own entries' lines in any order (file-system
// order varies), each subfolder's lines all together (a subtree is copied whole before the next
// entry).
struct LogFolder {
  Lines lines;
  std::vector<LogFolder> folders;
};
using LogItem = std::variant<std::string, LogFolder>;

bool Holds(const LogFolder& folder, const std::string& line) {
  for (const auto& own : folder.lines)
    if (own == line) return true;
  for (const auto& sub : folder.folders)
    if (Holds(sub, line)) return true;
  return false;
}

std::size_t LineCount(const LogFolder& folder) {
  std::size_t count = folder.lines.size();
  for (const auto& sub : folder.folders) count += LineCount(sub);
  return count;
}

// Takes the lines of `folder` from log[pos...]; false when they are not what a depth-first copy
// of it logs. Names are unique across the package, so a line tells its folder.
bool Consume(const Lines& log, std::size_t& pos, const LogFolder& folder) {
  Lines own = folder.lines;
  std::vector<const LogFolder*> subs;
  for (const auto& sub : folder.folders)
    if (LineCount(sub) != 0) subs.push_back(&sub);
  while (!own.empty() || !subs.empty()) {
    if (pos >= log.size()) return false;
    if (const auto it = std::find(own.begin(), own.end(), log[pos]); it != own.end()) {
      own.erase(it);
      ++pos;
      continue;
    }
    const auto sub = std::find_if(subs.begin(), subs.end(),
                                  [&](const LogFolder* f) { return Holds(*f, log[pos]); });
    if (sub == subs.end()) return false;
    const LogFolder* next = *sub;
    subs.erase(sub);
    if (!Consume(log, pos, *next)) return false;
  }
  return true;
}

bool LogMatches(const Lines& log, const std::vector<LogItem>& expected) {
  std::size_t pos = 0;
  for (const LogItem& item : expected) {
    if (const auto* line = std::get_if<std::string>(&item)) {
      if (pos >= log.size() || log[pos] != *line) return false;
      ++pos;
    } else if (!Consume(log, pos, std::get<LogFolder>(item))) {
      return false;
    }
  }
  return pos == log.size();
}

// The part an instrument path belongs to: "MID" for the MID folders, "SYSTEM" for the system
// tree, the model name for a module tree; empty for the drive and the system folder themselves
// (they are only the parents of folders being made).
std::string PartOf(std::string path) {
  for (std::size_t at; (at = path.find("//")) != std::string::npos;) path.erase(at, 1);
  const std::string drive = "/F0:/";
  if (path.rfind(drive, 0) != 0) return "";
  const std::string rest = path.substr(drive.size());
  if (rest.rfind("SYSTEM/MID", 0) == 0) return "MID";
  const std::string first = rest.substr(0, rest.find('/'));
  return first == rest && first == "SYSTEM" ? "" : first;
}

std::string Quoted(const std::string& line) {
  const auto open = line.find('"');
  const auto close = line.rfind('"');
  return open == close ? "" : line.substr(open + 1, close - open - 1);
}

// The parts of the upgrade in the order the instrument met them on both channels, from the
// MID folders ("TYPE A") on, or from the first line when `fromStart`; the configuration's lines
// count as "config". Repeats are merged, so a part that comes back after another shows twice.
Lines PartsInOrder(const std::vector<sim::Transcript::Entry>& entries, bool fromStart = false) {
  Lines parts;
  bool started = fromStart;
  std::string current;  // the last folder made current on the command channel
  for (const auto& entry : entries) {
    const std::string& line = entry.line;
    const auto starts = [&line](const char* prefix) { return line.rfind(prefix, 0) == 0; };
    started = started || line == "TYPE A";
    if (!started) continue;
    std::string part;
    if (starts(":MMEM:CDIR ")) {
      current = Quoted(line);
      part = PartOf(current);
    } else if (starts("MMEM:MDIR ")) {
      part = PartOf(current + "/" + Quoted(line));
    } else if (starts("MMEM:CAT? ")) {
      part = PartOf(Quoted(line));
    } else if (starts("STOR ")) {
      const std::string target = line.substr(5);
      part = target.find('/') == std::string::npos ? "config" : PartOf(target);
    } else if (starts("CWD N0:") || starts("INST:NSEL ") || starts("CONF:FPGA ") ||
               starts("DELE ")) {
      part = "config";
    }
    if (!part.empty() && (parts.empty() || parts.back() != part)) parts.push_back(part);
  }
  return parts;
}

// `size` bytes that begin with `name`, so no two files of the package hold the same bytes.
std::string Bytes(const std::string& name, std::size_t size) {
  return name + testsupport::Pattern(size - name.size());
}

const char kManifest[] =
    "; written with CR LF, as the release tools do\r\n"
    "[ENTRY 1]\r\nid=1\r\nname=RKS5\r\nhasSignal=1\r\nrpdFile1=rks5.rpd\r\n"
    "[ENTRY 2]\r\nid=2\r\nname=PCWX5\r\nhasSignal=0\r\nrpdFile1=pcwx5_0.rpd\r\n"
    "rpdFile2=pcwx5_1.rpd\r\n"
    "[ENTRY 3]\r\nid=3\r\nname=PNB5\r\nhasSignal=0\r\n";

// Every file of the package folder (the manifest aside), by its path in the package.
const Content& PackageFiles() {
  static const Content files = {
      {"MainFrame/vx500.bin", Bytes("vx500", 70'000)},
      {"MainFrame/boot.cfg", "boot=F0:/SYSTEM/vx500.bin\r\n"},
      {"MainFrame/old.rpd", "a stale image"},
      {"MainFrame/.hidden", "never measured, never sent"},
      {"MainFrame/LOGO/logo.bmp", Bytes("logo", 4096)},
      {"MainFrame/SIGNAL/sys.sig", "the system tree's SIGNAL folder is always copied"},
      {"Target/RKS5/rks5.bin", Bytes("rks5", 20'000)},
      {"Target/RKS5/SIGNAL/r.sig", "rks5 signal"},
      {"Target/RKS5/FLEX/rks5.rpd", Bytes("rks5 image", 16'384)},
      {"Target/PCWX5/pcwx5.bin", Bytes("pcwx5", 20'001)},
      {"Target/PCWX5/SIGNAL/multiburst.sig", Bytes("multiburst", 8192)},
      {"Target/PCWX5/SIGNAL/HD/window.sig", "hd window"},
      {"Target/PCWX5/sub/SIGNAL/deep.sig", "a nested SIGNAL folder is always copied"},
      {"Target/PCWX5/FLEX/pcwx5_0.rpd", Bytes("pcwx5 image 0", 16'000)},
      {"Target/PCWX5/FLEX/PCWX5_1.RPD", Bytes("pcwx5 image 1", 16'001)},
      {"Target/PNB5/pnb5.bin", Bytes("pnb5", 20'002)},
      {"Target/PNB5/SIGNAL/colorbar.sig", "colour bars"},
  };
  return files;
}
std::string FileOf(const std::string& path) {
  return PackageFiles().at(path);
}

const Modules kManifestModules = {{1, "RKS5"}, {2, "PCWX5"}, {3, "PNB5"}};
// The folder scan numbers the modules by the byte order of their folder names.
const Modules kScannedModules = {{1, "PCWX5"}, {2, "PNB5"}, {3, "RKS5"}};

// What the drive holds before the run.
constexpr char kFirmwareOnDrive[] = "the instrument's own firmware";

// The flash drive once the MID folders are made (NAME files end with `lineEnd`).
Content MidFolders(const Modules& modules, const std::string& lineEnd = "\r\n") {
  Content flash = {{"SYSTEM/", ""}, {"SYSTEM/vx500.bin", kFirmwareOnDrive}};
  for (const auto& [id, name] : modules) {
    const std::string folder = "SYSTEM/MID" + std::to_string(id) + "/";
    flash[folder] = "";
    flash[folder + "NAME"] = name + lineEnd;
  }
  return flash;
}

// The flash drive after every copy, with the SIGNAL folders of `signals`.
Content Installed(const Modules& modules, const std::set<std::string>& signals,
                  const std::string& lineEnd = "\r\n") {
  Content flash = MidFolders(modules, lineEnd);
  // The release's firmware is stored over the instrument's.
  flash["SYSTEM/vx500.bin"] = FileOf("MainFrame/vx500.bin");
  flash.insert({
      {"SYSTEM/boot.cfg", FileOf("MainFrame/boot.cfg")},
      {"SYSTEM/LOGO/", ""},
      {"SYSTEM/LOGO/logo.bmp", FileOf("MainFrame/LOGO/logo.bmp")},
      {"SYSTEM/SIGNAL/", ""},
      {"SYSTEM/SIGNAL/sys.sig", FileOf("MainFrame/SIGNAL/sys.sig")},
      {"RKS5/", ""},
      {"RKS5/rks5.bin", FileOf("Target/RKS5/rks5.bin")},
      {"RKS5/FLEX/", ""},
      {"PCWX5/", ""},
      {"PCWX5/pcwx5.bin", FileOf("Target/PCWX5/pcwx5.bin")},
      {"PCWX5/FLEX/", ""},
      {"PCWX5/sub/", ""},
      {"PCWX5/sub/SIGNAL/", ""},
      {"PCWX5/sub/SIGNAL/deep.sig", FileOf("Target/PCWX5/sub/SIGNAL/deep.sig")},
      {"PNB5/", ""},
      {"PNB5/pnb5.bin", FileOf("Target/PNB5/pnb5.bin")},
  });
  if (signals.count("RKS5")) {
    flash.insert({{"RKS5/SIGNAL/", ""}, {"RKS5/SIGNAL/r.sig", FileOf("Target/RKS5/SIGNAL/r.sig")}});
  }
  if (signals.count("PCWX5")) {
    flash.insert({{"PCWX5/SIGNAL/", ""},
                  {"PCWX5/SIGNAL/multiburst.sig", FileOf("Target/PCWX5/SIGNAL/multiburst.sig")},
                  {"PCWX5/SIGNAL/HD/", ""},
                  {"PCWX5/SIGNAL/HD/window.sig", FileOf("Target/PCWX5/SIGNAL/HD/window.sig")}});
  }
  if (signals.count("PNB5")) {
    flash.insert({{"PNB5/SIGNAL/", ""},
                  {"PNB5/SIGNAL/colorbar.sig", FileOf("Target/PNB5/SIGNAL/colorbar.sig")}});
  }
  return flash;
}

// The bytes of the package files on the flash drive (the MID folders' NAME files aside).
std::int64_t CopiedBytes(const Content& flash) {
  std::int64_t bytes = 0;
  for (const auto& [path, content] : flash)
    if (path.rfind("SYSTEM/MID", 0) != 0) bytes += static_cast<std::int64_t>(content.size());
  return bytes;
}

// The log lines of each tree; `extra` adds lines to a tree's top folder ("SYSTEM" or a model).
using ExtraLines = std::multimap<std::string, std::string>;

LogFolder TreeLog(const std::string& tree, const std::set<std::string>& signals,
                  const ExtraLines& extra) {
  LogFolder folder;
  if (tree == "SYSTEM") {
    folder = {{"Copying... vx500.bin", "Copying... boot.cfg", "Skipping... old.rpd"},
              {{{"Copying... logo.bmp"}, {}}, {{"Copying... sys.sig"}, {}}}};
  } else if (tree == "RKS5") {
    folder = {{"Copying... rks5.bin"}, {{{"Skipping... rks5.rpd"}, {}}}};
    if (signals.count(tree)) folder.folders.push_back({{"Copying... r.sig"}, {}});
  } else if (tree == "PCWX5") {
    folder = {{"Copying... pcwx5.bin"},
              {{{"Skipping... pcwx5_0.rpd", "Skipping... PCWX5_1.RPD"}, {}},
               {{}, {{{"Copying... deep.sig"}, {}}}}}};
    if (signals.count(tree))
      folder.folders.push_back({{"Copying... multiburst.sig"}, {{{"Copying... window.sig"}, {}}}});
  } else if (tree == "PNB5") {
    folder = {{"Copying... pnb5.bin"}, {}};
    if (signals.count(tree)) folder.folders.push_back({{"Copying... colorbar.sig"}, {}});
  }
  const auto [from, to] = extra.equal_range(tree);
  for (auto it = from; it != to; ++it) folder.lines.push_back(it->second);
  return folder;
}

// How far a run got.
enum class Reach {
  kMidFolders,  // the MID folders only: ended before any tree was copied
  kCopies,      // every copy up to the last module's, then ended before "Copy completed!"
  kConfig,      // the copies, "Copy completed!" and the configuration of the slots
};

// The log of a run that got so far, with the modules in `order`; `configLines` after
// "Program Config ROMs ...".
std::vector<LogItem> ExpectedLog(Reach reach, const Lines& order,
                                 const std::set<std::string>& signals, const ExtraLines& extra,
                                 const Lines& configLines) {
  std::vector<LogItem> log = {"Connecting VX500 ..."};
  if (reach == Reach::kMidFolders) return log;
  log.insert(log.end(), {"", "Copying System files ...", TreeLog("SYSTEM", signals, extra),
                         "Copying ALL modules ..."});
  for (const auto& name : order) {
    log.push_back("** " + name);
    log.push_back(TreeLog(name, signals, extra));
  }
  if (reach == Reach::kCopies) return log;
  log.insert(log.end(), {"Copy completed!", "Program Config ROMs ..."});
  log.insert(log.end(), configLines.begin(), configLines.end());
  return log;
}

Lines ExpectedParts(Reach reach, const Lines& order) {
  Lines parts = {"MID"};
  if (reach == Reach::kMidFolders) return parts;
  parts.push_back("SYSTEM");
  parts.insert(parts.end(), order.begin(), order.end());
  if (reach == Reach::kConfig) parts.push_back("config");
  return parts;
}

const Lines kAllProgrammed = {"Start config rks5.rpd",    "Done",
                              "Start config pcwx5_0.rpd", "Done",
                              "Start config pcwx5_1.rpd", "Done"};
const Message kSuccess{
    "Copy successfully completed !\nPlease reboot the VX500.\nMemory Size:\n"
    "free=64.0 MB,total=64.0 MB\n",
    "VX500 Upgrade Complete", 0};
const Message kUploadFailed{"Upload failed", "VX500 Upgrade ftp", kMbIconError};

// The package folder and the operator: the manifest or the folder scan, the boxes ticked.
struct Operator {
  bool manifest = true;
  Lines ticked;
};

// Lays out the package (with the manifest when `manifest`), reads its module list as the
// window does at start-up, and ticks boxes as the operator's clicks do.
void PreparePackage(const testsupport::TempTree& package, vxtest::RunHost& host,
                    const Operator& op) {
  for (const auto& [path, bytes] : PackageFiles()) package.File(path, bytes);
  host.appDir = package.Dir();
  if (op.manifest) {
    package.File("vxUpgrade.ini", kManifest);
    package::ReadModuleList(*package::FindManifest(host.appDir), host.appDir, host.boxes,
                            host.modules);
  } else {
    host.modules = package::ScanTargetFolder(host.appDir, host.boxes);
  }
  for (const auto& model : op.ticked) {
    ASSERT_TRUE(host.boxes.Enabled(model)) << model;
    host.boxes.Click(host.modules, model, true);
  }
}

Lines NamesOf(const package::ModuleList& modules) {
  Lines names;
  for (const auto& module : modules) names.push_back(module.name);
  return names;
}

// Runs the upgrade; the text of an error raised from below, or empty.
std::string Execute(vxtest::RunHost& host) {
  try {
    host.Run();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

// Ends of runs against the simulator, each checked on the flash drive, the log, the messages,
// the ending and the order in which the instrument received the parts of the upgrade.
struct Row {
  const char* what;
  std::string scenario;
  Operator op;
  std::set<std::string> signals;  // modules whose SIGNAL folder is copied
  Reach reach;
  Lines configLines;
  RunOutcome outcome = RunOutcome::kNone;
  std::vector<Message> messages = {};
  std::string raised = {};  // part of the text of an error raised from below; empty for none
  // Changes to the flash drive of the reach: a path's content, or nothing for an absent file.
  std::map<std::string, std::optional<std::string>> flashChanges = {};
  // Odd entries added to the package and the lines they add to the log.
  std::function<void(const testsupport::TempTree&)> addOddEntries = nullptr;
  ExtraLines extraLines = {};
};

void RunRow(const Row& row) {
  SCOPED_TRACE(row.what);
  testsupport::SimInstrument instrument(testsupport::ScenarioFromText(row.scenario));
  testsupport::WriteFile(instrument.Root() / "F0:" / "SYSTEM" / "vx500.bin", kFirmwareOnDrive);
  testsupport::TempTree package;
  vxtest::RunHost host(instrument);
  PreparePackage(package, host, row.op);
  if (row.addOddEntries) row.addOddEntries(package);
  const Lines order = NamesOf(host.modules);
  if (row.op.manifest) {
    ASSERT_EQ(order, (Lines{"RKS5", "PCWX5", "PNB5"}));
  }

  const std::string raised = Execute(host);

  // The ending.
  EXPECT_EQ(host.result.outcome, row.outcome);
  if (row.raised.empty()) {
    EXPECT_EQ(raised, "");
    EXPECT_TRUE(host.closed);
    EXPECT_FALSE(host.commandOpenAtRelease);
    EXPECT_FALSE(host.ftpConnectedAtRelease);
    EXPECT_EQ(host.view.cursor, Cursor::kDefault);
  } else {
    EXPECT_NE(raised.find(row.raised), std::string::npos) << raised;
    EXPECT_FALSE(host.closed);
    ASSERT_NE(host.session, nullptr);
    EXPECT_TRUE(host.session->CommandConnectionOpen());
    EXPECT_EQ(host.view.cursor, Cursor::kHourGlass);
  }
  ExpectMessages(host.view.messages, row.messages);

  // The log.
  EXPECT_TRUE(LogMatches(
      host.view.log, ExpectedLog(row.reach, order, row.signals, row.extraLines, row.configLines)))
      << Joined(host.view.log);

  // The flash drive, byte for byte, and the image drive left empty.
  const Modules& mids = row.op.manifest ? kManifestModules : kScannedModules;
  const Content base =
      row.reach == Reach::kMidFolders ? MidFolders(mids) : Installed(mids, row.signals);
  Content flash = base;
  std::int64_t copied = CopiedBytes(base);
  for (const auto& [path, content] : row.flashChanges) {
    copied -= static_cast<std::int64_t>(base.at(path).size());
    if (content) {
      flash[path] = *content;
    } else {
      flash.erase(path);
    }
  }
  EXPECT_EQ(testsupport::TreeContent(instrument.Root() / "F0:"), flash);
  EXPECT_TRUE(fs::is_empty(instrument.Root() / "N0:"));

  // The counters and the bar: the total is what the whole copy sends, so a run that copied
  // everything ends with the two equal.
  if (row.reach != Reach::kMidFolders) {
    EXPECT_EQ(host.totalBytes, CopiedBytes(base));
    EXPECT_EQ(host.copiedBytes, copied);
    if (row.reach == Reach::kConfig) {
      EXPECT_EQ(host.copiedBytes, host.totalBytes);
    }
  } else {
    EXPECT_EQ(host.copiedBytes, 0);
  }
  EXPECT_EQ(host.view.progress.position,
            row.reach == Reach::kConfig
                ? 100
                : package::ProgressPosition(host.copiedBytes, host.totalBytes));

  // MID folders before any tree, the system tree before the module trees (in list order),
  // configuration after all copies.
  EXPECT_EQ(PartsInOrder(instrument.Transcript().Entries()), ExpectedParts(row.reach, order));
}

std::string ConfigFault(int slot, const char* image, int error) {
  return R"({"faults": [{"command": "CONF:FPGA", "slot": )" + std::to_string(slot) +
         R"(, "image": ")" + image + R"(", "error": )" + std::to_string(error) + "}]}";
}

TEST(FullUpgrade, EndsAsTheInstrumentAndTheOperatorDecide) {
  const std::string scwh5Old =
      R"({"slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "3.0"},
                    {"slot": 1, "model": "RKS5", "hardware": "2.99", "firmware": "1.0"},
                    {"slot": 2, "model": "SCWH5", "hardware": "0.95", "firmware": "1.0"},
                    {"slot": 3, "model": "PCWX5", "hardware": "2.0", "firmware": "1.0"}]})";
  const Lines pcwx5Failed = {"Start config rks5.rpd",
                             "Done",
                             "Start config pcwx5_0.rpd",
                             "ERROR, fail to config pcwx5_0.rpd",
                             "  Confirm the H/W version.",
                             "Start config pcwx5_1.rpd",
                             "Done"};
  const Message scwh5Refused{"SCWH5,Ver=95", "VX500 Upgrade failed", kMbIconError};
  const Message configFailed{"Fail to config FPGA on PCWX5.", "VX500 Upgrade", kMbIconError};
  const std::string pnb5Bin = FileOf("Target/PNB5/pnb5.bin");
  // clang-format off
  const Row rows[] = {
      {"manifest, PCWX5 ticked: RKS5 and PCWX5 programmed", "{}", {true, {"PCWX5"}},
       {"RKS5", "PCWX5"}, Reach::kConfig, kAllProgrammed, RunOutcome::kCompleted, {kSuccess}, ""},
      {"manifest, PNB5 ticked, PCWX5 not", "{}", {true, {"PNB5"}},
       {"RKS5", "PNB5"}, Reach::kConfig, kAllProgrammed, RunOutcome::kCompleted, {kSuccess}, ""},
      // Records of the scan name no images: each programmable slot only enters N0:.
      {"folder scan, PNB5 ticked", "{}", {false, {"PNB5"}},
       {"PNB5"}, Reach::kConfig, {}, RunOutcome::kCompleted, {kSuccess}, ""},
      // An RKS5 below V3.00 does not end the hardware check.
      {"SCWH5 below V1.00 is refused after the MID folders", scwh5Old, {true, {}},
       {"RKS5"}, Reach::kMidFolders, {}, RunOutcome::kRefused, {scwh5Refused}, ""},
      {"CONF:FPGA -200 for one image, 0 for the next", ConfigFault(3, "pcwx5_0.rpd", -200),
       {true, {"PCWX5"}},
       {"RKS5", "PCWX5"}, Reach::kConfig, pcwx5Failed, RunOutcome::kFailed, {configFailed}, ""},
      {"a refused STOR stops the run with the window open",
       R"({"ftp": {"refuse": [{"command": "STOR", "pattern": "*/pnb5.bin", "code": 553,
                               "text": "Permission denied."}]}})",
       {true, {"PCWX5"}},
       {"RKS5", "PCWX5"}, Reach::kCopies, {}, RunOutcome::kNone, {kUploadFailed},
       "553 Permission denied.", {{"PNB5/pnb5.bin", std::nullopt}}},
      // The instrument keeps what arrived; the run must not report success.
      {"552 after a truncated store",
       R"({"ftp": {"store": [{"pattern": "*/pnb5.bin", "fault": "truncate", "bytes": 1000}]}})",
       {true, {"PCWX5"}},
       {"RKS5", "PCWX5"}, Reach::kCopies, {}, RunOutcome::kNone, {kUploadFailed},
       "552", {{"PNB5/pnb5.bin", pnb5Bin.substr(0, 1000)}}},
  };
  // clang-format on
  for (const Row& row : rows) RunRow(row);
}

// A manifest run, nothing ticked, with an odd entry that `add` puts into the package.
Row WithOddEntry(const char* what, std::function<void(const testsupport::TempTree&)> add) {
  Row row{what, "{}", {true, {}}, {"RKS5"}, Reach::kConfig, kAllProgrammed};
  row.outcome = RunOutcome::kCompleted;
  row.messages = {kSuccess};
  row.addOddEntries = std::move(add);
  return row;
}

// Entries a release should not hold end cleanly: nothing hangs, nothing is silently lost.
TEST(FullUpgrade, LinkLoopsFifosAndDanglingLinksEndCleanly) {
  Row loop = WithOddEntry("a link loop is skipped with a line",
                          [](const testsupport::TempTree& p) { p.Link(".", "Target/PNB5/self"); });
  loop.extraLines = {{"PNB5", "Skipping... self"}};
  Row fifo = WithOddEntry("a FIFO is skipped with a line", [](const testsupport::TempTree& p) {
    ASSERT_EQ(::mkfifo(p.Path("MainFrame/pipe").c_str(), 0600), 0);
  });
  fifo.extraLines = {{"SYSTEM", "Skipping... pipe"}};
  // Measuring the trees finds it, after the MID folders and before any tree file.
  Row dangling = WithOddEntry(
      "a dangling link is an error naming it",
      [](const testsupport::TempTree& p) { p.Link("no-such-file", "MainFrame/LOGO/gone"); });
  dangling.reach = Reach::kMidFolders;
  dangling.configLines = {};
  dangling.outcome = RunOutcome::kNone;
  dangling.messages = {};
  dangling.raised = "MainFrame/LOGO/gone";
  for (const Row& row : {loop, fifo, dangling}) RunRow(row);
}

// A program started from a folder that holds no release finds no modules: the run raises an
// error naming the folder before it writes anything, and never reports success.
TEST(FullUpgrade, AFolderWithoutModulesStopsBeforeAnythingIsWritten) {
  testsupport::SimInstrument instrument;
  testsupport::WriteFile(instrument.Root() / "F0:" / "SYSTEM" / "vx500.bin", kFirmwareOnDrive);
  testsupport::TempTree emptyFolder;
  vxtest::RunHost host(instrument);
  host.appDir = emptyFolder.Dir();
  host.modules = package::ScanTargetFolder(host.appDir, host.boxes);

  const std::string raised = Execute(host);

  EXPECT_NE(raised.find(host.appDir), std::string::npos) << raised;
  EXPECT_EQ(host.result.outcome, RunOutcome::kNone);
  EXPECT_TRUE(host.view.messages.empty());
  EXPECT_FALSE(host.closed);
  EXPECT_EQ(host.view.log, Lines{"Connecting VX500 ..."});
  EXPECT_EQ(instrument.FtpLines(), (Lines{"USER kestro", "PASS pelto3318"}));
  EXPECT_EQ(testsupport::TreeContent(instrument.Root() / "F0:"),
            (Content{{"SYSTEM/", ""}, {"SYSTEM/vx500.bin", kFirmwareOnDrive}}));
}

// The simulator's command server with pyftpdlib serving the same folder: a stock FTP server
// receives the whole release. It keeps "TYPE A" data with its own line end and takes "CWD N0:"
// relative to its current folder, so one slot is programmed.
TEST(FullUpgrade, AStockFtpServerReceivesTheWholeRelease) {
  // Below V3.0 the checks send nothing on the command channel that names a module folder.
  testsupport::SimInstrument instrument(testsupport::ScenarioFromText(
      R"({"slots": [{"slot": 0, "model": "VX500", "hardware": "1.0", "firmware": "2.1"},
                    {"slot": 1, "model": "RKS5", "hardware": "3.0", "firmware": "1.0"}]})"));
  testsupport::WriteFile(instrument.Root() / "F0:" / "SYSTEM" / "vx500.bin", kFirmwareOnDrive);
  testsupport::Pyftpd server(instrument.Root());
  ASSERT_NE(server.Port(), 0) << "pyftpdlib did not start";
  testsupport::TempTree package;
  vxtest::RunHost host(instrument.Port(), server.Port());
  PreparePackage(package, host, {});
  const Lines order = NamesOf(host.modules);

  EXPECT_EQ(Execute(host), "");

  EXPECT_EQ(host.result.outcome, RunOutcome::kCompleted);
  ExpectMessages(host.view.messages, {kSuccess});
  EXPECT_TRUE(host.closed);
  EXPECT_TRUE(LogMatches(host.view.log, ExpectedLog(Reach::kConfig, order, {"RKS5"}, {},
                                                    {"Start config rks5.rpd", "Done"})))
      << Joined(host.view.log);
  EXPECT_EQ(testsupport::TreeContent(instrument.Root() / "F0:"),
            Installed(kManifestModules, {"RKS5"}, "\n"));
  EXPECT_TRUE(fs::is_empty(instrument.Root() / "N0:"));
  EXPECT_EQ(PartsInOrder(instrument.Transcript().Entries(), true),
            ExpectedParts(Reach::kConfig, order));
}

// The sample release that the README's demo installs, against the default simulated
// instrument. Its wall time is printed for the record, never judged.
TEST(FullUpgrade, TheSampleReleaseInstallsOnTheDefaultInstrument) {
  testsupport::TempTree tree;
  tree.File("build/vxupgrade", "#!/bin/sh\n");
  ASSERT_EQ(testsupport::MakeSampleRelease(tree.Path("release"), tree.Path("build/vxupgrade")), 0);
  const std::string release = tree.Path("release") + "/";
  testsupport::SimInstrument instrument;
  testsupport::WriteFile(instrument.Root() / "F0:" / "SYSTEM" / "vx500.bin", kFirmwareOnDrive);
  vxtest::RunHost host(instrument);
  host.appDir = release;
  package::ReadModuleList(release + "vxUpgrade.ini", release, host.boxes, host.modules);
  const Lines order = NamesOf(host.modules);
  ASSERT_EQ(order, (Lines{"PNB5", "PCWX5", "RKS5", "SCWH5", "NQRM5"}));

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Execute(host), "");
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  std::cout << "[ timing   ] full upgrade of the sample release: " << took.count() << " ms\n";
  RecordProperty("upgrade_ms", static_cast<int>(took.count()));

  EXPECT_EQ(host.result.outcome, RunOutcome::kCompleted);
  ExpectMessages(host.view.messages, {kSuccess});
  ASSERT_GE(host.view.log.size(), kAllProgrammed.size());
  EXPECT_EQ(
      Lines(host.view.log.end() - static_cast<long>(kAllProgrammed.size()), host.view.log.end()),
      kAllProgrammed);
  // Only NQRM5's manifest entry selects its signals; no image and nothing hidden is copied.
  Content expected =
      MidFolders({{1, "PNB5"}, {2, "PCWX5"}, {3, "RKS5"}, {4, "SCWH5"}, {5, "NQRM5"}});
  for (const char* folder : {"SYSTEM/LOGO/", "SYSTEM/FONTS/", "PNB5/", "PCWX5/", "PCWX5/FLEX/",
                             "RKS5/", "RKS5/FLEX/", "SCWH5/", "NQRM5/", "NQRM5/SIGNAL/"})
    expected[folder] = "";
  const auto source = [&](const std::string& path) {
    return testsupport::ReadFile(release + path);
  };
  for (const char* file : {"vx500.bin", "boot.cfg", "LOGO/logo.bmp", "FONTS/fixed12.fnt"})
    expected["SYSTEM/" + std::string(file)] = source("MainFrame/" + std::string(file));
  for (const char* file : {"PNB5/pnb5.bin", "PCWX5/pcwx5.bin", "RKS5/rks5.bin", "SCWH5/scwh5.bin",
                           "NQRM5/nqrm5.bin", "NQRM5/SIGNAL/noise.sig"})
    expected[file] = source("Target/" + std::string(file));
  EXPECT_EQ(testsupport::TreeContent(instrument.Root() / "F0:"), expected);
  EXPECT_TRUE(fs::is_empty(instrument.Root() / "N0:"));
  EXPECT_EQ(PartsInOrder(instrument.Transcript().Entries()), ExpectedParts(Reach::kConfig, order));
}

}  // namespace
