#include "package/local_names.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>

#include "tests/support/temp_tree.h"

namespace {

using package::EntryKind;
using package::FindLocalEntry;

TEST(FindLocalEntry, ExactMatchWinsElseFirstCaseInsensitiveMatchInByteOrder) {
  testsupport::TempTree tree;
  tree.Folder("target");
  tree.Folder("Target");
  tree.Folder("TARGET");
  tree.File("Image.RPD");
  tree.File("image.Rpd");
  tree.File("\xC3\xA9t\xC3\xA9");  // "été" in UTF-8; "ÉtÉ" differs outside ASCII

  struct Case {
    const char* name;
    std::optional<std::string> found;
  } cases[] = {
      {"target", "target"},        {"Target", "Target"},       {"TaRgEt", "TARGET"},
      {"image.rpd", "Image.RPD"},  {"IMAGE.RPD", "Image.RPD"}, {"image.Rpd", "image.Rpd"},
      {"MainFrame", std::nullopt}, {"targe", std::nullopt},    {"\xC3\x89t\xC3\x89", std::nullopt},
      {"", std::nullopt},          {".", std::nullopt},        {"..", std::nullopt},
      {"target/x", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(FindLocalEntry(tree.Dir(), c.name), c.found) << c.name;
}

TEST(FindLocalEntry, AMissingFolderFindsNothingAndAnUnreadableOneIsAnError) {
  testsupport::TempTree tree;
  tree.File("plain");
  tree.Link("loop", "loop");
  EXPECT_EQ(FindLocalEntry(tree.Path("missing"), "x"), std::nullopt);
  EXPECT_EQ(FindLocalEntry(tree.Path("plain"), "x"), std::nullopt);
  EXPECT_THROW(FindLocalEntry(tree.Path("loop"), "x"), package::LocalFsError);
}

TEST(ResolveLocalPath, FollowsEachStepWithoutRegardToCase) {
  testsupport::TempTree tree;
  tree.Folder("TARGET/pnb5/Signal");
  EXPECT_EQ(package::ResolveLocalPath(tree.Dir(), {"Target", "PNB5", "SIGNAL"}),
            tree.Path("TARGET/pnb5/Signal"));
  EXPECT_EQ(package::ResolveLocalPath(tree.Dir(), {"Target", "PCW5", "SIGNAL"}), std::nullopt);
  EXPECT_EQ(package::ResolveLocalPath(tree.Dir(), {}), tree.Dir());
}

TEST(JoinLocalPath, PutsExactlyOneSlashBetween) {
  EXPECT_EQ(package::JoinLocalPath("/a/", "b"), "/a/b");
  EXPECT_EQ(package::JoinLocalPath("/a", "b"), "/a/b");
  EXPECT_EQ(package::JoinLocalPath("", "b"), "/b");
}

TEST(ListLocalFolder, GivesEveryEntryWithItsKindFollowingLinks) {
  testsupport::TempTree tree;
  tree.File("d/file", "12345");
  tree.File("d/.hidden", "1");
  tree.Folder("d/sub");
  tree.Link("file", "d/to-file");
  tree.Link("sub", "d/to-sub");
  tree.Link("gone", "d/dangling");
  tree.Link("self", "d/self");
  ASSERT_EQ(::mkfifo(tree.Path("d/fifo").c_str(), 0600), 0);

  const auto entries = package::ListLocalFolder(tree.Path("d"));
  ASSERT_TRUE(entries);
  std::map<std::string, std::pair<EntryKind, std::uint64_t>> seen;
  for (const auto& e : *entries) seen[e.name] = {e.kind, e.size};
  const std::map<std::string, std::pair<EntryKind, std::uint64_t>> expected = {
      {"file", {EntryKind::kFile, 5}},     {".hidden", {EntryKind::kFile, 1}},
      {"sub", {EntryKind::kFolder, 0}},    {"to-file", {EntryKind::kFile, 5}},
      {"to-sub", {EntryKind::kFolder, 0}}, {"dangling", {EntryKind::kBroken, 0}},
      {"self", {EntryKind::kBroken, 0}},   {"fifo", {EntryKind::kOther, 0}},
  };
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(entries->size(), expected.size());

  EXPECT_EQ(package::ListLocalFolder(tree.Path("missing")), std::nullopt);
  EXPECT_EQ(package::ListLocalFolder(tree.Path("d/file")), std::nullopt);
  EXPECT_THROW(package::ListLocalFolder(tree.Path("d/self")), package::LocalFsError);

  EXPECT_EQ(package::LocalEntryKind(tree.Path("d/to-sub")), EntryKind::kFolder);
  EXPECT_EQ(package::LocalEntryKind(tree.Path("d/dangling")), EntryKind::kBroken);
  EXPECT_EQ(package::LocalEntryKind(tree.Path("d/nothing")), std::nullopt);
}

}  // namespace
