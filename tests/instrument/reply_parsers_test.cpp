#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "instrument/instrument_errors.h"
#include "instrument/reply_parsers.h"

namespace {

using instrument::ConversionError;
using instrument::tModuleInfo;

TEST(ConvertInteger, AcceptsBlanksSignAndDigitsOnly) {
  struct Case {
    const char* text;
    int32_t want;
  } good[] = {{"0", 0},
              {"-200", -200},
              {"  42", 42},
              {"+7", 7},
              {"007", 7},
              {"2147483647", 2147483647},
              {"-2147483648", -2147483647 - 1}};
  for (const auto& c : good) EXPECT_EQ(instrument::ConvertInteger(c.text), c.want) << c.text;

  for (const char* text : {"", " ", "-", "+", "1 ", "0\n", "1.5", "0x10", "$10", "12a",
                           "2147483648", "-2147483649", "99999999999999999999", "\t1"}) {
    try {
      instrument::ConvertInteger(text);
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const ConversionError& e) {
      EXPECT_EQ(e.what(), "'" + std::string(text) + "' is not a valid integer value");
    }
  }
}

TEST(ErrorNumberOf, TakesTheTextInFrontOfTheFirstComma) {
  EXPECT_EQ(instrument::ErrorNumberOf("0,\"No error\"\n"), 0);
  EXPECT_EQ(instrument::ErrorNumberOf("-200,\"Execution error\"\n"), -200);
  EXPECT_EQ(instrument::ErrorNumberOf("-256,\"a, b\"\n"), -256);
  // No comma: the empty text is converted.
  for (const char* reply : {"0\n", "", "garbage\n"}) {
    try {
      instrument::ErrorNumberOf(reply);
      ADD_FAILURE() << reply;
    } catch (const ConversionError& e) {
      EXPECT_STREQ(e.what(), "'' is not a valid integer value");
    }
  }
  EXPECT_THROW(instrument::ErrorNumberOf("x,\"y\"\n"), ConversionError);
}

struct Slot {
  int slot, hwMajor, hwMinor, swMajor, swMinor;
  std::string name;
};

std::vector<Slot> Flatten(const std::vector<tModuleInfo>& table) {
  std::vector<Slot> out;
  for (const auto& r : table)
    out.push_back({r.slot, r.hwMajor, r.hwMinor, r.swMajor, r.swMinor, r.moduleName});
  return out;
}

bool operator==(const Slot& a, const Slot& b) {
  return a.slot == b.slot && a.hwMajor == b.hwMajor && a.hwMinor == b.hwMinor &&
         a.swMajor == b.swMajor && a.swMinor == b.swMinor && a.name == b.name;
}

void PrintTo(const Slot& s, std::ostream* os) {
  *os << s.name << "@" << s.slot << " hw " << s.hwMajor << "." << s.hwMinor << " fw " << s.swMajor
      << "." << s.swMinor;
}

TEST(ParseOptionReply, ReadsEachItemByPosition) {
  struct Case {
    const char* reply;
    std::vector<Slot> want;
  } cases[] = {
      {"\"RKS5:2:3.0:1.5\"\n", {{2, 3, 0, 1, 5, "RKS5"}}},
      {"\"VX500:0:1.0:2.10\",\"PCW5:1:2.05:1.0\"\n",
       {{0, 1, 0, 2, 10, "VX500"}, {1, 2, 5, 1, 0, "PCW5"}}},
      // Delimiters and the separator after the slot digit are not examined.
      {"<PCWX5:4/1.99:3.2>\n", {{4, 1, 99, 3, 2, "PCWX5"}}},
      // The firmware splits at its last dot, the hardware at its first dot.
      {"\"A:3:10.20:300.40\"\n", {{3, 10, 20, 300, 40, "A"}}},
      {"", {}},
  };
  for (const auto& c : cases) {
    std::vector<tModuleInfo> table;
    instrument::ParseOptionReply(c.reply, table);
    EXPECT_EQ(Flatten(table), c.want) << c.reply;
  }
}

TEST(ParseOptionReply, MalformedItemRaisesAndKeepsEarlierRecords) {
  struct Case {
    const char* reply;
    size_t kept;
    const char* badText;
  } cases[] = {
      {"\"RKS5:2:30:1.5\"\n", 0, "30:1"},                 // hardware version without a dot
      {"\"RKS5:x:3.0:1.5\"\n", 0, "x"},                   // slot is no digit
      {"\"A:0:1.0:2.1\",\"B:1:1.0:1.2.3\"\n", 1, "1.2"},  // firmware with two dots
      {"\"A:0:1.0:2.1\",\n", 1, ""},                      // reply ends in a comma
      {"\"A:0:1.0:2.1\",\"B:1:2.0:1.0\",junk\n", 2, "j"},
      {"\"RKS5:2:3.0\"\n", 0, ""},  // no firmware part
      // Cut off before its line feed, the last item loses a version digit instead.
      {"\"RKS5:2:3.0:1.5\"", 0, ""},
  };
  for (const auto& c : cases) {
    std::vector<tModuleInfo> table;
    try {
      instrument::ParseOptionReply(c.reply, table);
      ADD_FAILURE() << "accepted " << c.reply;
    } catch (const ConversionError& e) {
      EXPECT_EQ(e.what(), "'" + std::string(c.badText) + "' is not a valid integer value")
          << c.reply;
    }
    EXPECT_EQ(table.size(), c.kept) << c.reply;
  }
}

TEST(VersionLevel, IsMajorTimesHundredPlusMinorIn16Bits) {
  EXPECT_EQ(instrument::VersionLevel(2, 1), 201);
  EXPECT_EQ(instrument::VersionLevel(2, 10), 210);
  EXPECT_EQ(instrument::VersionLevel(3, 0), 300);
  EXPECT_EQ(instrument::VersionLevel(400, 0), static_cast<int16_t>(-25536));
}

TEST(Catalog, SizesComeFromTheFirstTwoFields) {
  EXPECT_EQ(instrument::CatalogFreeBytes("1000,2500,\"SYSTEM\",DIR,0\n"), 2500);
  EXPECT_EQ(instrument::CatalogTotalBytes("1000,2500,\"SYSTEM\",DIR,0\n"), 3500);
  // Totals wrap to 32 bits unchecked; the caller reads them unsigned.
  EXPECT_EQ(
      static_cast<uint32_t>(instrument::CatalogTotalBytes("2147483647,2147483647,\"A\",BIN,1\n")),
      4294967294u);
  // A drive that lists nothing leaves the second field without its closing comma.
  for (const char* reply : {"1000,2500\n", "1000\n", ""}) {
    EXPECT_THROW(instrument::CatalogFreeBytes(reply), ConversionError) << reply;
    EXPECT_THROW(instrument::CatalogTotalBytes(reply), ConversionError) << reply;
  }
  try {
    instrument::CatalogTotalBytes("x1,2,\"A\",BIN,1\n");
    ADD_FAILURE();
  } catch (const ConversionError& e) {
    EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
  }
}

TEST(Catalog, NameMustStandBetweenQuotes) {
  struct Case {
    const char* reply;
    bool want;
  } cases[] = {
      {"10,20,\"NAME\",BIN,6\n", true},
      {"10,20,\"NAMES\",BIN,6\n", false},
      {"10,20,\"XNAME\",BIN,6\n", false},
      {"10,20,NAME,BIN,6\n", false},
      {"10,20,\"name\",BIN,6\n", false},
      {"10,20,\"A\",BIN,1,\"NAME\",BIN,6\n", true},
      {"", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(instrument::CatalogListsName(c.reply, "NAME"), c.want) << c.reply;
}

}  // namespace

TEST(ParseCatalogEntries, ReadsEachFormAndNeverTakesAnUnreadableEntryForAFile) {
  using instrument::ParseCatalogEntries;
  struct Row {
    const char* reply;
    const char* entries;  // name|type|size per entry, ";"-separated; size "-" for none
    std::size_t unreadable;
  };
  const Row rows[] = {
      {"10,20,\"a.bin\",BIN,5,\"LOGO\",DIR,0\n", "a.bin|BIN|5;LOGO|DIR|0", 0},
      {"10,20,\"a.bin,BIN,5\",\"LOGO,DIR,0\"\r\n", "a.bin|BIN|5;LOGO|DIR|0", 0},
      {"10,20,\"a.bin\",\"LOGO\"", "a.bin||-;LOGO||-", 0},
      // A name with commas in it, in the form that puts the fields inside the quotes.
      {"10,20,\"x,y.bin,BIN,7\"", "x,y.bin|BIN|7", 0},
      {"10,20", "", 0},
      {"10,20,", "", 0},
      // A size that is no number, a missing field, text glued to the quote, no quotes, an
      // unterminated quote: unreadable, and the readable entries beside them still read.
      {"10,20,\"a\",BIN,5k,\"b\",BIN,3", "b|BIN|3", 1},
      {"10,20,\"a\",BIN,\"b\",BIN,3", "b|BIN|3", 1},
      {"10,20,\"a\"x,BIN,5,\"b\",BIN,3", "b|BIN|3", 1},
      {"10,20,a.bin,BIN,5,\"b\",BIN,3", "b|BIN|3", 1},
      {"10,20,\"b\",BIN,3,\"a.bin", "b|BIN|3", 1},
      {"10,20,\"\",BIN,3", "", 1},
  };
  for (const Row& row : rows) {
    const instrument::Catalog catalog = ParseCatalogEntries(row.reply);
    std::string entries;
    for (const instrument::CatalogEntry& entry : catalog.entries) {
      if (!entries.empty()) entries += ";";
      entries +=
          entry.name + "|" + entry.type + "|" + (entry.bytes ? std::to_string(*entry.bytes) : "-");
    }
    EXPECT_EQ(entries, row.entries) << row.reply;
    EXPECT_EQ(catalog.unreadable, row.unreadable) << row.reply;
  }
}
