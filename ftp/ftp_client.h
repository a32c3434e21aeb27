#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "ftp/ftp_errors.h"
#include "ftp/ftp_observer.h"
#include "ftp/ftp_reply.h"
#include "ftp/stream_socket.h"

namespace ftp {

enum TFirewallType { FTUser = 0, FtOpen = 1, FtSite = 2 };

// An FTP client (RFC 959 control connection) that logs in, sends single commands judged by their
// reply codes, and uploads files over active-mode (or passive) data connections. It reports each
// outcome through OnSuccess / OnFailure / OnUnSupportedFunction and raises FTPException for every
// failure that the OnFailure handler does not declare handled.
class TFtpClient : public TStreamSocket {
 public:
  using TSuccessEvent = std::function<void(TFtpClient& sender, TCmdType transType)>;
  using TFailureEvent = std::function<void(TFtpClient& sender, bool& handled, TCmdType transType)>;
  using TUnsupportedEvent = std::function<void(TFtpClient& sender, TCmdType transType)>;

  TFtpClient();
  ~TFtpClient() override;

  // Settings (Host, Port, TimeOut, ReportLevel, Proxy and ProxyPort come from the socket).
  std::string UserID;
  std::string Password;
  bool Passive = false;
  int Vendor = 2411;
  bool ParseList = false;
  TFirewallType FirewallType = FTUser;
  std::string FWUserID;
  std::string FWPassword;
  bool FWAuthenticate = false;

  // Events in addition to the socket's; OnConnect fires after a successful login.
  TSuccessEvent OnSuccess;
  TFailureEvent OnFailure;
  TUnsupportedEvent OnUnSupportedFunction;
  THandlerEvent OnAuthenticationNeeded;
  THandlerEvent OnAuthenticationFailed;
  TNotifyEvent OnTransactionStart;
  TNotifyEvent OnTransactionStop;

  // Connects to Host:Port and logs in with UserID and Password; does nothing when connected.
  // On a refusal it logs out, closes and raises FTPException with the server's reply line.
  void Connect() override;
  // Logs out with "QUIT" and closes; does nothing when not connected. A server that closes the
  // connection in answer is a completed log-out; a refused QUIT raises after the close.
  void Disconnect() override;
  // Sends a command line and reads its whole reply (continuation lines included); returns the
  // first line.
  std::string Transaction(const std::string& command) override;
  // Cancels the data connection of a running upload; the control connection goes on.
  void Abort() override;

  // Sends one command line (without line end), judges its reply and fires the events.
  void DoCommand(const std::string& line);
  // "CWD " + directory.
  void ChangeDir(const std::string& directory);
  // "DELE " + file name.
  void Delete(const std::string& name);
  // 1 "TYPE A", 2 "TYPE I", 3 "TYPE L 8"; any other value sends nothing.
  void Mode(int transferType);
  // Stores a local file on the server under `remoteName` (empty: the local file's name part).
  // Returns after OnSuccess; raises after OnFailure unless the handler sets Handled. A data
  // connection that the server resets raises its ESockError; when the server then gives its
  // reason (a 4xx or 5xx completion reply), the text is that reply with the socket error after
  // it in brackets.
  void Upload(const std::string& localPath, const std::string& remoteName = "");
  // The same for a file already open for reading: `file` is what is sent, `localPath` only
  // names it.
  void Upload(const net::UniqueFd& file, const std::string& localPath,
              const std::string& remoteName);

  // The data connection of the running upload, if any.
  TStreamSocket* DataConnection() { return dataConnection_.get(); }

  // Installs the observer of the control lines, data connections and folder changes (none:
  // nothing is traced); what it watches is asked here, once.
  void SetObserver(FtpObserver* observer);

 protected:
  void SocketConnected() override {}

 private:
  // Reads the continuation lines that follow `first` in a multi-line reply.
  void ReadContinuation(const std::string& first);
  // Reads the next line of the open reply; a reply longer than kMaxReplyLines is an error that
  // closes the connection.
  std::string ReadReplyLine();
  // Transaction that treats a connection closed before a complete reply as an error.
  void Exchange(const std::string& line);
  // Reads a whole reply without sending; gives its first line.
  std::string ReadReply();
  // Reads a store's completion reply, past preliminary 1xx replies, within one reply's bound;
  // gives its first line.
  std::string ReadCompletion();
  [[noreturn]] void RaiseClosed();
  [[noreturn]] void RefuseLogin();
  // Drops the reply lines waiting now (late or unsolicited ones), each traced as received.
  void DropPendingReplies();
  // Raises the failure of a store whose data connection broke (`broken`): with the server's
  // completion reply as the reason when it gives one (4xx or 5xx), else `broken` itself.
  [[noreturn]] void RaiseBrokenStore(const ESockError& broken);
  // Fires OnFailure; raises FTPException with the reply line unless the handler handled it.
  // Returns true when handled.
  bool Fail(TCmdType kind, const std::string& replyLine);
  void RunUpload(const net::UniqueFd& file, const std::string& localPath,
                 const std::string& remoteName, bool& reported, bool& handled);
  void LogIn(const std::string& user, const std::string& password);

  // Tells the observer of a line sent or received, if one is installed.
  void TraceSent(const std::string& line);
  void TraceReceived(const std::string& line);

  std::unique_ptr<TStreamSocket> dataConnection_;
  FtpObserver* observer_ = nullptr;
  unsigned watched_ = 0;  // observer_->Watches()
  std::recursive_mutex transferLock_;
  bool uploading_ = false;
};

}  // namespace ftp
