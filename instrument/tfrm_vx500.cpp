#include "instrument/tfrm_vx500.h"

#include <utility>

#include "instrument/command_socket.h"
#include "instrument/connect_diagnosis.h"
#include "instrument/instrument_errors.h"
#include "net/file_stamp.h"
#include "net/text.h"

namespace instrument {

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

void TfrmVX500::SetCancelPredicate(const std::function<bool()>& cancelled) {
  cancelled_ = cancelled;
  ClientSocket->SetCancelPredicate(cancelled);
  FtpClient.SetCancelPredicate(cancelled);
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
  // The slots are read whether or not the peer named itself a VX500.
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
    connectDiagnostic_ = ChannelDiagnostic("FTP", ipAddress, FtpClient.Port,
                                           FtpConnectCause(watch, error, FtpClient));
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

void TfrmVX500::SetEventPump(const net::EventPump& pump) {
  ClientSocket->SetEventPump(pump);
  FtpClient.SetEventPump(pump);
}

}  // namespace instrument
