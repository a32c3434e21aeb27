#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "instrument/command_transport.h"
#include "instrument/module_info.h"

namespace instrument {

inline constexpr int kCommandPort = 5000;

// How long the command channel waits, and how long a reply line may be.
struct CommandBounds {
  std::chrono::milliseconds connect{10'000};
  // An FPGA configuration may take long before its error query is answered.
  std::chrono::milliseconds reply{120'000};
  size_t maxReplyBytes = size_t{1} << 20;
};

// The session with one instrument: its command connection `ClientSocket`, the slot table
// read with "*OPT?", and the queries on the instrument's flash drive.
class TfrmVX500 {
 public:
  // A session whose command connection is TCP to `commandPort`.
  explicit TfrmVX500(int commandPort = kCommandPort);
  // A session over the given transport (tests use an in-memory one).
  explicit TfrmVX500(std::unique_ptr<CommandTransport> transport);
  ~TfrmVX500();
  TfrmVX500(const TfrmVX500&) = delete;
  TfrmVX500& operator=(const TfrmVX500&) = delete;

  void SetCommandBounds(const CommandBounds& bounds) { bounds_ = bounds; }
  const CommandBounds& Bounds() const { return bounds_; }

  // Closes any open command connection, then connects to the dotted IPv4 address (no name
  // lookup) within the connect bound; raises CommandConnectError when that fails.
  void OpenCommandConnection(const std::string& ipAddress);
  // Closes the command connection if it is open.
  void CloseCommandConnection();
  bool CommandConnectionOpen() const;

  // Writes `text` as one line (a line feed is added unless it already ends in one). A closed
  // connection writes nothing. Raises CommandSocketError ("send") and closes on failure.
  void SendCommand(std::string_view text);
  // Reads one reply line, line feed included; what arrived before the peer closed, or empty
  // at once when closed. Raises (and closes) on a failed receive, a bound or an overlong line.
  std::string ReadReply();
  // Sends `text` and "SYSTEM:ERR?", reads one error-queue entry and returns its number.
  int16_t SendChecked(std::string_view text);

  // Empties the slot table, then fills it from "*OPT?"; a field that does not convert raises
  // ConversionError, keeping the records read before it.
  void ReadSlotInventory();
  const std::vector<tModuleInfo>& SlotTable() const { return slotTable; }
  // The first record of `slot`, or nullptr.
  const tModuleInfo* FindSlotRecord(int16_t slot) const;
  // The slot's model name; empty without a record.
  std::string SlotModuleName(int16_t slot) const;
  // Hardware / firmware level of the slot (major * 100 + minor); 0 without a record.
  int16_t SlotHardwareLevel(int16_t slot) const;
  int16_t SlotFirmwareLevel(int16_t slot) const;
  // True for an RKS5 of hardware level 300 or more, or a PCW5 / PCWX5 of 200 or more.
  bool SlotSupportsFpgaConfig(int16_t slot) const;
  // Selects the slot and configures its FPGA from the image "N0:" + fileName; the
  // instrument's error number (0 = configured), or -1 when the selection is refused or the
  // slot holds none of the configurable models.
  int16_t ConfigureFpga(int16_t slot, int16_t index, const std::string& fileName);

  // True when the instrument accepts `path` as its current folder.
  bool ChangeDirectory(const std::string& path);
  // ChangeDirectory of parent + "/" + name (a parent "/F0:/" gives "/F0://name").
  bool RemoteDirExists(const std::string& parent, const std::string& name);
  // True when the catalogue of `directory` lists `name` between double quotes.
  bool CatalogContains(const std::string& directory, const std::string& name);
  // Makes folder `name` inside `parent`; false when the parent cannot be entered or the
  // instrument reports an error. The current folder is the parent afterwards.
  bool MakeRemoteDir(const std::string& parent, const std::string& name);
  // Free bytes, and used plus free bytes, of the flash drive "/F0:/".
  int32_t FreeFlashBytes();
  int32_t TotalFlashBytes();

 private:
  std::string CatalogOf(const std::string& directory);

  std::unique_ptr<CommandTransport> ClientSocket;
  std::vector<tModuleInfo> slotTable;
  CommandBounds bounds_;
  std::string address_;      // the address text of the open connection, for error texts
  std::string lastCommand_;  // the latest command sent, for the text of a missed bound
};

}  // namespace instrument
