#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <poll.h>

#include <cerrno>
#include <chrono>

#include "net/ipv4.h"
#include "net/socket_error.h"
#include "net/text.h"
#include "net/unique_fd.h"
#include "net/wait.h"

namespace {

std::string Dotted(const in_addr& a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

// Each parsed address is written back as the dotted text the C library gives.
TEST(ParseIPv4, AcceptsDottedQuadsWithDecimalLeadingZeros) {
  struct Case {
    const char* text;
    const char* dotted;
  } cases[] = {{"10.0.0.5", "10.0.0.5"},  {"192.168.001.020", "192.168.1.20"},
               {"0.0.0.0", "0.0.0.0"},    {"255.255.255.255", "255.255.255.255"},
               {"010.0.0.1", "10.0.0.1"}, {"100.99.10.9", "100.99.10.9"}};
  for (const auto& c : cases) {
    auto a = net::ParseIPv4(c.text);
    ASSERT_TRUE(a) << c.text;
    EXPECT_EQ(Dotted(*a), c.dotted) << c.text;
    EXPECT_EQ(net::AddressText(*a), c.dotted) << c.text;
    EXPECT_EQ(net::EndpointText(*a, 21), std::string(c.dotted) + ":21") << c.text;
  }
}

TEST(ParseIPv4, RejectsEverythingElse) {
  for (const char* text :
       {"", "10.0.0", "10.0.0.5.", "10.0.0.256", "1.2.3.0004", "a.b.c.d", "10..0.5", " 10.0.0.5",
        "10.0.0.5 ", "localhost", "0x7f.0.0.1", "1.2.3.4.5", "-1.0.0.0", "10.0.0.5\n"}) {
    EXPECT_FALSE(net::ParseIPv4(text)) << '"' << text << '"';
  }
}

// Control characters never reach a terminal or a log raw; TAB and text bytes stay as they are.
TEST(PrintableText, WritesControlCharactersOut) {
  using net::LineFeeds;
  struct Case {
    std::string text;
    LineFeeds lineFeeds;
    std::string shown;
  } cases[] = {
      {"a\r\nb", LineFeeds::kEscaped, "a\\r\\nb"},
      {std::string("a\0b", 3), LineFeeds::kEscaped, "a\\0b"},
      {"\x1b]0;title\x07\x1b[2Jx", LineFeeds::kEscaped, "\\x1b]0;title\\x07\\x1b[2Jx"},
      {"del\x7f tab\t bell\x01\x1f", LineFeeds::kEscaped, "del\\x7f tab\t bell\\x01\\x1f"},
      {"caf\xc3\xa9 ~", LineFeeds::kEscaped, "caf\xc3\xa9 ~"},
      {"two\nlines\r\nthree\r", LineFeeds::kKept, "two\nlines\nthree\\r"},
      {"box\n\x1b[31m", LineFeeds::kKept, "box\n\\x1b[31m"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(net::PrintableText(c.text, c.lineFeeds), c.shown) << c.shown;
  }
}

TEST(SocketError, MapsPlatformErrorsOntoTheTable) {
  EXPECT_EQ(net::PlatformErrorText(ECONNREFUSED), "10061:Connection refused");
  EXPECT_EQ(net::PlatformErrorText(EPIPE), "10054:Connection reset by peer");
  EXPECT_EQ(net::PlatformErrorText(ECONNRESET), "10054:Connection reset by peer");
  EXPECT_EQ(net::WinsockErrorNumber(EAGAIN), net::kWouldBlock);
  EXPECT_EQ(net::WinsockErrorText(12345), "Unknown Error No. 12345");
  EXPECT_EQ(net::WinsockErrorText(11001), "11001:Host not found");
}

class WaitFdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    a_.Reset(sv[0]);
    b_.Reset(sv[1]);
  }
  net::UniqueFd a_, b_;
};

TEST_F(WaitFdTest, ReadyAtOnceWhenDataIsWaiting) {
  ASSERT_EQ(write(b_.Get(), "x", 1), 1);
  net::WaitOptions o;
  o.deadline = net::Deadline::After(std::chrono::seconds(5));
  EXPECT_EQ(net::WaitFd(a_.Get(), POLLIN, o), net::WaitResult::kReady);
}

// The pump runs after every slice until the deadline; here the third pump lets the deadline
// pass, so the count does not depend on how fast the machine is.
TEST_F(WaitFdTest, TimesOutAtTheDeadlineAndPumpsMeanwhile) {
  int pumps = 0;
  net::WaitOptions o;
  o.deadline = net::Deadline::After(std::chrono::seconds(30));
  o.pump = [&] {
    if (++pumps == 3) o.deadline = net::Deadline::After(std::chrono::milliseconds(0));
  };
  o.sliceMs = 1;
  EXPECT_EQ(net::WaitFd(a_.Get(), POLLIN, o), net::WaitResult::kTimedOut);
  EXPECT_EQ(pumps, 3);
}

// What came while the pump ran past the deadline is still taken: a busy window never turns an
// answer that came into a time-out.
TEST_F(WaitFdTest, DataThatCameWhileThePumpRanPastTheDeadlineIsReady) {
  net::WaitOptions o;
  o.deadline = net::Deadline::After(std::chrono::seconds(30));
  o.pump = [&] {
    ASSERT_EQ(write(b_.Get(), "x", 1), 1);
    o.deadline = net::Deadline::After(std::chrono::milliseconds(0));
  };
  o.sliceMs = 1;
  EXPECT_EQ(net::WaitFd(a_.Get(), POLLIN, o), net::WaitResult::kReady);
}

TEST_F(WaitFdTest, CancelFromThePumpEndsTheWait) {
  bool cancel = false;
  net::WaitOptions o;
  o.pump = [&] { cancel = true; };
  o.cancelled = [&] { return cancel; };
  o.sliceMs = 1;
  EXPECT_EQ(net::WaitFd(a_.Get(), POLLIN, o), net::WaitResult::kCancelled);
}

// Without a pump the predicate is still asked again after a short slice, so a flag that a
// signal handler raised just before poll() started is not missed until the deadline.
TEST_F(WaitFdTest, CancelWithoutAPumpIsSeenWithinASlice) {
  int asked = 0;
  net::WaitOptions o;
  o.deadline = net::Deadline::After(std::chrono::seconds(30));
  o.cancelled = [&] { return ++asked > 2; };
  o.cancelSliceMs = 1;
  EXPECT_EQ(net::WaitFd(a_.Get(), POLLIN, o), net::WaitResult::kCancelled);
  EXPECT_EQ(asked, 3);
}

TEST_F(WaitFdTest, PeerCloseCountsAsReadableEndOfFile) {
  b_.Reset();
  net::WaitOptions o;
  o.deadline = net::Deadline::After(std::chrono::seconds(5));
  EXPECT_EQ(net::WaitFd(a_.Get(), POLLIN, o), net::WaitResult::kReady);
}

}  // namespace
