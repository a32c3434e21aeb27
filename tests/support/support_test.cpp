#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "net/unique_fd.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_tree.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildOptions;
using testsupport::ChildProcess;

TEST(ChildProcess, GivesTheExitCodeAndWhatTheChildWroteWhereItWasSent) {
  testsupport::TempTree dir;
  testsupport::WriteFile(dir.Path() / "typed", "typed\n");
  ASSERT_EQ(::setenv("VX_KEPT", "kept", 1), 0);
  ASSERT_EQ(::setenv("VX_GONE", "inherited", 1), 0);
  struct Case {
    const char* what;
    std::string script;
    ChildOptions options;
    std::optional<int> exitCode;
    std::string out, err, errorFile;
  } cases[] = {
      {"both streams and the code", "echo out; echo err >&2; exit 3", {}, 3, "out\n", "err\n", ""},
      {"input from a file", "cat", {.input = dir.Path("typed")}, 0, "typed\n", "", ""},
      {"variables set, removed and inherited",
       "echo \"$VX_SET/${VX_GONE-unset}/$VX_KEPT\"",
       {.environment = {{"VX_SET", "here"}, {"VX_GONE", ""}}},
       0,
       "here/unset/kept\n",
       "",
       ""},
      {"errors into a file", "echo err >&2", {.errorFile = dir.Path("err")}, 0, "", "", "err\n"},
      {"ended by a signal", "kill -TERM $$", {}, std::nullopt, "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ChildProcess child({"/bin/sh", "-c", c.script}, c.options);
    EXPECT_EQ(child.Wait(10s), c.exitCode);
    EXPECT_EQ(child.Out(), c.out);
    EXPECT_EQ(child.Err(), c.err);
    if (!c.options.errorFile.empty()) {
      EXPECT_EQ(testsupport::ReadFile(c.options.errorFile), c.errorFile);
    }
  }
}

TEST(ChildProcess, ReadsLinesAsTheyComeAndKeepsEverythingInOut) {
  // However the writes arrive, a line is given whole and a last one without its end not at all.
  ChildProcess child({"/bin/sh", "-c", "printf 'first '; printf 'line\\nsecond\\n'; printf tail"});
  EXPECT_EQ(child.ReadLine(10s), "first line");
  EXPECT_EQ(child.ReadLine(10s), "second");
  EXPECT_EQ(child.ReadLine(10s), "");
  EXPECT_EQ(child.Wait(10s), 0);
  EXPECT_EQ(child.Out(), "first line\nsecond\ntail");
}

// A child that outlives its bound is killed with everything it started: a grandchild holding
// the write end of a pipe of the test's own closes it only when it has ended.
TEST(ChildProcess, ABoundOrTheEndOfTheObjectKillsTheWholeGroup) {
  for (const bool waited : {true, false}) {
    SCOPED_TRACE(waited ? "waited for" : "gone out of scope");
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    net::UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    ASSERT_EQ(::fcntl(readEnd.Get(), F_SETFD, FD_CLOEXEC), 0);
    {
      ChildProcess child({"/bin/sh", "-c", "sleep 1000 & echo started; wait"});
      ASSERT_EQ(child.ReadLine(10s), "started");
      writeEnd.Reset();
      if (waited) {
        EXPECT_EQ(child.Wait(100ms), std::nullopt);
      }
    }
    pollfd p{readEnd.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    char byte;
    EXPECT_EQ(::read(readEnd.Get(), &byte, 1), 0);
  }
}

TEST(PortServer, TakesThePortFromTheFirstLine) {
  const struct {
    const char* script;
    int port;
  } cases[] = {{"echo 4242; exec sleep 1000", 4242}, {"exit 0", 0}};
  for (const auto& c : cases) {
    testsupport::PortServer server({"/bin/sh", "-c", c.script});
    EXPECT_EQ(server.Port(), c.port) << c.script;
  }
}

TEST(LineClient, ReadsLinesWithOrWithoutTheirEnds) {
  testsupport::Listener listener;
  testsupport::LineClient client(listener.Port());
  net::UniqueFd peer = listener.Accept();
  const std::string sent = "a\r\nb\nc";
  ASSERT_EQ(::send(peer.Get(), sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
  peer.Reset();
  EXPECT_EQ(client.ReadLines(2), "a\r\nb\n");
  EXPECT_EQ(client.ReadLines(5), "c");
  EXPECT_EQ(client.ReadLine(), "(closed)");
}

// Removing the folder never follows a link out of it.
TEST(TempTree, GoesWithItsContentAndLeavesWhatItsLinksLeadTo) {
  testsupport::TempTree outside;
  outside.File("kept/file", "kept");
  std::filesystem::path removed;
  {
    testsupport::TempTree tree;
    tree.File("a/b.txt", "b");
    tree.Folder("empty");
    tree.Link(outside.Path("kept"), "a/out");
    removed = tree.Path();
    EXPECT_EQ(tree.Dir(), removed.string() + "/");
    EXPECT_EQ(testsupport::TreeEntries(tree.Path()),
              (std::set<std::string>{"a", "a/b.txt", "a/out", "empty"}));
    EXPECT_EQ(testsupport::TreeContent(tree.Path("a")),
              (std::map<std::string, std::string>{{"b.txt", "b"}, {"out/", ""}}));
  }
  EXPECT_FALSE(std::filesystem::exists(removed));
  EXPECT_EQ(testsupport::ReadFile(outside.Path("kept/file")), "kept");
}

}  // namespace
