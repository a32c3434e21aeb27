#include "package/ini_file.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

namespace {

using package::IniFile;
using package::ParseIniInteger;

TEST(ParseIniInteger, ReadsDecimalWithSignAndHexWithItsThreePrefixes) {
  struct Case {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"0", 0},
      {"10", 10},
      {"010", 10},  // decimal, never octal
      {"+5", 5},
      {"-5", -5},
      {"-0", 0},
      {"0x10", 16},
      {"0X1f", 31},
      {"$10", 16},
      {"$ff", 255},
      {"0x0000000010", 16},
      {"2147483647", std::numeric_limits<std::int32_t>::max()},
      {"-2147483648", std::numeric_limits<std::int32_t>::min()},
      {"0x7FFFFFFF", std::numeric_limits<std::int32_t>::max()},
      {"$FFFFFFFF", -1},
      {"0x80000000", std::numeric_limits<std::int32_t>::min()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseIniInteger(c.text), std::optional<std::int32_t>(c.value)) << c.text;
  }
}

TEST(ParseIniInteger, RejectsEverythingElse) {
  for (const char* text : {"",
                           "12abc",
                           "abc",
                           "true",
                           "0x",
                           "$",
                           "+",
                           "-",
                           "--1",
                           "1.5",
                           "1e3",
                           " 5",
                           "5 ",
                           "-0x10",
                           "+$10",
                           "0x-1",
                           "0b1",
                           "2147483648",
                           "-2147483649",
                           "0x100000000",
                           "$1FFFFFFFF",
                           "99999999999999999999"}) {
    EXPECT_EQ(ParseIniInteger(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(IniFile, ReadsTheWayWindowsAuthoringToolsWrite) {
  const std::string longValue(20000, 'v');
  struct Case {
    const char* what;
    std::string text;
    const char* section;
    const char* key;
    std::optional<std::string> value;
  } cases[] = {
      {"plain", "[S]\nk=v\n", "S", "k", "v"},
      {"section and key without regard to case", "[entry 1]\nID=3\n", "ENTRY 1", "id", "3"},
      {"blanks around the line and around =", "[S]\n \t k \t=\t v v \t\n", "S", "k", "v v"},
      {"blanks inside brackets", "[ S ]\nk=v", "S", "k", "v"},
      {"one pair of quotes removed", "[S]\nname=\"PNB5\"\n", "S", "name", "PNB5"},
      {"only one pair removed", "[S]\nname=\"\"PNB5\"\"\n", "S", "name", "\"PNB5\""},
      {"unbalanced quote kept", "[S]\nname=\"PNB5\n", "S", "name", "\"PNB5"},
      {"a lone quote kept", "[S]\nname=\"\n", "S", "name", "\""},
      {"quotes around nothing", "[S]\nname=\"\"\n", "S", "name", ""},
      {"quotes inside blanks", "[S]\nname = \" a \" \n", "S", "name", " a "},
      {"empty value is present", "[S]\nk=\n", "S", "k", ""},
      {"semicolon inside a value", "[S]\nk=a;b ; c\n", "S", "k", "a;b ; c"},
      {"= inside a value", "[S]\nk=a=b\n", "S", "k", "a=b"},
      {"comment line", "[S]\n;k=v\n", "S", "k", std::nullopt},
      {"indented comment line", "[S]\n  ;k=v\n", "S", "k", std::nullopt},
      {"first key wins", "[S]\nk=1\nK=2\n", "S", "k", "1"},
      {"first section wins", "[S]\na=1\n[s]\na=2\n", "S", "a", "1"},
      {"repeated section adds nothing", "[S]\na=1\n[s]\nb=2\n", "S", "b", std::nullopt},
      {"CR LF line ends", "[S]\r\nk=v\r\n", "S", "k", "v"},
      {"byte-order mark before the first line", "\xEF\xBB\xBF[S]\nk=v\n", "S", "k", "v"},
      {"no continuation lines", "[S]\nk=a\n  b=c\n", "S", "k", "a"},
      {"an indented line is its own key", "[S]\nk=a\n  b=c\n", "S", "b", "c"},
      {"no line-length limit", "[S]\nk=" + longValue + "\n", "S", "k", longValue},
      {"last line without line end", "[S]\nk=v", "S", "k", "v"},
      {"key before any section", "k=v\n[S]\n", "S", "k", std::nullopt},
      {"line without =", "[S]\nk\n", "S", "k", std::nullopt},
      {"empty key", "[S]\n=v\n", "S", "", std::nullopt},
      {"missing section", "[S]\nk=v\n", "T", "k", std::nullopt},
      {"section name is exact otherwise", "[ENTRY 01]\nid=1\n", "ENTRY 1", "id", std::nullopt},
      {"keys stay in their section", "[A]\nk=1\n[B]\nj=2\n", "A", "j", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IniFile::Parse(c.text).Value(c.section, c.key), c.value) << c.what;
  }
}

TEST(IniFile, TypedReadsFallBackOnMissingOrMalformedValues) {
  const IniFile ini = IniFile::Parse(
      "[S]\nn=12\nhex=$1F\nbad=12abc\ntrue=true\ntwo=2\nzero=0\nempty=\nname=\"x\"\n");
  EXPECT_EQ(ini.ReadInteger("S", "n", -1), 12);
  EXPECT_EQ(ini.ReadInteger("S", "hex", -1), 31);
  EXPECT_EQ(ini.ReadInteger("S", "bad", -1), -1);
  EXPECT_EQ(ini.ReadInteger("S", "empty", 7), 7);
  EXPECT_EQ(ini.ReadInteger("S", "missing", 7), 7);
  EXPECT_FALSE(ini.ReadBool("S", "true", false));
  EXPECT_TRUE(ini.ReadBool("S", "two", false));
  EXPECT_FALSE(ini.ReadBool("S", "zero", true));
  EXPECT_TRUE(ini.ReadBool("S", "missing", true));
  EXPECT_EQ(ini.ReadString("S", "name", "d"), "x");
  EXPECT_EQ(ini.ReadString("S", "empty", "d"), "");
  EXPECT_EQ(ini.ReadString("S", "missing", "d"), "d");
}

}  // namespace
