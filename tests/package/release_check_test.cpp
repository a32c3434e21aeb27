#include "package/release_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_tree.h"

namespace {

using ::testing::HasSubstr;

// A release and a folder outside it; the setup spoils the release (or not).
using Setup = void (*)(const testsupport::TempTree& release, const testsupport::TempTree& outside,
                       package::ModuleList& modules);

struct Case {
  const char* what;
  Setup setup;
  std::vector<std::string> refused;  // a part of each offending path's line; none: it passes
};

// A sound release: a system tree, PNB5 with a SIGNAL folder and PCW5 with its one image.
void CheckCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempTree release, outside;
    release.File("MainFrame/vx500.bin");
    release.File("Target/PNB5/pnb5.bin");
    release.File("Target/PNB5/SIGNAL/bars.sig");
    release.File("Target/PCW5/FLEX/pcw5.rpd");
    outside.File("secret.txt");
    outside.File("dir/bad\nname");  // a name that would be refused, were the walk to go there
    package::ModuleList modules = {{1, "PNB5", false, {}}, {2, "PCW5", false, {"pcw5.rpd"}}};
    c.setup(release, outside, modules);
    try {
      package::CheckRelease(package::ReleaseRoot(release.Dir()), modules);
      EXPECT_TRUE(c.refused.empty()) << "nothing refused";
    } catch (const package::ReleaseError& e) {
      ASSERT_EQ(e.Problems().size(), c.refused.size()) << e.what();
      for (std::size_t i = 0; i < c.refused.size(); ++i) {
        EXPECT_THAT(e.Problems()[i], HasSubstr(c.refused[i]));
      }
    }
  }
}

TEST(CheckRelease, RefusesEveryNameTheRunCouldNotSend) {
  CheckCases({
      {"a sound release", [](auto&, auto&, auto&) {}, {}},
      {"a line feed in a system file name",
       [](auto& t, auto&, auto&) { t.File("MainFrame/FONTS/a\nb"); },
       {"the file \"a\\nb\""}},
      {"a double quote in a folder inside an unselected SIGNAL folder",
       [](auto& t, auto&, auto&) { t.Folder("Target/PNB5/SIGNAL/x\"y"); },
       {"the folder \"x\"y\""}},
      {"a double quote in a file name travels unquoted",
       [](auto& t, auto&, auto&) { t.File("Target/PNB5/x\"y.sig"); },
       {}},
      {"backslashes in a file, a folder and an image name",
       [](auto& t, auto&, auto& m) {
         t.File("MainFrame/LOGO\\logo.bmp");
         t.Folder("Target/PNB5/SIGNAL\\HD");
         m[1].rpdFile[1] = "pcw5\\b.rpd";
       },
       {"\"LOGO\\logo.bmp\"", "\"SIGNAL\\HD\"", "\"pcw5\\b.rpd\" (module PCW5)"}},
      {"configuration images and hidden entries in the trees are never sent",
       [](auto& t, auto&, auto&) {
         t.File("Target/PNB5/FLEX/a\nb.rpd");
         t.File("MainFrame/.a\\b");
       },
       {}},
      {"a module name with a slash",
       [](auto&, auto&, auto& m) {
         m.push_back({3, "a/b", false, {"x.rpd"}});
       },
       {"the module name \"a/b\""}},
      {"a manifest image name with a double quote",
       [](auto&, auto&, auto& m) { m[1].rpdFile[0] = "p\"cw5.rpd"; },
       {"\"p\"cw5.rpd\""}},
      {"no module at all: the program was started from the wrong folder",
       [](auto&, auto&, auto& m) { m.clear(); },
       {"No modules found in the package folder "}},
  });
}

TEST(CheckRelease, LinksMayLeadWithinTheReleaseButNeverOutOfIt) {
  CheckCases({
      {"a file linked from outside",
       [](auto& t, auto& o, auto&) { t.Link(o.Path("secret.txt"), "MainFrame/shadow"); },
       {"MainFrame/shadow: it leads out of the release folder"}},
      {"a folder linked from outside is refused and not entered",
       [](auto& t, auto& o, auto&) { t.Link(o.Path("dir"), "Target/PNB5/SIGNAL/apt"); },
       {"SIGNAL/apt: it leads out"}},
      {"a relative link climbing out of the release",
       [](auto& t, auto&, auto&) { t.Link("../../..", "Target/PNB5/up"); },
       {"PNB5/up: it leads out"}},
      {"the system folder itself a link out",
       [](auto& t, auto& o, auto&) {
         std::filesystem::remove_all(t.Path("MainFrame"));
         t.Link(o.Path("dir"), "MainFrame");
       },
       {"MainFrame: it leads out"}},
      {"links to files and folders within the release, one folder shared by two modules, a loop",
       [](auto& t, auto&, auto&) {
         t.Link("../../MainFrame/vx500.bin", "Target/PNB5/fw.bin");
         t.Link(t.Path("Target/PNB5/SIGNAL"), "Target/PCW5/SIGNAL");
         t.Folder("MainFrame/sub");
         t.Link("..", "MainFrame/sub/loop");
       },
       {}},
      {"a folder reached twice within one tree, named with the path it was first reached by",
       [](auto& t, auto&, auto&) {
         t.Folder("MainFrame/a/common");
         t.Link("a/common", "MainFrame/b");
       },
       {"again, reached through a link; a folder is copied once"}},
      {"links out that are never sent: hidden, or a configuration image in a tree",
       [](auto& t, auto& o, auto&) {
         t.Link(o.Path("secret.txt"), "MainFrame/.profile");
         t.Link(o.Path("secret.txt"), "MainFrame/old.rpd");
       },
       {}},
      {"dangling links, one looping on itself, one named like an image",
       [](auto& t, auto&, auto&) {
         t.Link("nowhere", "MainFrame/gone.bin");
         t.Link("self", "Target/PNB5/self");
         t.Link("nowhere", "Target/PNB5/old.rpd");
       },
       {"Broken link", "Broken link", "Broken link"}},
  });
}

TEST(CheckRelease, EveryImageTheManifestNamesIsAFileInItsModulesFlexFolder) {
  CheckCases({
      {"an image missing",
       [](auto& t, auto&, auto&) { std::filesystem::remove(t.Path("Target/PCW5/FLEX/pcw5.rpd")); },
       {"FLEX/pcw5.rpd does not exist"}},
      {"an image that is a folder",
       [](auto& t, auto&, auto& m) {
         t.Folder("Target/PCW5/FLEX/b.rpd");
         m[1].rpdFile[1] = "b.rpd";
       },
       {"FLEX/b.rpd is not a regular file"}},
      {"a dangling image link and an image linked from outside",
       [](auto& t, auto& o, auto& m) {
         t.Link("nowhere", "Target/PCW5/FLEX/b.rpd");
         t.Link(o.Path("secret.txt"), "Target/PCW5/FLEX/c.rpd");
         m[1].rpdFile[1] = "b.rpd";
         m[1].rpdFile[2] = "c.rpd";
       },
       {"Broken link", "FLEX/c.rpd: it leads out"}},
      {"an image name that is a path",
       [](auto&, auto&, auto& m) { m[1].rpdFile[1] = "../../../MainFrame/vx500.bin"; },
       {"is not a file name"}},
      {"the images of a module without a folder, and of a model never configured",
       [](auto&, auto&, auto& m) {
         m[0].rpdFile[0] = "pnb5.rpd";
         m.push_back({3, "RKS5", false, {"rks5.rpd"}});
       },
       {"PNB5/FLEX/pnb5.rpd does not exist", "RKS5/FLEX/rks5.rpd does not exist"}},
  });
}

// Fourteen folders, each holding three links to the next: walked path by path, 3^14 trees. Each
// folder is entered once; every other way to it is refused, naming both paths.
TEST(CheckRelease, LinksThatFanOutAreRefusedOncePerFolderNamingBothPaths) {
  testsupport::TempTree release;
  constexpr int kLevels = 14;
  for (int level = 0; level < kLevels; ++level) {
    const std::string folder = "shared/L" + std::to_string(level);
    release.Folder(folder);
    if (level + 1 == kLevels) continue;
    for (const char* name : {"a", "b", "c"}) {
      release.Link("../L" + std::to_string(level + 1), folder + "/" + name);
    }
  }
  release.Folder("MainFrame");
  release.Link("../shared/L0", "MainFrame/top");
  try {
    package::CheckRelease(package::ReleaseRoot(release.Dir()), {{1, "PNB5", false, {}}});
    ADD_FAILURE() << "nothing refused";
  } catch (const package::ReleaseError& e) {
    ASSERT_EQ(e.Problems().size(), 2u * (kLevels - 1));
    EXPECT_THAT(e.Problems()[0],
                testing::ContainsRegex("^The folder .*/MainFrame/top/[abc/]+ is the folder "
                                       ".*/MainFrame/top/[abc/]+ again, reached through a link"));
  }
}

TEST(CheckRelease, TheRefusalListsTheFirstOffendingPathsAndHowManyMore) {
  testsupport::TempTree release;
  for (const char* name : {"MainFrame/a\\1", "MainFrame/b\\2", "MainFrame/c\\3"}) {
    release.File(name);
  }
  try {
    package::CheckRelease(package::ReleaseRoot(release.Dir()), {{1, "PNB5", false, {}}}, 2);
    ADD_FAILURE() << "nothing refused";
  } catch (const package::ReleaseError& e) {
    ASSERT_EQ(e.Problems().size(), 3u);
    EXPECT_EQ(std::string(e.what()),
              "The release in " + release.Dir() +
                  " cannot be installed; nothing was sent to the instrument:\n" + e.Problems()[0] +
                  "\n" + e.Problems()[1] + "\n... and 1 more");
  }
}

}  // namespace
