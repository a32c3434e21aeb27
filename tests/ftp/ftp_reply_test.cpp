#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "ftp/ftp_errors.h"
#include "ftp/ftp_reply.h"

namespace {

using namespace ftp;

TEST(ParseReplyCode, ReadsLeadingDigits) {
  struct Case {
    const char* line;
    int code;
  } cases[] = {
      {"220 ok\r\n", 220},
      {"230-Welcome\r\n", 230},
      {"abc\r\n", 0},
      {"\r\n", 0},
      {"600 odd\r\n", 600},
      {"32767 max\r\n", 32767},
      {"0000000220 x\r\n", 220},
      {" 220 x\r\n", 0},
      {"5", 5},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseReplyCode(c.line), c.code) << c.line;
}

TEST(ParseReplyCode, CodeBeyondSixteenBitsIsMalformed) {
  for (const char* line : {"32768 x\r\n", "99999 x\r\n", "123456789012 x\r\n"})
    EXPECT_THROW(ParseReplyCode(line), ESockError) << line;
}

TEST(ReplyClass, OnlyThreeDigitsFromOneToFiveMakeAValidCode) {
  struct Case {
    const char* line;
    int replyClass;
  } cases[] = {
      {"226 Transfer complete.\r\n", 2},
      {"226-more follows\r\n", 2},
      {"226\r\n", 2},
      {"226", 2},
      {"110 Restart marker\r\n", 1},
      {"350 Pending\r\n", 3},
      {"552 Exceeded\r\n", 5},
      {"600 odd\r\n", 0},
      {"026 leading zero\r\n", 0},
      {"2260 four digits\r\n", 0},
      {"22 two digits\r\n", 0},
      {"226x\r\n", 0},
      {" 226 indented\r\n", 0},
      {"Transfer complete\r\n", 0},
      {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ReplyClass(c.line), c.replyClass) << c.line;
}

TEST(IsContinuationLine, FirstCharacterSpaceOrFourthDash) {
  EXPECT_TRUE(IsContinuationLine("220-Welcome\r\n"));
  EXPECT_TRUE(IsContinuationLine(" more text\r\n"));
  EXPECT_FALSE(IsContinuationLine("220 ready\r\n"));
  EXPECT_FALSE(IsContinuationLine("22-x"));
  EXPECT_FALSE(IsContinuationLine(""));
}

TEST(CommandKind, FirstWordDecidesWithLetterCase) {
  struct Case {
    const char* line;
    TCmdType kind;
  } cases[] = {
      {"CWD N0:", cmdChangeDir}, {"CWD", cmdChangeDir},      {"cwd N0:", cmdDoCommand},
      {"DELE x.rpd", cmdDelete}, {"MKD /F0:/A", cmdMakeDir}, {"RMD A", cmdRemoveDir},
      {"PWD", cmdCurrentDir},    {"PWD ", cmdDoCommand},     {"TYPE I", cmdDoCommand},
      {"CWDX a", cmdDoCommand},  {"", cmdDoCommand},
  };
  for (const auto& c : cases) EXPECT_EQ(CommandKind(c.line), c.kind) << '"' << c.line << '"';
}

TEST(CommandKind, OrdinalsAreFixed) {
  EXPECT_EQ(static_cast<int>(cmdChangeDir), 0);
  EXPECT_EQ(static_cast<int>(cmdDelete), 2);
  EXPECT_EQ(static_cast<int>(cmdUpload), 9);
  EXPECT_EQ(static_cast<int>(cmdDoCommand), 14);
  EXPECT_EQ(static_cast<int>(cmdCurrentDir), 15);
}

TEST(ParsePasvPort, FifthAndSixthFields) {
  EXPECT_EQ(ParsePasvPort("227 Entering Passive Mode (127,0,0,1,19,137).\r\n"), 5001);
  EXPECT_EQ(ParsePasvPort("227 =127,0,0,1,4,1\r\n"), 1025);
  EXPECT_FALSE(ParsePasvPort("227 Entering Passive Mode\r\n"));
  EXPECT_FALSE(ParsePasvPort("227 (127,0,0,1,300,1)\r\n"));
  EXPECT_FALSE(ParsePasvPort("227 (127,0,0,1,x,1)\r\n"));
}

TEST(PortText, AddressWithCommasAndPortAsTwoBytes) {
  in_addr a{};
  inet_pton(AF_INET, "192.168.0.10", &a);
  EXPECT_EQ(PortAddressText(a), "192,168,0,10");
  EXPECT_EQ(PortNumberText(5001), ",19,137");
  EXPECT_EQ(PortNumberText(65535), ",255,255");
}

TEST(NamePart, TextAfterTheLastSlash) {
  EXPECT_EQ(NamePart("/tmp/rel/Target/X/FLEX/image.rpd"), "image.rpd");
  EXPECT_EQ(NamePart("plain.bin"), "plain.bin");
  EXPECT_EQ(NamePart("dir/"), "");
}

TEST(CheckCommandLine, RefusesLineBreaksNulAndOverlongLines) {
  EXPECT_NO_THROW(CheckCommandLine("CWD /F0:/SYSTEM", "CWD /F0:/SYSTEM"));
  for (std::string bad : {std::string("CWD a\r\nDELE b"), std::string("CWD a\n"),
                          std::string("CWD a\0b", 7), std::string(65534, 'x')}) {
    EXPECT_THROW(CheckCommandLine(bad, bad), ECommandRefused);
  }
  try {
    CheckCommandLine("PASS secret\r\n", "PASS ");
    FAIL();
  } catch (const ECommandRefused& e) {
    EXPECT_EQ(std::string(e.what()).find("secret"), std::string::npos) << e.what();
  }
}

}  // namespace
