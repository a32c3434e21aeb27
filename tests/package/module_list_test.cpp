#include "package/module_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "package/local_names.h"
#include "tests/support/temp_tree.h"

namespace {

using package::ModuleList;
using package::tModuleList;

// A record written out for comparison: id, name, hasSignal, then the image names in use.
std::string Show(const tModuleList& r) {
  std::string s = std::to_string(r.id) + " " + r.name + (r.hasSignal ? " +sig" : "");
  for (const auto& image : r.rpdFile) s += image.empty() ? " -" : " " + image;
  return s;
}

std::vector<std::string> Show(const ModuleList& list) {
  std::vector<std::string> out;
  for (const auto& r : list) out.push_back(Show(r));
  return out;
}

TEST(ParseModuleList, FollowsTheEntryNumberingAndItsStopRules) {
  struct Case {
    const char* what;
    const char* text;
    std::vector<std::string> records;
  } cases[] = {
      {"empty manifest", "", {}},
      {"no ENTRY 1", "[ENTRY 2]\nid=2\nname=PNB5\n", {}},
      {"ENTRY 1 without id", "[ENTRY 1]\nname=PNB5\n[ENTRY 2]\nid=2\n", {}},
      {"a gap ends the list",
       "[ENTRY 1]\nid=1\nname=A\n[ENTRY 2]\nid=2\nname=B\n[ENTRY 4]\nid=4\nname=D\n",
       {"1 A - - - -", "2 B - - - -"}},
      {"id -1 ends the list",
       "[ENTRY 1]\nid=1\nname=A\n[ENTRY 2]\nid=-1\nname=B\n[ENTRY 3]\nid=3\nname=C\n",
       {"1 A - - - -"}},
      {"an id that is not an integer ends the list",
       "[ENTRY 1]\nid=1\nname=A\n[ENTRY 2]\nid=12abc\nname=B\n[ENTRY 3]\nid=3\n",
       {"1 A - - - -"}},
      {"an empty id ends the list", "[ENTRY 1]\nid=\nname=A\n", {}},
      {"hex and decimal ids",
       "[ENTRY 1]\nid=0x10\n[ENTRY 2]\nid=$1f\n[ENTRY 3]\nid=010\n[ENTRY 4]\nid = -2\n"
       "[ENTRY 5]\nid=\"7\"\n[ENTRY 6]\nid=0\n",
       {"16  - - - -", "31  - - - -", "10  - - - -", "-2  - - - -", "7  - - - -", "0  - - - -"}},
      {"hasSignal is an integer flag",
       "[ENTRY 1]\nid=1\nhasSignal=true\n[ENTRY 2]\nid=2\nhasSignal=2\n"
       "[ENTRY 3]\nid=3\nhasSignal=0\n[ENTRY 4]\nid=4\nhasSignal=-1\n[ENTRY 5]\nid=5\n"
       "[ENTRY 6]\nid=6\nhasSignal=0x1\n[ENTRY 7]\nid=7\nhasSignal=1 \n",
       {"1  - - - -", "2  +sig - - - -", "3  - - - -", "4  +sig - - - -", "5  - - - -",
        "6  +sig - - - -", "7  +sig - - - -"}},
      {"image names stop at the first empty one",
       "[ENTRY 1]\nid=1\nrpdFile1=a.rpd\nrpdFile3=c.rpd\n"
       "[ENTRY 2]\nid=2\nrpdFile1=a.rpd\nrpdFile2=b.rpd\nrpdFile3=c.rpd\nrpdFile4=d.rpd\n"
       "rpdFile5=e.rpd\n[ENTRY 3]\nid=3\nrpdFile1=\nrpdFile2=b.rpd\n"
       "[ENTRY 4]\nid=4\nrpdFile2=b.rpd\n",
       {"1  a.rpd - - -", "2  a.rpd b.rpd c.rpd d.rpd", "3  - - - -", "4  - - - -"}},
      {"names and keys without regard to case",
       "[entry 1]\nID=5\nNAME=PNB5\nHASSIGNAL=1\nRPDFILE1=x.rpd\n",
       {"5 PNB5 +sig x.rpd - - -"}},
      {"entry numbers are written without leading zeros or extra blanks",
       "[ENTRY 01]\nid=1\n[ENTRY  1]\nid=1\n",
       {}},
      {"quoted names and semicolons in values",
       "[ENTRY 1]\nid=1\nname=\"PNB5\"\nrpdFile1=a;b.rpd\n",
       {"1 PNB5 a;b.rpd - - -"}},
      {"duplicate names and ids are kept",
       "[ENTRY 1]\nid=3\nname=PNB5\n[ENTRY 2]\nid=3\nname=PNB5\nhasSignal=1\n",
       {"3 PNB5 - - - -", "3 PNB5 +sig - - - -"}},
      {"byte-order mark and CR LF",
       "\xEF\xBB\xBF; release\r\n[ENTRY 1]\r\nid=1\r\nname=RKS5\r\nrpdFile1=rks5.rpd\r\n",
       {"1 RKS5 rks5.rpd - - -"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Show(package::ParseModuleList(c.text)), c.records) << c.what;
  }
}

TEST(FindModule, FindsTheFirstExactNameAndNothingInAnEmptyList) {
  ModuleList list = package::ParseModuleList(
      "[ENTRY 1]\nid=1\nname=PNB5\n[ENTRY 2]\nid=2\nname=PNB5\n[ENTRY 3]\nid=3\nname=pcw5\n");
  ASSERT_NE(package::FindModule(list, "PNB5"), nullptr);
  EXPECT_EQ(package::FindModule(list, "PNB5")->id, 1);
  EXPECT_EQ(package::FindModule(list, "PCW5"), nullptr);
  EXPECT_EQ(package::FindModule(list, "PNB"), nullptr);
  EXPECT_EQ(package::FindModule(ModuleList{}, "PNB5"), nullptr);

  package::SelectSignals(list, "PNB5", true);
  EXPECT_TRUE(list[0].hasSignal);
  EXPECT_FALSE(list[1].hasSignal);
  package::SelectSignals(list, "PCW5", true);  // only "pcw5" exists
  EXPECT_FALSE(list[2].hasSignal);
  package::SelectSignals(list, "PNB5", false);
  EXPECT_FALSE(list[0].hasSignal);
  ModuleList empty;
  package::SelectSignals(empty, "PNB5", true);
  EXPECT_TRUE(empty.empty());
}

class PackageFolder : public ::testing::Test {
 protected:
  // Every selectable model's box as "enabled/ticked" ("--" for a box left as it starts).
  std::map<std::string, std::string> Boxes() const {
    std::map<std::string, std::string> shown;
    for (const std::string_view model : package::kSelectableModels) {
      const auto box = boxes.Of(model);
      shown[std::string(model)] = std::string(box.enabled ? "E" : "-") + (box.ticked ? "T" : "-");
    }
    return shown;
  }
  const std::map<std::string, std::string> untouched = {
      {"PNB5", "--"}, {"PCW5", "--"}, {"PCWX5", "--"}, {"SCW5", "--"}, {"SCWH5", "--"}};

  testsupport::TempTree tree;
  package::SignalBoxes boxes;
};

TEST_F(PackageFolder, ManifestSetsCheckBoxesFromTheSignalFoldersItFinds) {
  tree.Folder("Target/PNB5/SIGNAL");
  tree.Folder("Target/PCW5/FLEX");
  tree.Folder("Target/scwh5/signal");  // authored on a case-insensitive system
  tree.File("Target/SCW5/SIGNAL");     // a file, not a folder
  tree.Folder("Target/Pcwx5/SIGNAL");
  tree.Folder("Target/RKS5/SIGNAL");
  tree.File("vxUpgrade.ini",
            "[ENTRY 1]\nid=1\nname=PNB5\n"
            "[ENTRY 2]\nid=2\nname=PCW5\nhasSignal=1\n"
            "[ENTRY 3]\nid=3\nname=SCWH5\n"
            "[ENTRY 4]\nid=4\nname=SCW5\n"
            "[ENTRY 5]\nid=5\nname=pcwx5\nhasSignal=1\n"
            "[ENTRY 6]\nid=6\nname=RKS5\nhasSignal=1\n");
  ModuleList list = package::ParseModuleList("[ENTRY 1]\nid=9\n");  // replaced, not kept
  package::ReadModuleList(tree.Path("vxUpgrade.ini"), tree.Dir(), boxes, list);

  EXPECT_EQ(Show(list), (std::vector<std::string>{"1 PNB5 - - - -", "2 PCW5 +sig - - - -",
                                                  "3 SCWH5 - - - -", "4 SCW5 - - - -",
                                                  "5 pcwx5 +sig - - - -", "6 RKS5 +sig - - - -"}));
  // "pcwx5" is not the model PCWX5: its box stays as it starts.
  EXPECT_EQ(Boxes(), (std::map<std::string, std::string>{
                         {"PNB5", "E-"}, {"PCW5", "--"}, {"PCWX5", "--"}, {"SCW5", "--"},
                         {"SCWH5", "E-"}}));
}

TEST_F(PackageFolder, AManifestThatCannotBeReadGivesAnEmptyList) {
  tree.Folder("Target/PNB5/SIGNAL");
  tree.Folder("folder.ini");
  for (const std::string& path : {tree.Path("missing.ini"), tree.Path("folder.ini")}) {
    ModuleList list = package::ParseModuleList("[ENTRY 1]\nid=1\nname=PNB5\n");
    package::ReadModuleList(path, tree.Dir(), boxes, list);
    EXPECT_TRUE(list.empty()) << path;
  }
  EXPECT_EQ(Boxes(), untouched);
}

TEST_F(PackageFolder, ManifestIsFoundInAnyLetterCaseButOnlyAsAFile) {
  EXPECT_EQ(package::FindManifest(tree.Dir()), std::nullopt);
  tree.Folder("vxupgrade.ini");
  EXPECT_EQ(package::FindManifest(tree.Dir()), std::nullopt);
  tree.File("VXUPGRADE.INI");
  EXPECT_EQ(package::FindManifest(tree.Dir()), tree.Path("VXUPGRADE.INI"));
  tree.File("vxUpgrade.ini");
  EXPECT_EQ(package::FindManifest(tree.Dir()), tree.Path("vxUpgrade.ini"));
}

TEST_F(PackageFolder, ScanMakesOneRecordPerModuleFolderNumberedByNameOrder) {
  tree.Folder("target/SCWH5/SIGNAL");
  tree.Folder("target/PNB5/SIGNAL");
  tree.Folder("target/PCW5/FLEX");
  tree.Folder("target/pnb5/SIGNAL");  // lower case: a record, but not the PNB5 box
  tree.Folder("target/RKS5");
  tree.Folder("target/.hidden");
  tree.File("target/readme.txt");
  tree.Folder("elsewhere/NQRM5");
  tree.Link("../elsewhere/NQRM5", "target/NQRM5");  // a link to a folder is a folder
  tree.Link("../nowhere", "target/PCWX5");          // a dangling link is no folder

  const ModuleList list = package::ScanTargetFolder(tree.Dir(), boxes);

  // Records keep the file system's order; ids are the rank of the name in byte order.
  std::vector<std::string> scanOrder;
  const auto listed = package::ListLocalFolder(tree.Path("target"));
  ASSERT_TRUE(listed);
  for (const auto& entry : *listed) {
    if (entry.kind == package::EntryKind::kFolder && !entry.name.starts_with('.')) {
      scanOrder.push_back(entry.name);
    }
  }
  std::vector<std::string> names;
  for (const auto& r : list) names.push_back(r.name);
  EXPECT_EQ(names, scanOrder);
  const std::map<std::string, int> ids = {{"NQRM5", 1}, {"PCW5", 2},  {"PNB5", 3},
                                          {"RKS5", 4},  {"SCWH5", 5}, {"pnb5", 6}};
  ASSERT_EQ(list.size(), ids.size());
  for (const auto& r : list) {
    EXPECT_EQ(r.id, ids.at(r.name)) << r.name;
    EXPECT_FALSE(r.hasSignal) << r.name;
    EXPECT_TRUE(std::all_of(r.rpdFile.begin(), r.rpdFile.end(),
                            [](const std::string& s) { return s.empty(); }));
  }
  EXPECT_EQ(Boxes(), (std::map<std::string, std::string>{
                         {"PNB5", "E-"}, {"PCW5", "--"}, {"PCWX5", "--"}, {"SCW5", "--"},
                         {"SCWH5", "E-"}}));
}

TEST_F(PackageFolder, ScanWithoutTargetFolderGivesNothing) {
  EXPECT_TRUE(package::ScanTargetFolder(tree.Dir(), boxes).empty());
  tree.File("Target");  // a file where the folder should be
  EXPECT_TRUE(package::ScanTargetFolder(tree.Dir(), boxes).empty());
  EXPECT_EQ(Boxes(), untouched);
}

TEST_F(PackageFolder, ScanOfAFolderThatCannotBeReadIsAnErrorNamingIt) {
  tree.Link("Target", "Target");  // a link to itself: exists, but cannot be opened
  try {
    package::ScanTargetFolder(tree.Dir(), boxes);
    FAIL() << "no error";
  } catch (const package::LocalFsError& e) {
    EXPECT_NE(std::string(e.what()).find(tree.Path("Target")), std::string::npos) << e.what();
  }
}

}  // namespace
