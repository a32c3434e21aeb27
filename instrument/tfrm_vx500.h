#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/ftp_client.h"
#include "instrument/command_transport.h"
#include "instrument/module_info.h"
#include "instrument/session_events.h"
#include "instrument/session_observer.h"

namespace instrument {

inline constexpr int kCommandPort = 5000;
inline constexpr int kFtpPort = 21;
// The instrument's flash drive, which receives the release.
inline constexpr char kFlashDrive[] = "/F0:/";

// How long the command channel waits, and how long a reply line may be.
struct CommandBounds {
  std::chrono::milliseconds connect{10'000};
  // An FPGA configuration may take long before its error query is answered.
  std::chrono::milliseconds reply{120'000};
  size_t maxReplyBytes = size_t{1} << 20;
};

// The session with one instrument: its command connection `ClientSocket`, its FTP client
// `FtpClient`, the slot table read with "*OPT?", and the queries on the instrument's flash drive.
class TfrmVX500 {
 public:
  // A session whose command connection is TCP to `commandPort` and whose FTP client logs in
  // on `ftpPort`.
  explicit TfrmVX500(int commandPort = kCommandPort, int ftpPort = kFtpPort);
  // A session over the given command transport (tests use an in-memory one).
  explicit TfrmVX500(std::unique_ptr<CommandTransport> transport, int ftpPort = kFtpPort);
  // Closes whatever is still open; a log-out that the server refuses is dropped.
  ~TfrmVX500();
  TfrmVX500(const TfrmVX500&) = delete;
  TfrmVX500& operator=(const TfrmVX500&) = delete;

  // Who is told of a failed connection, a peer that is not a VX500 and failed or unsupported
  // FTP operations (none: nobody is told; the outcomes are returned or raised all the same).
  void SetEvents(SessionEvents* events) { events_ = events; }
  // Installs the observer of both channels and of what the session writes (none: no work is
  // done for one); what it watches is asked here, once.
  void SetObserver(SessionObserver* observer);

  // Why the latest ConnectInstrument did not connect both channels, naming the channel, its
  // address and port and the cause ("command channel 10.0.0.5:5000: connection refused",
  // "FTP 10.0.0.5:21: no greeting within 240 s"); empty when both channels came up.
  const std::string& ConnectDiagnostic() const { return connectDiagnostic_; }
  // The "*IDN?" reply of the latest ConnectInstrument, without its line end.
  const std::string& IdentityReply() const { return identityReply_; }

  // Opens the command connection, logs the FTP client in, asks "*IDN?" and reads the slot
  // inventory. False, after its event, when the command connection cannot be opened or the
  // instrument is not a VX500 (the slots are read in that case too). FTP failures and
  // unreadable replies are raised.
  bool ConnectInstrument(const std::string& ipAddress);
  // Closes the command connection and logs the FTP client out, each only if open.
  void DisconnectInstrument();
  // Uploads a local file to an instrument path (absolute, or relative to the FTP current
  // folder); the outcome that the FTP notifications reported.
  bool UploadFile(const std::string& localPath, const std::string& remotePath);
  // The same for a file already open for reading: `file` is what is sent, `localPath` names it.
  bool UploadFile(const net::UniqueFd& file, const std::string& localPath,
                  const std::string& remotePath);

  // The FTP client's transfer type (1 = ASCII, 2 = image), working folder and file deletion,
  // for the run and the package steps: FTP errors are raised.
  void SetTransferType(int type);
  void ChangeFtpFolder(const std::string& folder);
  void DeleteFile(const std::string& path);
  // Installs what every FTP wait calls, so a window stays live meanwhile.
  void SetFtpEventPump(std::function<void()> pump);

  // The FTP client's notifications.
  void FtpClientSuccess(ftp::TCmdType transType);
  void FtpClientFailure(bool& handled, ftp::TCmdType transType);
  void FtpClientUnSupportedFunction(ftp::TCmdType transType);

  // Installs the predicate that every wait of both channels asks (a front end's "stop
  // requested"), and every command and FTP command line before it is sent: once it answers
  // true, the command raises CommandCancelledError and the FTP operation raises as a cancelled
  // one.
  void SetCancelPredicate(const std::function<bool()>& cancelled);
  // The slot whose FPGA configuration has been sent and whose outcome is awaited, if any: a
  // configuration cut short may leave the module unusable, so a front end may let it finish.
  std::optional<int16_t> SlotBeingConfigured() const { return slotBeingConfigured_; }

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
  // SendChecked; with `configuredSlot`, SlotBeingConfigured() names it from the moment the
  // command has been sent until the error query's answer has been read.
  int16_t SendChecked(std::string_view text, std::optional<int16_t> configuredSlot);
  void ConfigureFtpClient(int ftpPort);
  // Connects and logs the FTP client in; on failure records the diagnostic and raises again.
  void ConnectFtpClient(const std::string& ipAddress);

 public:
  // The file channel. The session's own: others ask the session's operations above; tests
  // adjust its settings and hooks.
  ftp::TFtpClient FtpClient;
  // Outcome of the latest FTP operation as its notifications reported it.
  bool transferOk = true;

 private:
  SessionEvents* events_ = nullptr;
  std::unique_ptr<CommandTransport> ClientSocket;
  std::vector<tModuleInfo> slotTable;
  CommandBounds bounds_;
  std::string address_;      // the address text of the open connection, for error texts
  std::string lastCommand_;  // the latest command sent, for the text of a missed bound
  std::optional<int16_t> slotBeingConfigured_;
  std::function<bool()> cancelled_;
  SessionObserver* observer_ = nullptr;
  SessionObserver* lineObserver_ = nullptr;  // observer_ when it watches lines
  int commandPort_ = kCommandPort;
  std::string connectDiagnostic_;
  std::string identityReply_;
};

}  // namespace instrument
