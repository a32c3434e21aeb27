#include "package/tree_upload.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "ftp/ftp_errors.h"
#include "instrument/instrument_errors.h"
#include "package/local_names.h"
#include "tests/package/steps_rig.h"
#include "tests/support/sim_instrument.h"
#include "tests/support/temp_tree.h"

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;
using testsupport::Pattern;
using Content = std::map<std::string, std::string>;

TEST(ProgressPosition, FloatingPointTruncatedWithinTheBarAndZeroWithoutBytes) {
  struct Case {
    std::int64_t copied, total;
    int position;
  } cases[] = {
      {0, 0, 0},
      {7, 0, 0},
      {0, 3, 0},
      {1, 3, 33},
      {2, 3, 66},
      {3, 3, 100},
      {199, 200, 99},
      {5, 4, 100},                             // a file that grew since it was measured
      {3'000'000'000LL, 4'000'000'000LL, 75},  // beyond 32 bits
      {(1LL << 40) - 1, 1LL << 40, 99},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(package::ProgressPosition(c.copied, c.total), c.position)
        << c.copied << "/" << c.total;
  }
}

TEST(IsConfigImageName, TheLastExtensionOrTheWholeNameIsRpdInAnyCase) {
  for (const char* name : {"a.rpd", "A.RPD", "x.y.Rpd", "rpd", "RPD", "a..rpd"})
    EXPECT_TRUE(package::IsConfigImageName(name)) << name;
  for (const char* name : {"a.rpd.bak", "rpd.txt", "arpd", "a.rp", "Rpd.txt", "a.rpd "})
    EXPECT_FALSE(package::IsConfigImageName(name)) << name;
}

TEST(PackagePath, FindsEachStepWithoutRegardToCaseAndSpellsOutTheMissingRest) {
  testsupport::TempTree tree;
  tree.Folder("TARGET/pnb5/Flex");
  EXPECT_EQ(package::PackagePath(tree.Dir(), {"Target", "PNB5", "FLEX"}),
            tree.Path("TARGET/pnb5/Flex"));
  EXPECT_EQ(package::PackagePath(tree.Dir(), {"Target", "RKS5", "FLEX"}),
            tree.Path("TARGET/RKS5/FLEX"));
  EXPECT_EQ(package::PackagePath(tree.Dir(), {"MainFrame"}), tree.Path("MainFrame"));
}

// The local measurement, with the window's counters running on across calls.
struct Counters {
  std::int64_t fileCount = 0, totalBytes = 0, copiedBytes = 0;
  package::CopyCounters Ref() { return {fileCount, totalBytes, copiedBytes}; }
};

TEST(CountFiles, MeasuresRegularFilesOfBothTreesCumulatively) {
  testsupport::TempTree tree;
  tree.File("Target/PNB5/data.bin", std::string(100, 'd'));
  tree.File("Target/PNB5/SIGNAL/s.bin", std::string(20, 's'));  // measured though maybe not copied
  tree.File("Target/PNB5/FLEX/a.rpd", std::string(7, 'r'));     // likewise
  tree.File("Target/PNB5/.hidden", std::string(1000, 'h'));
  tree.File("Target/.git/objects/x", std::string(1000, 'g'));
  tree.File("Target/PNB5/empty.bin", "");
  tree.Link("data.bin", "Target/PNB5/link-to-file");                    // a link to a file counts
  tree.Link("..", "Target/PNB5/back-up");                               // a loop: not entered again
  ASSERT_EQ(::mkfifo(tree.Path("Target/PNB5/pipe").c_str(), 0600), 0);  // never measured

  Counters c;
  EXPECT_EQ(package::CountFiles(package::ReleaseRoot(tree.Dir()), tree.Path("Target"), c.Ref()), 5);
  EXPECT_EQ(c.totalBytes, 100 + 20 + 7 + 0 + 100);
  // A missing MainFrame adds nothing, yet the running total of both trees is non-zero.
  EXPECT_EQ(package::CountFiles(package::ReleaseRoot(tree.Dir()), tree.Path("MainFrame"), c.Ref()), 5);
  tree.File("MainFrame/sys.bin", std::string(3, 'x'));
  EXPECT_EQ(package::CountFiles(package::ReleaseRoot(tree.Dir()), tree.Path("MainFrame"), c.Ref()), 6);
  EXPECT_EQ(c.totalBytes, 230);
  EXPECT_EQ(c.copiedBytes, 0);
}

TEST(CountFiles, ADanglingLinkOrAnUnreadableFolderIsAnErrorNamingIt) {
  testsupport::TempTree tree;
  tree.File("MainFrame/a/ok.bin");
  tree.Link("nowhere", "MainFrame/a/gone");
  Counters c;
  try {
    package::CountFiles(package::ReleaseRoot(tree.Dir()), tree.Path("MainFrame"), c.Ref());
    FAIL() << "a dangling link was passed over";
  } catch (const package::LocalFsError& e) {
    EXPECT_THAT(e.what(), HasSubstr(tree.Path("MainFrame/a/gone")));
  }
  testsupport::TempTree selfLoop;
  selfLoop.Folder("MainFrame");
  selfLoop.Link("self", "MainFrame/self");  // a link to itself can never be resolved
  EXPECT_THROW(package::CountFiles(package::ReleaseRoot(selfLoop.Dir()), selfLoop.Path("MainFrame"), c.Ref()), package::LocalFsError);
}

// A system tree with every kind of entry the copy has a rule for.
void WriteSystemTree(const testsupport::TempTree& p) {
  p.File("MainFrame/boot.bin", Pattern(70'000));
  p.File("MainFrame/.hidden", "never");
  p.File("MainFrame/.cache/deep.bin", "never");
  p.File("MainFrame/cfg/a.txt", "alpha\r\n");
  p.File("MainFrame/cfg/SIGNAL/s.dat", Pattern(3000));  // SIGNAL in the system tree is copied
  p.File("MainFrame/img.RPD", "image");
  p.File("MainFrame/rpd", "image too");
  p.File("MainFrame/Rpd.txt", "not an image");
  p.File("MainFrame/q\"uote.txt", "a double quote is fine in a stored file name");
  p.File("MainFrame/empty.bin", "");
  p.Folder("MainFrame/nothing");
}

TEST(CopyTree, TheSystemTreeArrivesByteForByteWithEverySkipRule) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  WriteSystemTree(rig.package);
  rig.session.FtpClient.Mode(2);
  package::CountFiles(rig.release, rig.package.Path("MainFrame"), rig.Context().counters);

  ASSERT_TRUE(package::CopyTree(rig.Context(), rig.package.Path("MainFrame"), "/F0:/SYSTEM"));

  const Content expected = {
      {"boot.bin", Pattern(70'000)},
      {"cfg/", ""},
      {"cfg/a.txt", "alpha\r\n"},
      {"cfg/SIGNAL/", ""},
      {"cfg/SIGNAL/s.dat", Pattern(3000)},
      {"Rpd.txt", "not an image"},
      {"q\"uote.txt", "a double quote is fine in a stored file name"},
      {"empty.bin", ""},
      {"nothing/", ""},
  };
  EXPECT_EQ(testsupport::TreeContent(rig.F0() / "SYSTEM"), expected);
  EXPECT_THAT(rig.view.log,
              UnorderedElementsAre("Copying... boot.bin", "Copying... a.txt", "Copying... s.dat",
                                   "Skipping... img.RPD", "Skipping... rpd", "Copying... Rpd.txt",
                                   "Copying... q\"uote.txt", "Copying... empty.bin"));
  EXPECT_THAT(rig.FtpLinesStarting("STOR "),
              UnorderedElementsAre("STOR /F0:/SYSTEM/boot.bin", "STOR /F0:/SYSTEM/cfg/a.txt",
                                   "STOR /F0:/SYSTEM/cfg/SIGNAL/s.dat", "STOR /F0:/SYSTEM/Rpd.txt",
                                   "STOR /F0:/SYSTEM/q\"uote.txt", "STOR /F0:/SYSTEM/empty.bin"));
  // Only the copied bytes move the bar: the two images keep it short of 100.
  const std::int64_t total = 70'000 + 7 + 3000 + 5 + 9 + 12 + 44;
  EXPECT_EQ(rig.totalBytes, total);
  EXPECT_EQ(rig.copiedBytes, total - 5 - 9);
  EXPECT_EQ(rig.view.positions.size(), 6u);
  EXPECT_TRUE(std::is_sorted(rig.view.positions.begin(), rig.view.positions.end()));
  EXPECT_EQ(rig.view.progress.position, static_cast<int>((total - 14) * 100.0 / total));
  EXPECT_TRUE(rig.view.messages.empty());
}

TEST(CopyTree, ASubtreeIsCopiedWholeBeforeTheNextEntry) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  for (const char* folder : {"a", "b", "c"}) {
    for (const char* file : {"1", "2", "3"})
      rig.package.File(std::string("MainFrame/") + folder + "/" + folder + file, "x");
  }
  ASSERT_TRUE(package::CopyTree(rig.Context(), rig.package.Path("MainFrame"), "/F0:/SYSTEM"));
  const std::vector<std::string> stored = rig.FtpLinesStarting("STOR ");
  ASSERT_EQ(stored.size(), 9u);
  for (std::size_t first = 0; first < 9; first += 3) {
    const char folder = stored[first][std::string("STOR /F0:/SYSTEM/").size()];
    for (std::size_t i = first; i < first + 3; ++i)
      EXPECT_EQ(stored[i].substr(0, 19), std::string("STOR /F0:/SYSTEM/") + folder + "/") << i;
  }
}

TEST(CopyTree, EmptyFilesLeaveTheBarAtZero) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  rig.package.File("MainFrame/a", "");
  rig.package.File("MainFrame/b/c", "");
  package::CountFiles(rig.release, rig.package.Path("MainFrame"), rig.Context().counters);
  ASSERT_TRUE(package::CopyTree(rig.Context(), rig.package.Path("MainFrame"), "/F0:/SYSTEM"));
  EXPECT_EQ(rig.view.positions, (std::vector<int>{0, 0}));
}

TEST(CopyTree, LinkLoopsAndFifosAreSkippedWithALineAndTheCopySucceeds) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  rig.package.File("Elsewhere/shared/s.bin", "shared");
  rig.package.File("MainFrame/sub/f.bin", "f");
  rig.package.Link("..", "MainFrame/sub/loop");                               // back to MainFrame
  rig.package.Link(".", "MainFrame/sub/here");                                // to sub itself
  rig.package.Link(rig.package.Path("Elsewhere/shared"), "MainFrame/alias");  // off the path
  rig.package.Link("sub/f.bin", "MainFrame/f-link");
  ASSERT_EQ(::mkfifo(rig.package.Path("MainFrame/fifo").c_str(), 0600), 0);

  package::CountFiles(rig.release, rig.package.Path("MainFrame"), rig.Context().counters);
  EXPECT_EQ(rig.fileCount, 3);
  ASSERT_TRUE(package::CopyTree(rig.Context(), rig.package.Path("MainFrame"), "/F0:/SYSTEM"));
  EXPECT_EQ(testsupport::TreeContent(rig.F0() / "SYSTEM"), (Content{{"sub/", ""},
                                                                    {"sub/f.bin", "f"},
                                                                    {"alias/", ""},
                                                                    {"alias/s.bin", "shared"},
                                                                    {"f-link", "f"}}));
  EXPECT_THAT(rig.view.log,
              UnorderedElementsAre("Copying... f.bin", "Skipping... loop", "Skipping... here",
                                   "Copying... s.bin", "Copying... f-link", "Skipping... fifo"));
}

// A link that leads nowhere, or out of the release (changed after the release was checked), is
// an error naming it, and nothing of it is sent.
TEST(CopyTree, ALinkThatIsDanglingOrLeadsOutOfTheReleaseIsAnErrorNamingIt) {
  struct Case {
    const char* what;
    const char* target;  // below the outside folder, or "nowhere" for a dangling link
    const char* error;   // what the error says after the link's path
  } cases[] = {
      {"a dangling link", "nowhere", ": its target does not exist"},
      {"a file outside", "secret.txt", ": it leads out of the release folder, to "},
      {"a folder outside", "dir", ": it leads out of the release folder, to "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vxtest::StepsRig rig;
    ASSERT_TRUE(rig.connected);
    testsupport::TempTree outside;
    outside.File("secret.txt", "secret");
    outside.File("dir/inner.bin", "inner");
    rig.package.File("MainFrame/a/ok.bin", "ok");
    const std::string target =
        std::string(c.target) == "nowhere" ? "nowhere" : outside.Path(c.target);
    rig.package.Link(target, "MainFrame/a/gone");
    try {
      package::CopyTree(rig.Context(), rig.package.Path("MainFrame"), "/F0:/SYSTEM");
      ADD_FAILURE() << "the link was passed over";
    } catch (const package::LocalFsError& e) {
      EXPECT_THAT(e.what(), HasSubstr(rig.package.Path("MainFrame/a/gone") + c.error));
    }
    for (const auto& entry : rig.instrument.Transcript().Entries()) {
      EXPECT_THAT(entry.line, Not(HasSubstr("gone")));
    }
    EXPECT_THAT(rig.view.log, Not(Contains("Copying... gone")));
    EXPECT_THAT(rig.view.log, Not(Contains("Copying... inner.bin")));
  }
}

TEST(CopyTree, AMissingLocalFolderCopiesNothingAndSucceeds) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  EXPECT_TRUE(package::CopyTree(rig.Context(), rig.package.Path("MainFrame"), "/F0:/SYSTEM"));
  EXPECT_THAT(rig.instrument.Transcript().Entries(), IsEmpty());
  EXPECT_THAT(rig.view.log, IsEmpty());
}

TEST(CopyTree, NamesThatCannotBeSentAreRefusedBeforeAnythingOfThemIsSent) {
  struct Case {
    const char* folder;  // folder below MainFrame holding the bad entry, or "" for a file
    const char* name;
    const char* shown;  // how the error text spells the name
  } cases[] = {
      {"", "line\nfeed.txt", "line\\nfeed.txt"},
      {"", "car\rriage.txt", "car\\rriage.txt"},
      {"bad\"folder", "x.txt", "bad\"folder"},
      {"new\nline", "x.txt", "new\\nline"},
  };
  for (const auto& c : cases) {
    vxtest::StepsRig rig;
    ASSERT_TRUE(rig.connected);
    const std::string bad = std::string(c.folder).empty() ? std::string("MainFrame/") + c.name
                                                          : std::string("MainFrame/") + c.folder;
    rig.package.File(std::string(c.folder).empty() ? bad : bad + "/" + c.name, "bytes");
    try {
      package::CopyTree(rig.Context(), rig.package.Path("MainFrame"), "/F0:/SYSTEM");
      ADD_FAILURE() << c.shown << " was sent";
    } catch (const instrument::RefusedParameterError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.shown));
    }
    EXPECT_THAT(rig.instrument.Transcript().Entries(), IsEmpty()) << c.shown;
    EXPECT_THAT(rig.view.log, IsEmpty()) << c.shown;
  }
}

TEST(CopyTree, AFolderThatCanNeitherBeFoundNorMadeEndsWithFalse) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  rig.package.File("MainFrame/sub/f.bin", "f");
  EXPECT_FALSE(package::CopyTree(rig.Context(), rig.package.Path("MainFrame"), "/F0:/MISSING"));
  EXPECT_THAT(rig.FtpLinesStarting("STOR"), IsEmpty());
}

TEST(CopyTree, AnUploadReportedAsFailedEndsWithFalseAndCountsNothing) {
  vxtest::StepsRig rig(testsupport::ScenarioFromText(
      R"({"ftp": {"refuse": [{"command": "STOR", "pattern": "*bad.bin", "code": 552}]}})"));
  ASSERT_TRUE(rig.connected);
  rig.HandleFtpFailures();
  rig.package.File("MainFrame/bad.bin", "12345");
  EXPECT_FALSE(package::CopyTree(rig.Context(), rig.package.Path("MainFrame"), "/F0:/SYSTEM"));
  EXPECT_EQ(rig.copiedBytes, 0);
  EXPECT_THAT(rig.view.positions, IsEmpty());
  EXPECT_EQ(rig.view.log, (std::vector<std::string>{"Copying... bad.bin"}));
}

TEST(CopyTree, RefusedOrTruncatedStoresRaiseThroughTheCopy) {
  const char* scenarios[] = {
      R"({"ftp": {"refuse": [{"command": "STOR", "pattern": "*big.bin", "code": 553}]}})",
      R"({"ftp": {"store": [{"pattern": "*big.bin", "fault": "truncate", "bytes": 1000}]}})",
  };
  for (const char* scenario : scenarios) {
    vxtest::StepsRig rig(testsupport::ScenarioFromText(scenario));
    ASSERT_TRUE(rig.connected);
    rig.package.File("MainFrame/big.bin", Pattern(200'000));
    EXPECT_THROW(package::CopyTree(rig.Context(), rig.package.Path("MainFrame"), "/F0:/SYSTEM"),
                 ftp::FTPException)
        << scenario;
    ASSERT_EQ(rig.view.messages.size(), 1u) << scenario;
    EXPECT_EQ(rig.view.messages[0].text, "Upload failed");
    EXPECT_EQ(rig.view.messages[0].caption, "VX500 Upgrade ftp");
    EXPECT_EQ(rig.copiedBytes, 0);
  }
}

// The release is changed while the copy runs, after its folder was listed: when the first file's
// "Copying... " line comes (or, with `duringSend`, when the first chunk of it has gone), every
// other entry of the folder is spoiled. Nothing from outside the release reaches the
// instrument, and a file that changed while it was sent fails its upload.
TEST(CopyTree, AReleaseChangedUnderTheCopySendsNothingFromOutsideAndNoFileInPart) {
  using Spoil = void (*)(const std::filesystem::path& entry, const std::filesystem::path& outside);
  struct Case {
    const char* what;
    bool duringSend;  // spoil the file being sent, after its first chunk
    Spoil spoil;
    std::string error;
  } cases[] = {
      {"swapped for a link to a file outside", false,
       [](const auto& entry, const auto& outside) {
         std::filesystem::remove_all(entry);
         std::filesystem::create_symlink(outside / "id_rsa", entry);
       },
       "leads out of the release folder, to "},
      {"swapped for a link to a folder outside", false,
       [](const auto& entry, const auto& outside) {
         std::filesystem::remove_all(entry);
         std::filesystem::create_symlink(outside, entry);
       },
       "leads out of the release folder, to "},
      {"removed", false, [](const auto& entry, const auto&) { std::filesystem::remove_all(entry); },
       "it no longer exists"},
      {"cut short while it is sent", true,
       [](const auto& entry, const auto&) { std::filesystem::resize_file(entry, 100'000); },
       " bytes (it now holds 100000 bytes)"},
      {"grown while it is sent", true,
       [](const auto& entry, const auto&) { std::filesystem::resize_file(entry, 900'000); },
       " of 800000 bytes (it now holds 900000 bytes)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vxtest::StepsRig rig;
    ASSERT_TRUE(rig.connected);
    testsupport::TempTree outside;
    outside.File("id_rsa", "private key");
    outside.File("shadow/root", "hash");
    const std::filesystem::path mainFrame = rig.package.Path("MainFrame");
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
      rig.package.File("MainFrame/" + std::string(name), Pattern(800'000));
    }
    rig.package.Folder("MainFrame/d");
    std::string first;
    rig.view.onLogLine = [&](const std::string& line) {
      if (!first.empty() || !line.starts_with("Copying... ")) return;
      first = line.substr(11);
      if (c.duringSend) return;
      for (const auto& entry : std::filesystem::directory_iterator(mainFrame)) {
        if (entry.path().filename() != first) c.spoil(entry.path(), outside.Path(""));
      }
    };
    rig.session.FtpClient.OnPacketSent = [&, spoiled = false](ftp::TStreamSocket&) mutable {
      if (!c.duringSend || spoiled) return;
      spoiled = true;
      c.spoil(mainFrame / first, outside.Path(""));
    };

    std::string error;
    try {
      package::CopyTree(rig.Context(), mainFrame.string(), "/F0:/SYSTEM");
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    EXPECT_THAT(error, HasSubstr(c.error));
    // Only the first file was offered to the instrument; nothing of the outside reached it.
    EXPECT_THAT(rig.FtpLinesStarting("STOR"),
                (std::vector<std::string>{"STOR /F0:/SYSTEM/" + first}));
    for (const auto& [path, content] : testsupport::TreeContent(rig.F0())) {
      EXPECT_NE(content, "private key") << path;
      EXPECT_NE(content, "hash") << path;
    }
    if (!c.duringSend) {
      EXPECT_THAT(rig.view.log, Contains(HasSubstr(c.error)));
      EXPECT_EQ(rig.copiedBytes, 800'000);
    } else {
      EXPECT_THAT(error, HasSubstr(first + " changed while it was being sent: "));
      EXPECT_EQ(rig.copiedBytes, 0);
    }
  }
}

// A module folder with a signal set, images, and SIGNAL folders that are not the module's own.
void WriteModule(const testsupport::TempTree& p, const std::string& folder) {
  const std::string m = "Target/" + folder + "/";
  p.File(m + "data.bin", Pattern(5000));
  p.File(m + "SIGNAL/sig.bin", Pattern(4000));
  p.File(m + "SIGNAL/more/sig2.bin", "deep signal");
  p.File(m + "Signal/lower.bin", "other spelling");
  p.File(m + "sub/SIGNAL/deep.bin", "nested");
  p.File(m + "FLEX/a.rpd", "image a");
  p.File(m + "FLEX/B.RPD", "image b");
}

TEST(CopyModule, TheSignalFolderFollowsTheSelectionOnlyDirectlyInTheModuleFolder) {
  for (const bool hasSignal : {false, true}) {
    vxtest::StepsRig rig;
    ASSERT_TRUE(rig.connected);
    // The package spells the folders differently from the module's name.
    WriteModule(rig.package, "Pnb5");
    std::filesystem::rename(rig.package.Path("Target"), rig.package.Path("TARGET"));
    package::tModuleList module;
    module.id = 3;
    module.name = "PNB5";
    module.hasSignal = hasSignal;
    package::CountFiles(rig.release, rig.package.Path("TARGET"), rig.Context().counters);
    EXPECT_EQ(rig.fileCount, 7);

    ASSERT_TRUE(package::CopyModule(rig.Context(), module)) << hasSignal;

    Content expected = {
        {"data.bin", Pattern(5000)},
        {"Signal/", ""},
        {"Signal/lower.bin", "other spelling"},
        {"sub/", ""},
        {"sub/SIGNAL/", ""},
        {"sub/SIGNAL/deep.bin", "nested"},
        {"FLEX/", ""},
    };
    std::vector<std::string> log = {"Copying... data.bin", "Copying... lower.bin",
                                    "Copying... deep.bin", "Skipping... a.rpd",
                                    "Skipping... B.RPD"};
    if (hasSignal) {
      expected.insert({{"SIGNAL/", ""},
                       {"SIGNAL/sig.bin", Pattern(4000)},
                       {"SIGNAL/more/", ""},
                       {"SIGNAL/more/sig2.bin", "deep signal"}});
      log.insert(log.end(), {"Copying... sig.bin", "Copying... sig2.bin"});
    }
    EXPECT_EQ(testsupport::TreeContent(rig.F0() / "PNB5"), expected) << hasSignal;
    EXPECT_THAT(rig.view.log, UnorderedElementsAreArray(log)) << hasSignal;
    const auto lines = rig.instrument.CommandLines();
    // An unselected signal set is not even looked for on the instrument.
    const bool named = std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("/F0:/PNB5/SIGNAL") != std::string::npos;
    });
    EXPECT_EQ(named, hasSignal);
  }
}

TEST(CopyModule, AModuleWithoutAPackageFolderGetsItsFlashFolderOnly) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  package::tModuleList module;
  module.name = "NQRM5";
  ASSERT_TRUE(package::CopyModule(rig.Context(), module));
  EXPECT_EQ(testsupport::TreeContent(rig.F0() / "NQRM5"), Content{});
  EXPECT_TRUE(std::filesystem::is_directory(rig.F0() / "NQRM5"));
  EXPECT_EQ(
      rig.instrument.CommandLines(),
      (std::vector<std::string>{":MMEM:CDIR \"/F0://NQRM5\"", "SYSTEM:ERR?", ":MMEM:CDIR \"/F0:/\"",
                                "SYSTEM:ERR?", "MMEM:MDIR \"NQRM5\"", ":SYSTEM:ERR?"}));
  // Present now: found, not made again.
  rig.instrument.Transcript().Clear();
  ASSERT_TRUE(package::CopyModule(rig.Context(), module));
  EXPECT_EQ(rig.instrument.CommandLines(),
            (std::vector<std::string>{":MMEM:CDIR \"/F0://NQRM5\"", "SYSTEM:ERR?"}));
}

TEST(CopyModule, AModuleNameThatCannotBeAFolderIsRefusedBeforeAnythingIsSent) {
  vxtest::StepsRig rig;
  ASSERT_TRUE(rig.connected);
  for (const char* name : {"a/b", "a\\b", ".", "..", "x\"y", "x\ry", "x\ny"}) {
    package::tModuleList module;
    module.name = name;
    EXPECT_THROW(package::CopyModule(rig.Context(), module), instrument::RefusedParameterError)
        << name;
  }
  EXPECT_THAT(rig.instrument.Transcript().Entries(), IsEmpty());
}

}  // namespace
