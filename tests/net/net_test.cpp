#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <poll.h>

#include <cerrno>
#include <chrono>

#include "net/ipv4.h"
#include "net/socket_error.h"
#include "net/text.h"
#include "net/unique_fd.h"
#include "net/wait.h"
#include "tests/support/loopback.h"

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

// Control characters, bidirectional formatting characters and bytes that are not UTF-8 never
// reach a terminal or a log raw; TAB and valid text stay as they are.
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
      // C1 controls in UTF-8: the one-character CSI and both ends of the range; U+00A0 stays.
      {"\xc2\x9bK", LineFeeds::kEscaped, "\\u009bK"},
      {"\xc2\x80\xc2\x9f\xc2\xa0", LineFeeds::kEscaped, "\\u0080\\u009f\xc2\xa0"},
      // Bidirectional overrides, embeddings, isolates and marks; their neighbours stay.
      {"abc\xe2\x80\xaetxt.exe", LineFeeds::kEscaped, "abc\\u202etxt.exe"},
      {"\xe2\x80\xaa\xe2\x80\xad\xe2\x80\xa9\xe2\x80\xaf", LineFeeds::kEscaped,
       "\\u202a\\u202d\xe2\x80\xa9\xe2\x80\xaf"},
      {"\xe2\x81\xa6x\xe2\x81\xa9\xe2\x81\xa5\xe2\x81\xaa", LineFeeds::kEscaped,
       "\\u2066x\\u2069\xe2\x81\xa5\xe2\x81\xaa"},
      {"\xe2\x80\x8e\xe2\x80\x8f\xd8\x9c", LineFeeds::kEscaped, "\\u200e\\u200f\\u061c"},
      // Bytes that are not valid UTF-8, each written out on its own.
      {"a\xff\xfe\xf5z", LineFeeds::kEscaped, "a\\xff\\xfe\\xf5z"},
      {"lone\x80\xbf", LineFeeds::kEscaped, "lone\\x80\\xbf"},
      {"cut\xe2\x82", LineFeeds::kEscaped, "cut\\xe2\\x82"},
      {"cut\xf0\x9f\x98x", LineFeeds::kEscaped, "cut\\xf0\\x9f\\x98x"},
      {"\xc0\xaf\xc1\xbf\xe0\x80\xaf\xf0\x8f\xbf\xbf", LineFeeds::kEscaped,
       "\\xc0\\xaf\\xc1\\xbf\\xe0\\x80\\xaf\\xf0\\x8f\\xbf\\xbf"},
      {"\xed\xa0\x80\xed\xbf\xbf", LineFeeds::kEscaped, "\\xed\\xa0\\x80\\xed\\xbf\\xbf"},
      {"\xf4\x90\x80\x80", LineFeeds::kEscaped, "\\xf4\\x90\\x80\\x80"},
      // Valid UTF-8 up to U+10FFFF stays as it is.
      {"\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xed\x9f\xbf \xf4\x8f\xbf\xbf",
       LineFeeds::kEscaped,
       "\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \xed\x9f\xbf \xf4\x8f\xbf\xbf"},
      {"caf\xc3\xa9\x1b\xc2\x9b\xff\xe2\x80\xae\xf0\x9f\x98\x80\n", LineFeeds::kKept,
       "caf\xc3\xa9\\x1b\\u009b\\xff\\u202e\xf0\x9f\x98\x80\n"},
  };
  for (const Case& c : cases) {
    const std::string shown = net::PrintableText(c.text, c.lineFeeds);
    EXPECT_EQ(shown, c.shown) << c.shown;
    // What is shown is shown again unchanged (error texts quote names already written out).
    EXPECT_EQ(net::PrintableText(shown, c.lineFeeds), shown) << c.shown;
  }
  // A view cut inside a character (a reply quoted up to a length) ends with the bytes it holds.
  EXPECT_EQ(net::PrintableText(std::string_view("1\xe2\x82\xac", 3)), "1\\xe2\\x82");
}

TEST(SocketError, MapsPlatformErrorsOntoTheTable) {
  EXPECT_EQ(net::PlatformErrorText(ECONNREFUSED), "10061:Connection refused");
  EXPECT_EQ(net::PlatformErrorText(EPIPE), "10054:Connection reset by peer");
  EXPECT_EQ(net::PlatformErrorText(ECONNRESET), "10054:Connection reset by peer");
  EXPECT_EQ(net::WinsockErrorNumber(EAGAIN), net::kWouldBlock);
  EXPECT_EQ(net::WinsockErrorText(12345), "Unknown Error No. 12345");
  EXPECT_EQ(net::WinsockErrorText(11001), "11001:Host not found");
}

// The two ends of one loopback connection.
class WaitFdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::ConnectedPair pair = testsupport::LoopbackPair();
    a_ = std::move(pair.a);
    b_ = std::move(pair.b);
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
