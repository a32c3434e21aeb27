#include "instrument/tfrm_vx500.h"

#include <iterator>
#include <utility>

#include "instrument/command_socket.h"
#include "instrument/instrument_errors.h"
#include "instrument/reply_parsers.h"
#include "net/file_stamp.h"
#include "net/ipv4.h"
#include "net/socket_error.h"
#include "net/text.h"

namespace instrument {
namespace {

constexpr std::string_view kErrorQuery = "SYSTEM:ERR?";

std::string FormatBound(std::chrono::milliseconds bound) {
  long long ms = bound.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  return std::to_string(ms) + " ms";
}

// A platform error as a cause in a sentence: "connection refused" for 10061.
std::string CauseOfError(int winsockNumber) {
  std::string text = net::WinsockErrorText(winsockNumber);
  const auto colon = text.find(':');
  if (colon != std::string::npos) text.erase(0, colon + 1);
  if (!text.empty() && text.front() >= 'A' && text.front() <= 'Z') text.front() += 'a' - 'A';
  return text;
}

// Watches the FTP client while it connects, to tell which step failed, and passes everything on
// to the session's observer, the lines only if that observer watches them.
class FtpConnectWatch : public ftp::FtpObserver {
 public:
  explicit FtpConnectWatch(ftp::FtpObserver* next)
      : next_(next), nextLines_(next && (next->Watches() & kLines) != 0 ? next : nullptr) {}
  unsigned Watches() const override { return kLines | (next_ ? next_->Watches() : 0); }
  void ControlConnected(const std::string& peer) override {
    connected = true;
    if (nextLines_) nextLines_->ControlConnected(peer);
  }
  void LineSent(std::string_view line) override {
    if (line.starts_with("USER ")) loggingIn = true;
    if (nextLines_) nextLines_->LineSent(line);
  }
  void LineReceived(std::string_view line) override {
    ++replies;
    if (nextLines_) nextLines_->LineReceived(line);
  }
  void DataConnectionEnded(const ftp::DataConnectionRecord& record) override {
    if (next_) next_->DataConnectionEnded(record);
  }
  void FolderChanged(const std::string& folder) override {
    if (next_) next_->FolderChanged(folder);
  }

  bool connected = false;
  bool loggingIn = false;  // the user name has been sent
  int replies = 0;

 private:
  ftp::FtpObserver* next_;
  ftp::FtpObserver* nextLines_;
};

// What stopped an FTP log-in, from the step it reached and the error it raised.
std::string FtpConnectCause(const FtpConnectWatch& watch, const std::exception& error,
                            const ftp::TFtpClient& client) {
  const std::string text = net::WithoutLineEnd(error.what());
  const auto* socketError = dynamic_cast<const ftp::ESockError*>(&error);
  const bool timedOut = socketError && socketError->Kind() == ftp::SockErrorKind::kTimedOut;
  if (!watch.connected) {
    if (timedOut)
      return "connection timed out after " + FormatBound(std::chrono::milliseconds(client.TimeOut));
    if (socketError && socketError->Kind() == ftp::SockErrorKind::kConnectFailed &&
        client.LastError() != 0)
      return CauseOfError(client.LastError());
    return "cannot connect: " + text;
  }
  if (watch.replies == 0) {
    if (timedOut) {
      return "no greeting within " + FormatBound(std::chrono::milliseconds(4LL * client.TimeOut));
    }
    return "no greeting: " + text;
  }
  if (dynamic_cast<const ftp::FTPException*>(&error) != nullptr) {
    return (watch.loggingIn ? "log-in refused: " : "greeting refused: ") + text;
  }
  return (watch.loggingIn ? "log-in failed: " : "greeting failed: ") + text;
}

// Refuses a value that would break out of its quoted parameter or its command line.
void RequireQuotable(std::string_view value, const char* what) {
  if (value.find_first_of(std::string_view("\"\r\n\0", 4)) != std::string_view::npos)
    throw RefusedParameterError(std::string("Refused to send the ") + what + " \"" +
                                net::PrintableText(value) +
                                "\": it contains a double quote, CR, LF or NUL");
}

}  // namespace

TfrmVX500::TfrmVX500(int commandPort, int ftpPort)
    : TfrmVX500(std::make_unique<CommandSocket>(commandPort), ftpPort) {
  commandPort_ = commandPort;
}

void TfrmVX500::SetObserver(SessionObserver* observer) {
  observer_ = observer;
  lineObserver_ =
      observer && (observer->Watches() & SessionObserver::kLines) != 0 ? observer : nullptr;
  FtpClient.SetObserver(observer);
}

TfrmVX500::TfrmVX500(std::unique_ptr<CommandTransport> transport, int ftpPort)
    : ClientSocket(std::move(transport)) {
  ConfigureFtpClient(ftpPort);
}

TfrmVX500::~TfrmVX500() {
  slotTable.clear();
  CloseCommandConnection();
  try {
    if (FtpClient.Connected()) FtpClient.Disconnect();
  } catch (const std::exception&) {
    // The client has closed its connection before raising; nothing is left to free.
  }
}

void TfrmVX500::ConfigureFtpClient(int ftpPort) {
  FtpClient.Port = ftpPort;
  FtpClient.TimeOut = 60000;
  FtpClient.UserID = "kestro";
  FtpClient.Password = "pelto3318";
  FtpClient.Passive = false;
  FtpClient.ReportLevel = 0;
  FtpClient.ParseList = false;
  FtpClient.FirewallType = ftp::FTUser;
  FtpClient.FWAuthenticate = false;
  FtpClient.OnSuccess = [this](ftp::TFtpClient&, ftp::TCmdType kind) { FtpClientSuccess(kind); };
  FtpClient.OnFailure = [this](ftp::TFtpClient&, bool& handled, ftp::TCmdType kind) {
    FtpClientFailure(handled, kind);
  };
  FtpClient.OnUnSupportedFunction = [this](ftp::TFtpClient&, ftp::TCmdType kind) {
    FtpClientUnSupportedFunction(kind);
  };
}

void TfrmVX500::OpenCommandConnection(const std::string& ipAddress) {
  CloseCommandConnection();
  const std::string channel = "command channel " + net::PrintableText(ipAddress) + ":" +
                              std::to_string(commandPort_) + ": ";
  auto address = net::ParseIPv4(ipAddress);
  if (!address) {
    const std::string cause =
        "'" + net::PrintableText(ipAddress) + "' is not a dotted IPv4 address";
    connectDiagnostic_ = channel + cause;
    throw CommandConnectError(cause);
  }
  TransportStatus status = ClientSocket->Open(*address, net::Deadline::After(bounds_.connect));
  if (status.kind == TransportStatus::kOk) {
    address_ = ipAddress;
    if (lineObserver_) {
      lineObserver_->CommandConnected(ipAddress + ":" + std::to_string(commandPort_));
    }
    return;
  }
  ClientSocket->Close();
  if (status.kind == TransportStatus::kCancelled) {
    connectDiagnostic_ = channel + "stopped while connecting";
    throw CommandCancelledError("Stopped while connecting to the instrument at " + ipAddress);
  }
  std::string what = "Can't open the command connection to " + ipAddress + ": ";
  if (status.kind == TransportStatus::kTimedOut) {
    connectDiagnostic_ = channel + "connection timed out after " + FormatBound(bounds_.connect);
    throw CommandConnectError(what + "no answer within " + FormatBound(bounds_.connect));
  }
  connectDiagnostic_ = channel + CauseOfError(net::WinsockErrorNumber(status.error));
  throw CommandConnectError(what + net::PlatformErrorText(status.error));
}

void TfrmVX500::CloseCommandConnection() {
  if (ClientSocket->IsOpen()) ClientSocket->Close();
}

bool TfrmVX500::CommandConnectionOpen() const {
  return ClientSocket->IsOpen();
}

void TfrmVX500::SendCommand(std::string_view text) {
  std::string line(text);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  std::string_view body(line.data(), line.size() - 1);
  if (body.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
    throw RefusedParameterError("Refused to send the command \"" + net::PrintableText(body) +
                                "\": it contains CR, LF or NUL");
  lastCommand_ = "\"" + std::string(body) + "\"";
  // A stop requested while the run was busy elsewhere (or while the previous reply was already
  // waiting, so no wait asked) is seen before the next command goes out.
  if (ClientSocket->IsOpen() && cancelled_ && cancelled_()) {
    ClientSocket->Close();
    throw CommandCancelledError("Stopped before sending " + lastCommand_ +
                                " to the instrument at " + address_ +
                                "; the command connection was closed");
  }
  if (lineObserver_ && ClientSocket->IsOpen()) lineObserver_->CommandSent(line);
  TransportStatus status = ClientSocket->WriteLine(line, net::Deadline::After(bounds_.reply));
  switch (status.kind) {
    case TransportStatus::kOk:
    case TransportStatus::kClosed:  // a closed connection writes nothing and reports nothing
      return;
    case TransportStatus::kTimedOut:
      ClientSocket->Close();
      throw CommandTimeoutError("The instrument at " + address_ + " did not take the command " +
                                lastCommand_ + " within " + FormatBound(bounds_.reply) +
                                "; the command connection was closed");
    case TransportStatus::kCancelled:
      ClientSocket->Close();
      throw CommandCancelledError("Stopped while sending " + lastCommand_ +
                                  " to the instrument at " + address_ +
                                  "; the command connection was closed");
    default:
      ClientSocket->Close();
      throw CommandSocketError("send", status.error);
  }
}

std::string TfrmVX500::ReadReply() {
  std::string reply;
  TransportStatus status =
      ClientSocket->ReadLine(reply, net::Deadline::After(bounds_.reply), bounds_.maxReplyBytes);
  if (lineObserver_ && !reply.empty()) lineObserver_->ReplyReceived(reply);
  switch (status.kind) {
    case TransportStatus::kOk:
      return reply;
    case TransportStatus::kClosed:
      // The peer closed mid-reply (or the connection was already closed): what arrived is
      // the reply, and every later read answers empty at once.
      ClientSocket->Close();
      return reply;
    case TransportStatus::kTimedOut:
      ClientSocket->Close();
      throw CommandTimeoutError("The instrument at " + address_ + " did not answer " +
                                lastCommand_ + " within " + FormatBound(bounds_.reply) +
                                "; the command connection was closed");
    case TransportStatus::kTooLong:
      ClientSocket->Close();
      throw ReplyTooLongError("The instrument's reply to " + lastCommand_ + " is longer than " +
                              std::to_string(bounds_.maxReplyBytes) +
                              " bytes; the command connection was closed");
    case TransportStatus::kCancelled:
      ClientSocket->Close();
      throw CommandCancelledError("Stopped while waiting for the instrument at " + address_ +
                                  " to answer " + lastCommand_ +
                                  "; the command connection was closed");
    default:
      ClientSocket->Close();
      throw CommandSocketError("recv", status.error);
  }
}

int16_t TfrmVX500::SendChecked(std::string_view text) {
  return SendChecked(text, std::nullopt);
}

int16_t TfrmVX500::SendChecked(std::string_view text, std::optional<int16_t> configuredSlot) {
  SendCommand(text);
  // From the moment the configuration command is out, the instrument is configuring the slot.
  if (configuredSlot) slotBeingConfigured_ = configuredSlot;
  struct Configured {
    std::optional<int16_t>& slot;
    ~Configured() { slot.reset(); }
  } configured{slotBeingConfigured_};
  std::string checked = lastCommand_;
  SendCommand(kErrorQuery);
  lastCommand_ += " after " + checked;
  return static_cast<int16_t>(ErrorNumberOf(ReadReply()));
}

void TfrmVX500::ReadSlotInventory() {
  // Emptied first, so a reconnect to another instrument never answers from the older one.
  slotTable.clear();
  SendCommand("*OPT?");
  ParseOptionReply(ReadReply(), slotTable);
}

const tModuleInfo* TfrmVX500::FindSlotRecord(int16_t slot) const {
  for (const auto& record : slotTable)
    if (record.slot == slot) return &record;
  return nullptr;
}

std::string TfrmVX500::SlotModuleName(int16_t slot) const {
  const tModuleInfo* record = FindSlotRecord(slot);
  return record ? record->moduleName : std::string();
}

int16_t TfrmVX500::SlotHardwareLevel(int16_t slot) const {
  const tModuleInfo* record = FindSlotRecord(slot);
  return record ? VersionLevel(record->hwMajor, record->hwMinor) : int16_t{0};
}

int16_t TfrmVX500::SlotFirmwareLevel(int16_t slot) const {
  const tModuleInfo* record = FindSlotRecord(slot);
  return record ? VersionLevel(record->swMajor, record->swMinor) : int16_t{0};
}

bool TfrmVX500::SlotSupportsFpgaConfig(int16_t slot) const {
  const tModuleInfo* record = FindSlotRecord(slot);
  if (!record) return false;
  int16_t level = VersionLevel(record->hwMajor, record->hwMinor);
  if (record->moduleName == "RKS5") return level >= 300;
  if (record->moduleName == "PCW5" || record->moduleName == "PCWX5") return level >= 200;
  return false;
}

int16_t TfrmVX500::ConfigureFpga(int16_t slot, int16_t index, const std::string& fileName) {
  RequireQuotable(fileName, "image file name");
  if (SendChecked("INST:NSEL " + std::to_string(slot)) != 0) return -1;
  std::string model = SlotModuleName(slot);
  if (model != "RKS5" && model != "PCW5" && model != "PCWX5") return -1;
  const int16_t result =
      SendChecked("CONF:FPGA " + std::to_string(index) + ",\"N0:" + fileName + "\"", slot);
  if (observer_) observer_->FpgaConfigured(slot, index, fileName, result);
  return result;
}

void TfrmVX500::SetCancelPredicate(const std::function<bool()>& cancelled) {
  cancelled_ = cancelled;
  ClientSocket->SetCancelPredicate(cancelled);
  FtpClient.SetCancelPredicate(cancelled);
}

bool TfrmVX500::ChangeDirectory(const std::string& path) {
  RequireQuotable(path, "instrument path");
  // The command carries its own line feed, so none is added; long paths go out whole and the
  // instrument judges them.
  return SendChecked(":MMEM:CDIR \"" + path + "\"\n") == 0;
}

bool TfrmVX500::RemoteDirExists(const std::string& parent, const std::string& name) {
  RequireQuotable(name, "folder name");
  return ChangeDirectory(parent + "/" + name);
}

bool TfrmVX500::CatalogContains(const std::string& directory, const std::string& name) {
  RequireQuotable(name, "file name");
  return CatalogListsName(CatalogOf(directory), name);
}

bool TfrmVX500::MakeRemoteDir(const std::string& parent, const std::string& name) {
  RequireQuotable(name, "folder name");
  if (!ChangeDirectory(parent)) return false;
  SendCommand("MMEM:MDIR \"" + name + "\"");
  SendCommand(":SYSTEM:ERR?");
  // Only the first character is judged, so a malformed entry gives false, not an error.
  std::string reply = ReadReply();
  const bool made = !reply.empty() && reply.front() == '0';
  if (made && observer_) observer_->FolderMade(parent, name);
  return made;
}

int32_t TfrmVX500::FreeFlashBytes() {
  return CatalogFreeBytes(CatalogOf(kFlashDrive));
}

int32_t TfrmVX500::TotalFlashBytes() {
  return CatalogTotalBytes(CatalogOf(kFlashDrive));
}

std::string TfrmVX500::CatalogOf(const std::string& directory) {
  RequireQuotable(directory, "instrument path");
  SendCommand("MMEM:CAT? \"" + directory + "\"");
  return ReadReply();
}

bool TfrmVX500::ConnectInstrument(const std::string& ipAddress) {
  connectDiagnostic_.clear();
  identityReply_.clear();
  CloseCommandConnection();
  try {
    OpenCommandConnection(ipAddress);
  } catch (const CommandConnectError&) {
    if (events_) events_->CannotConnect();
    return false;
  }
  if (FtpClient.Connected()) FtpClient.Disconnect();
  ConnectFtpClient(ipAddress);

  SendCommand("*IDN?");
  const std::string identity = ReadReply();
  identityReply_ = net::WithoutLineEnd(identity);
  bool identified = identity.find("KOVA/ZEPHLORAN,VX500") != std::string::npos;
  if (!identified && events_) events_->NotAVX500();
  ReadSlotInventory();
  return identified;
}

void TfrmVX500::ConnectFtpClient(const std::string& ipAddress) {
  FtpClient.Host = ipAddress;
  FtpConnectWatch watch(observer_);
  FtpClient.SetObserver(&watch);
  try {
    FtpClient.Connect();
  } catch (const std::exception& error) {
    FtpClient.SetObserver(observer_);
    connectDiagnostic_ = "FTP " + net::PrintableText(ipAddress) + ":" +
                         std::to_string(FtpClient.Port) + ": " +
                         FtpConnectCause(watch, error, FtpClient);
    throw;
  }
  FtpClient.SetObserver(observer_);
}

void TfrmVX500::DisconnectInstrument() {
  CloseCommandConnection();
  if (FtpClient.Connected()) FtpClient.Disconnect();
}

bool TfrmVX500::UploadFile(const std::string& localPath, const std::string& remotePath) {
  if (observer_) observer_->UploadStarted(localPath, remotePath);
  FtpClient.Upload(localPath, remotePath);
  if (observer_) observer_->UploadEnded(transferOk);
  return transferOk;
}

bool TfrmVX500::UploadFile(const net::UniqueFd& file, const std::string& localPath,
                           const std::string& remotePath) {
  if (observer_) {
    observer_->UploadStarted(localPath, remotePath);
    if (const auto stamp = net::StampOfFd(file.Get())) observer_->UploadSource(*stamp);
  }
  FtpClient.Upload(file, localPath, remotePath);
  if (observer_) observer_->UploadEnded(transferOk);
  return transferOk;
}

void TfrmVX500::FtpClientSuccess(ftp::TCmdType) {
  transferOk = true;
}

void TfrmVX500::FtpClientFailure(bool&, ftp::TCmdType transType) {
  if (events_) events_->FtpOperationFailed(transType);
  transferOk = false;
}

void TfrmVX500::FtpClientUnSupportedFunction(ftp::TCmdType transType) {
  if (events_) events_->FtpOperationUnsupported(transType);
}

void TfrmVX500::SetTransferType(int type) {
  FtpClient.Mode(type);
}

void TfrmVX500::ChangeFtpFolder(const std::string& folder) {
  FtpClient.ChangeDir(folder);
}

void TfrmVX500::DeleteFile(const std::string& path) {
  FtpClient.Delete(path);
}

void TfrmVX500::SetFtpEventPump(std::function<void()> pump) {
  FtpClient.SetEventPump(std::move(pump));
}

}  // namespace instrument
