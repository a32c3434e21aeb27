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
#include "instrument/reply_parsers.h"
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
  // A catalogue reply lists a whole folder on one line: 4 MiB takes 10,000 entries of names
  // far longer than the instrument's, and still bounds what a peer can make the tool hold.
  size_t maxReplyBytes = size_t{4} << 20;
};

// The session with one instrument: its command connection `ClientSocket`, its FTP client
// `FtpClient`, the slot table read with "*OPT?", and the queries on the instrument's flash drive.
class TfrmVX500 {
 public:
  // A session whose command connection is TCP to `commandPort`, logging in by FTP on `ftpPort`.
  explicit TfrmVX500(int commandPort = kCommandPort, int ftpPort = kFtpPort);
  // A session over the given command transport (tests use an in-memory one).
  explicit TfrmVX500(std::unique_ptr<CommandTransport> transport, int ftpPort = kFtpPort);
  // Closes whatever is still open; a log-out that the server refuses is dropped.
  ~TfrmVX500();
  TfrmVX500(const TfrmVX500&) = delete;
  TfrmVX500& operator=(const TfrmVX500&) = delete;

  // Who is told of failed connections, non-VX500 peers and failed or unsupported FTP operations.
  void SetEvents(SessionEvents* events) { events_ = events; }
  // Installs the observer of both channels and of what the session writes (none: no work done).
  void SetObserver(SessionObserver* observer);

  // Why the latest ConnectInstrument did not bring up both channels; empty when it did.
  const std::string& ConnectDiagnostic() const { return connectDiagnostic_; }
  // The "*IDN?" reply of the latest ConnectInstrument, without its line end.
  const std::string& IdentityReply() const { return identityReply_; }

  // Opens the command connection, logs the FTP client in, asks "*IDN?" and reads the slots.
  // False, after its event, when the command connection cannot be opened or the instrument is
  // not a VX500 (the slots are read then too); FTP failures and unreadable replies are raised.
  bool ConnectInstrument(const std::string& ipAddress);
  // Closes the command connection and logs the FTP client out, each only if open.
  void DisconnectInstrument();
  // Uploads a local file to an instrument path; the outcome the FTP notifications reported.
  bool UploadFile(const std::string& localPath, const std::string& remotePath);
  // The same for a file already open for reading: `file` is what is sent, `localPath` names it.
  bool UploadFile(const net::UniqueFd& file, const std::string& localPath,
                  const std::string& remotePath);

  // Sets the FTP transfer type (1 = ASCII, 2 = image); FTP errors are raised.
  void SetTransferType(int type);
  // Changes the FTP working folder; FTP errors are raised.
  void ChangeFtpFolder(const std::string& folder);
  // Deletes an instrument file by FTP; FTP errors are raised.
  void DeleteFile(const std::string& path);
  // Installs what every wait of both channels calls, so a window stays live meanwhile.
  void SetEventPump(const net::EventPump& pump);

  // The FTP client's notification of an operation that succeeded.
  void FtpClientSuccess(ftp::TCmdType transType);
  // The FTP client's notification of an operation that failed.
  void FtpClientFailure(bool& handled, ftp::TCmdType transType);
  // The FTP client's notification of an operation the server does not support.
  void FtpClientUnSupportedFunction(ftp::TCmdType transType);

  // Installs the "stop requested" predicate that both channels ask before sending and waiting.
  void SetCancelPredicate(const std::function<bool()>& cancelled);
  // The slot whose FPGA configuration has been sent and whose outcome is awaited, if any: a
  // configuration cut short may leave the module unusable, so a front end may let it finish.
  std::optional<int16_t> SlotBeingConfigured() const { return slotBeingConfigured_; }

  // Replaces the command channel's bounds.
  void SetCommandBounds(const CommandBounds& bounds) { bounds_ = bounds; }
  // The command channel's bounds.
  const CommandBounds& Bounds() const { return bounds_; }

  // Connects the command channel to a dotted IPv4 address; raises CommandConnectError on failure.
  void OpenCommandConnection(const std::string& ipAddress);
  // Closes the command connection if it is open.
  void CloseCommandConnection();
  // True while the command connection is open.
  bool CommandConnectionOpen() const;

  // Writes `text` as one line (a line feed added unless present); a closed connection writes
  // nothing. Raises CommandSocketError and closes the connection when the send fails.
  void SendCommand(std::string_view text);
  // Reads one reply line, line feed included (empty at once when closed). Raises, and closes,
  // on a failed receive, a missed bound or an overlong line.
  std::string ReadReply();
  // Sends `text` and "SYSTEM:ERR?", reads one error-queue entry and returns its number.
  int16_t SendChecked(std::string_view text);

  // Empties the slot table, then fills it from "*OPT?" (the records before a bad field stay).
  void ReadSlotInventory();
  // The slot table of the latest ReadSlotInventory.
  const std::vector<tModuleInfo>& SlotTable() const { return slotTable; }
  // The first record of `slot`, or nullptr.
  const tModuleInfo* FindSlotRecord(int16_t slot) const;
  // The slot's model name; empty without a record.
  std::string SlotModuleName(int16_t slot) const;
  // Hardware level of the slot (major * 100 + minor); 0 without a record.
  int16_t SlotHardwareLevel(int16_t slot) const;
  // Firmware level of the slot (major * 100 + minor); 0 without a record.
  int16_t SlotFirmwareLevel(int16_t slot) const;
  // True for an RKS5 of hardware level 300 or more, or a PCW5 / PCWX5 of 200 or more.
  bool SlotSupportsFpgaConfig(int16_t slot) const;
  // Configures the slot's FPGA from "N0:" + fileName; the error number, or -1 when not possible.
  int16_t ConfigureFpga(int16_t slot, int16_t index, const std::string& fileName);

  // True when the instrument accepts `path` as its current folder.
  bool ChangeDirectory(const std::string& path);
  // ChangeDirectory of parent + "/" + name (a parent "/F0:/" gives "/F0://name").
  bool RemoteDirExists(const std::string& parent, const std::string& name);
  // True when the catalogue of `directory` lists `name` between double quotes.
  bool CatalogContains(const std::string& directory, const std::string& name);
  // Makes folder `name` inside `parent`, which is the current folder afterwards; false on error.
  bool MakeRemoteDir(const std::string& parent, const std::string& name);
  // Free bytes of the flash drive "/F0:/".
  int32_t FreeFlashBytes();
  // Used plus free bytes of the flash drive "/F0:/".
  int32_t TotalFlashBytes();
  // The entries that the catalogue of `directory` lists (one "MMEM:CAT?" query).
  Catalog ReadCatalog(const std::string& directory);

 private:
  // Raises RefusedParameterError when `value` cannot travel inside a quoted parameter.
  static void RequireQuotable(std::string_view value, const char* what);
  // The catalogue reply of `directory`.
  std::string CatalogOf(const std::string& directory);
  // SendChecked that names `configuredSlot` in SlotBeingConfigured() while its answer is awaited.
  int16_t SendChecked(std::string_view text, std::optional<int16_t> configuredSlot);
  // Sets the FTP client's port, log-in and notifications.
  void ConfigureFtpClient(int ftpPort);
  // Connects and logs the FTP client in; on failure records the diagnostic and raises again.
  void ConnectFtpClient(const std::string& ipAddress);

 public:
  // The file channel, the session's own: others use the operations above; tests adjust it.
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
