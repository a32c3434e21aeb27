#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "instrument/instrument_errors.h"
#include "instrument/memory_transport.h"
#include "instrument/tfrm_vx500.h"

namespace {

using instrument::MemoryTransport;
using instrument::TfrmVX500;
using Lines = std::vector<std::string>;

// A session over an in-memory transport, already open.
class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    auto transport = std::make_unique<MemoryTransport>();
    wire_ = transport.get();
    session_ = std::make_unique<TfrmVX500>(std::move(transport));
    session_->OpenCommandConnection("10.0.0.5");
  }
  MemoryTransport* wire_;  // owned by the session
  std::unique_ptr<TfrmVX500> session_;
};

TEST_F(SessionTest, SendCommandAddsOneLineFeedUnlessPresent) {
  session_->SendCommand("*IDN?");
  session_->SendCommand(":MMEM:CDIR \"/F0:/\"\n");
  session_->SendCommand("");
  EXPECT_EQ(wire_->Written(), (Lines{"*IDN?\n", ":MMEM:CDIR \"/F0:/\"\n", "\n"}));
}

TEST_F(SessionTest, ReadReplyKeepsCarriageReturnAndDropsZeroBytes) {
  wire_->QueueReply(std::string("AB\r\n", 4) + std::string("x\0y\n", 4) + "rest");
  EXPECT_EQ(session_->ReadReply(), "AB\r\n");
  EXPECT_EQ(session_->ReadReply(), "xy\n");
  wire_->ClosePeerAfterInput();
  EXPECT_EQ(session_->ReadReply(), "rest");  // cut off by the peer's close: no error
  EXPECT_FALSE(session_->CommandConnectionOpen());
  EXPECT_EQ(session_->ReadReply(), "");
  session_->SendCommand("*IDN?");  // writes nothing, reports nothing
  EXPECT_EQ(wire_->Written().size(), 0u);
}

TEST_F(SessionTest, SendCheckedReadsOneErrorQueueEntry) {
  wire_->QueueReply("0,\"No error\"\n-200,\"Execution error\"\n0\n");
  EXPECT_EQ(session_->SendChecked("INST:NSEL 1"), 0);
  EXPECT_EQ(session_->SendChecked("INST:NSEL 2"), -200);
  try {
    session_->SendChecked("INST:NSEL 3");
    ADD_FAILURE();
  } catch (const instrument::ConversionError& e) {
    EXPECT_STREQ(e.what(), "'' is not a valid integer value");
  }
  EXPECT_EQ(wire_->Written(), (Lines{"INST:NSEL 1\n", "SYSTEM:ERR?\n", "INST:NSEL 2\n",
                                     "SYSTEM:ERR?\n", "INST:NSEL 3\n", "SYSTEM:ERR?\n"}));
}

TEST_F(SessionTest, BoundsAndFailuresCloseTheConnection) {
  // No reply arrives: the bound fires, its text names the command.
  session_->SendCommand("*IDN?");
  try {
    session_->ReadReply();
    ADD_FAILURE();
  } catch (const instrument::CommandTimeoutError& e) {
    EXPECT_NE(std::string(e.what()).find("did not answer \"*IDN?\""), std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(session_->CommandConnectionOpen());

  session_->OpenCommandConnection("10.0.0.5");
  wire_->FailNextWrite(EPIPE);
  try {
    session_->SendCommand("*OPT?");
    ADD_FAILURE();
  } catch (const instrument::CommandSocketError& e) {
    EXPECT_STREQ(e.what(), "send failed: 10054:Connection reset by peer");
    EXPECT_EQ(e.Api(), "send");
    EXPECT_EQ(e.Number(), 10054);
  }
  EXPECT_FALSE(session_->CommandConnectionOpen());

  session_->OpenCommandConnection("10.0.0.5");
  auto bounds = session_->Bounds();
  bounds.maxReplyBytes = 8;
  session_->SetCommandBounds(bounds);
  wire_->QueueReply("1234567\n12345678\n");
  EXPECT_EQ(session_->ReadReply(), "1234567\n");
  EXPECT_THROW(session_->ReadReply(), instrument::ReplyTooLongError);
  EXPECT_FALSE(session_->CommandConnectionOpen());
}

TEST_F(SessionTest, OpenTakesOnlyDottedAddressesAndReopens) {
  session_->OpenCommandConnection("192.168.001.020");
  EXPECT_EQ(wire_->LastAddress().s_addr, inet_addr("192.168.1.20"));
  int opens = wire_->OpenCount();
  for (const char* bad : {"", "localhost", "10.0.0", "10.0.0.256", " 10.0.0.5"})
    EXPECT_THROW(session_->OpenCommandConnection(bad), instrument::CommandConnectError) << bad;
  EXPECT_EQ(wire_->OpenCount(), opens);  // never reached the transport
  EXPECT_FALSE(session_->CommandConnectionOpen());

  wire_->FailNextOpen(ECONNREFUSED);
  try {
    session_->OpenCommandConnection("10.0.0.5");
    ADD_FAILURE();
  } catch (const instrument::CommandConnectError& e) {
    EXPECT_NE(std::string(e.what()).find("10061:Connection refused"), std::string::npos);
  }
  EXPECT_FALSE(session_->CommandConnectionOpen());
}

TEST_F(SessionTest, FileSystemQueriesSendExactBytes) {
  wire_->QueueReply(
      "0,\"No error\"\n"                  // CDIR /F0:/
      "-256,\"File name not found\"\n"    // CDIR /F0://NQRM5
      "0,\"No error\"\n0,\"No error\"\n"  // MakeRemoteDir: CDIR, then the MDIR check
      "-256,\"File name not found\"\n"    // MakeRemoteDir whose parent is missing
      "0,\"No error\"\n-257,\"File name error\"\n"
      "10,20,\"NAME\",BIN,6\n"
      "1000,2500,\"SYSTEM\",DIR,0\n1000,2500,\"SYSTEM\",DIR,0\n");
  EXPECT_TRUE(session_->ChangeDirectory("/F0:/"));
  EXPECT_FALSE(session_->RemoteDirExists("/F0:/", "NQRM5"));
  EXPECT_TRUE(session_->MakeRemoteDir("/F0:/SYSTEM", "MID1"));
  EXPECT_FALSE(session_->MakeRemoteDir("/F0:/NOPE", "MID1"));
  EXPECT_FALSE(session_->MakeRemoteDir("/F0:/SYSTEM", "MID2"));
  EXPECT_TRUE(session_->CatalogContains("/F0:/SYSTEM/MID1", "NAME"));
  EXPECT_EQ(session_->FreeFlashBytes(), 2500);
  EXPECT_EQ(session_->TotalFlashBytes(), 3500);
  EXPECT_EQ(wire_->Written(), (Lines{
                                  ":MMEM:CDIR \"/F0:/\"\n",
                                  "SYSTEM:ERR?\n",
                                  ":MMEM:CDIR \"/F0://NQRM5\"\n",
                                  "SYSTEM:ERR?\n",
                                  ":MMEM:CDIR \"/F0:/SYSTEM\"\n",
                                  "SYSTEM:ERR?\n",
                                  "MMEM:MDIR \"MID1\"\n",
                                  ":SYSTEM:ERR?\n",
                                  ":MMEM:CDIR \"/F0:/NOPE\"\n",
                                  "SYSTEM:ERR?\n",
                                  ":MMEM:CDIR \"/F0:/SYSTEM\"\n",
                                  "SYSTEM:ERR?\n",
                                  "MMEM:MDIR \"MID2\"\n",
                                  ":SYSTEM:ERR?\n",
                                  "MMEM:CAT? \"/F0:/SYSTEM/MID1\"\n",
                                  "MMEM:CAT? \"/F0:/\"\n",
                                  "MMEM:CAT? \"/F0:/\"\n",
                              }));
}

TEST_F(SessionTest, MakeRemoteDirJudgesOnlyTheFirstCharacter) {
  wire_->QueueReply("0,\"No error\"\ngarbage\n0,\"No error\"\n\n");
  EXPECT_FALSE(session_->MakeRemoteDir("/F0:/", "A"));  // no conversion error
  EXPECT_FALSE(session_->MakeRemoteDir("/F0:/", "B"));  // empty line
}

TEST_F(SessionTest, LongPathsGoOutWhole) {
  std::string path = "/F0:/" + std::string(200, 'a');
  wire_->QueueReply("0,\"No error\"\n");
  EXPECT_TRUE(session_->ChangeDirectory(path));
  EXPECT_EQ(wire_->Written().front(), ":MMEM:CDIR \"" + path + "\"\n");
}

TEST_F(SessionTest, RefusedParametersSendNothing) {
  for (std::string bad :
       {std::string("a\"b"), std::string("a\nb"), std::string("a\rb"), std::string("a\0b", 3)}) {
    auto expectRefused = [&](auto&& call) {
      try {
        call();
        ADD_FAILURE() << "accepted";
      } catch (const instrument::RefusedParameterError& e) {
        EXPECT_NE(std::string(e.what()).find("a"), std::string::npos);
      }
    };
    expectRefused([&] { session_->ChangeDirectory("/F0:/" + bad); });
    expectRefused([&] { session_->RemoteDirExists("/F0:/", bad); });
    expectRefused([&] { session_->RemoteDirExists(bad, "X"); });
    expectRefused([&] { session_->MakeRemoteDir("/F0:/", bad); });
    expectRefused([&] { session_->MakeRemoteDir(bad, "X"); });
    expectRefused([&] { session_->CatalogContains(bad, "NAME"); });
    expectRefused([&] { session_->CatalogContains("/F0:/", bad); });
    expectRefused([&] { session_->ConfigureFpga(3, 0, bad); });
  }
  EXPECT_THROW(session_->SendCommand("A\nB"), instrument::RefusedParameterError);
  EXPECT_THROW(session_->SendCommand("A\r\n"), instrument::RefusedParameterError);
  EXPECT_TRUE(wire_->Written().empty());
}

TEST_F(SessionTest, RefusalTextNamesThePath) {
  try {
    session_->ChangeDirectory("/F0:/X\"Y");
    ADD_FAILURE();
  } catch (const instrument::RefusedParameterError& e) {
    EXPECT_NE(std::string(e.what()).find("/F0:/X\"Y"), std::string::npos) << e.what();
  }
}

TEST_F(SessionTest, SlotInventoryLookupsAndLevels) {
  wire_->QueueReply(
      "\"VX500:0:1.0:2.10\",\"RKS5:2:3.0:1.5\",\"PCWX5:3:1.99:1.0\",\"PCW5:4:2.00:1.0\","
      "\"RKS5:2:2.0:9.9\",\"rks5:1:9.0:1.0\"\n");
  session_->ReadSlotInventory();
  EXPECT_EQ(wire_->Written(), Lines{"*OPT?\n"});
  ASSERT_EQ(session_->SlotTable().size(), 6u);
  EXPECT_EQ(session_->SlotFirmwareLevel(0), 210);
  EXPECT_EQ(session_->SlotModuleName(2), "RKS5");  // the first of two slot-2 items
  EXPECT_EQ(session_->SlotHardwareLevel(2), 300);
  EXPECT_EQ(session_->SlotFirmwareLevel(2), 105);
  EXPECT_EQ(session_->SlotHardwareLevel(3), 199);
  struct Case {
    int16_t slot;
    bool supports;
  } cases[] = {{0, false}, {1, false}, {2, true}, {3, false}, {4, true}, {5, false}};
  for (const auto& c : cases)
    EXPECT_EQ(session_->SlotSupportsFpgaConfig(c.slot), c.supports) << c.slot;
  EXPECT_EQ(session_->FindSlotRecord(5), nullptr);
  EXPECT_EQ(session_->SlotModuleName(5), "");
  EXPECT_EQ(session_->SlotHardwareLevel(5), 0);
  EXPECT_EQ(session_->SlotFirmwareLevel(5), 0);
}

TEST_F(SessionTest, EveryInventoryReadStartsFromAnEmptyTable) {
  wire_->QueueReply("\"RKS5:2:3.0:1.5\"\n\"A:0:1.0:2.1\",\"B:1:x.0:1.0\"\n");
  session_->ReadSlotInventory();
  EXPECT_EQ(session_->SlotTable().size(), 1u);
  EXPECT_THROW(session_->ReadSlotInventory(), instrument::ConversionError);
  ASSERT_EQ(session_->SlotTable().size(), 1u);
  EXPECT_EQ(session_->SlotTable()[0].moduleName, "A");
  // The peer closes: the empty reply leaves the table empty, not as the last read left it.
  wire_->ClosePeerAfterInput();
  session_->ReadSlotInventory();
  EXPECT_TRUE(session_->SlotTable().empty());
}

TEST_F(SessionTest, ConfigureFpgaSelectsThenConfigures) {
  wire_->QueueReply("\"VX500:0:1.0:3.0\",\"RKS5:3:3.0:1.5\",\"XYZ5:4:1.0:1.0\"\n");
  session_->ReadSlotInventory();
  wire_->QueueReply(
      "0,\"No error\"\n-200,\"Execution error\"\n"  // slot 3: selected, configure fails
      "-222,\"Data out of range\"\n"                // slot 2 refused
      "0,\"No error\"\n"                            // slot 4 holds no configurable model
      "0,\"No error\"\n");                          // slot 1 holds nothing
  EXPECT_EQ(session_->ConfigureFpga(3, 0, "image.rpd"), -200);
  EXPECT_EQ(session_->ConfigureFpga(2, 1, "image.rpd"), -1);
  EXPECT_EQ(session_->ConfigureFpga(4, 1, "image.rpd"), -1);
  EXPECT_EQ(session_->ConfigureFpga(1, 1, "image.rpd"), -1);
  EXPECT_EQ(wire_->WrittenBytes(),
            "*OPT?\n"
            "INST:NSEL 3\nSYSTEM:ERR?\nCONF:FPGA 0,\"N0:image.rpd\"\nSYSTEM:ERR?\n"
            "INST:NSEL 2\nSYSTEM:ERR?\n"
            "INST:NSEL 4\nSYSTEM:ERR?\n"
            "INST:NSEL 1\nSYSTEM:ERR?\n");
}

}  // namespace

TEST_F(SessionTest, ACatalogueOfTenThousandEntriesFitsTheReplyBound) {
  // Names as long as 64 characters: far more than the instrument's own.
  std::string reply = "1000,2000";
  for (int i = 0; i < 10'000; ++i) {
    reply += ",\"" + std::string(58, 'f') + std::to_string(100000 + i) + "\",BIN,1234567";
  }
  wire_->QueueReply(reply + "\n");
  const instrument::Catalog catalog = session_->ReadCatalog("/F0:/SYSTEM");
  EXPECT_EQ(catalog.entries.size(), 10'000u);
  EXPECT_EQ(catalog.unreadable, 0u);
  EXPECT_EQ(wire_->Written(), (Lines{"MMEM:CAT? \"/F0:/SYSTEM\"\n"}));
}
