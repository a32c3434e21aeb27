#include "ftp/ftp_client.h"

#include <chrono>
#include <exception>
#include <optional>

#include "ftp/regular_file.h"
#include "net/file_stamp.h"
#include "net/ipv4.h"
#include "net/socket_error.h"
#include "net/text.h"

namespace ftp {
namespace {

bool InRange(int code, int low, int high) {
  return code >= low && code <= high;
}

// What a status report may show of a command line: never a password.
std::string Shown(const std::string& line) {
  return line.rfind("PASS ", 0) == 0 ? std::string("PASS ") : line;
}

// A trace may show every command line but the password.
std::string_view Masked(const std::string& line) {
  return line.starts_with("PASS ") ? std::string_view("PASS ****") : std::string_view(line);
}

// A send that failed because the peer reset or dropped the data connection.
bool DataConnectionBroke(const ESockError& error) {
  return error.Kind() == SockErrorKind::kPlatform &&
         (error.ErrorNumber() == net::kConnectionReset ||
          error.ErrorNumber() == net::kConnectionAborted);
}

}  // namespace

TFtpClient::TFtpClient() {
  Port = 21;
}

TFtpClient::~TFtpClient() {
  destroying_ = true;
  canceled_ = true;
  if (dataConnection_) dataConnection_->Cancel();
  dataConnection_.reset();
}

void TFtpClient::RaiseClosed() {
  Connected();  // closes and renews the socket when the peer's end of file is all that is left
  throw ESockError(SockErrorKind::kClosed,
                   "Connection closed by the server before a complete reply");
}

void TFtpClient::SetObserver(FtpObserver* observer) {
  observer_ = observer;
  watched_ = observer ? observer->Watches() : 0;
}

void TFtpClient::TraceSent(const std::string& line) {
  if ((watched_ & FtpObserver::kLines) != 0) observer_->LineSent(Masked(line));
}

void TFtpClient::TraceReceived(const std::string& line) {
  if ((watched_ & FtpObserver::kLines) != 0 && !line.empty()) observer_->LineReceived(line);
}

void TFtpClient::DropPendingReplies() {
  if (!DataAvailable()) return;
  const std::string dropped = DiscardPendingInput();
  if ((watched_ & FtpObserver::kLines) == 0) return;
  const std::string_view text(dropped);
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t lf = text.find('\n', start);
    const std::size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    observer_->LineReceived(text.substr(start, end - start));
    start = end;
  }
}

void TFtpClient::ReadContinuation(const std::string& first) {
  std::string line = first;
  while (IsContinuationLine(line)) {
    line = ReadReplyLine();
    if (line.empty()) RaiseClosed();
    TraceReceived(line);
    Report(1, line);
  }
}

std::string TFtpClient::ReadReplyLine() {
  if (ReplyLines() >= kMaxReplyLines) {
    // The rest of such a reply would be taken for the answers to later commands.
    CloseSocket();
    throw ESockError(SockErrorKind::kMalformedReply,
                     "Malformed reply: the server's reply did not end within " +
                         std::to_string(kMaxReplyLines) + " lines");
  }
  return ReadLn();
}

std::string TFtpClient::Transaction(const std::string& command) {
  ReplyScope reply(*this);
  TraceSent(command);
  std::string first = TStreamSocket::Transaction(command);
  TraceReceived(first);
  ReadContinuation(first);
  return first;
}

void TFtpClient::Exchange(const std::string& line) {
  Transaction(line);
  if (ReplyText().empty()) RaiseClosed();
}

std::string TFtpClient::ReadReply() {
  ReplyScope reply(*this);
  std::string first = ReadReplyLine();
  if (first.empty()) RaiseClosed();
  TraceReceived(first);
  Report(1, first);
  ReadContinuation(first);
  return first;
}

std::string TFtpClient::ReadCompletion() {
  ReplyScope reply(*this);
  std::string completion;
  do {
    completion = ReadReply();
  } while (ReplyClass(completion) == 1);
  return completion;
}

void TFtpClient::RefuseLogin() {
  if (OnConnectionFailed) OnConnectionFailed(*this);
  throw FTPException(ReplyText());
}

bool TFtpClient::Fail(TCmdType kind, const std::string& replyLine) {
  if (!OnFailure) throw FTPException(replyLine);
  bool handled = false;
  OnFailure(*this, handled, kind);
  if (!handled) throw FTPException(replyLine);
  return true;
}

void TFtpClient::LogIn(const std::string& user, const std::string& password) {
  std::string userLine = "USER " + user;
  Report(1, userLine);
  Exchange(userLine);
  if (InRange(ReplyCode(), 401, 599)) RefuseLogin();
  if (ReplyCode() != 331) return;
  Report(1, "PASS ");
  Exchange("PASS " + password);
  if (InRange(ReplyCode(), 401, 599)) RefuseLogin();
}

void TFtpClient::Connect() {
  canceled_ = false;
  if (Connected()) return;
  // Nothing goes out when a login text could not be sent as one line.
  CheckCommandLine("USER " + UserID, "USER " + UserID);
  CheckCommandLine("PASS " + Password, "PASS ");
  if (FWAuthenticate) {
    CheckCommandLine("USER " + FWUserID, "USER " + FWUserID);
    CheckCommandLine("PASS " + FWPassword, "PASS ");
  }
  Report(8, "Clearing Input");
  DropPendingReplies();
  TStreamSocket::Connect();
  if ((watched_ & FtpObserver::kLines) != 0) {
    observer_->ControlConnected(net::EndpointText(RemoteAddress(), RemotePort()));
  }
  try {
    std::string greeting = ReadReply();
    SetReply(ParseReplyCode(greeting), greeting);
    if (ReplyCode() > 400) RefuseLogin();
    if (FWAuthenticate) LogIn(FWUserID, FWPassword);
    if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
      bool handled = false;
      OnAuthenticationNeeded(*this, handled);
      CheckCommandLine("USER " + UserID, "USER " + UserID);
      CheckCommandLine("PASS " + Password, "PASS ");
    }
    if (Proxy.empty() || FirewallType != FTUser) {
      if (!Proxy.empty()) Exchange((FirewallType == FtOpen ? "OPEN " : "SITE ") + Host);
      LogIn(UserID, Password);
    } else {
      // Through a user-type firewall the real host travels in the user name, unjudged.
      std::string userLine = "USER " + UserID + "@" + Host;
      CheckCommandLine(userLine, userLine);
      Report(1, userLine);
      Exchange(userLine);
      if (ReplyCode() == 331) {
        Report(1, "PASS ");
        Exchange("PASS " + Password);
        if (InRange(ReplyCode(), 401, 599)) RefuseLogin();
      }
    }
    if (OnConnect) OnConnect(*this);
  } catch (...) {
    // Log out and close before the refusal reaches the caller. A server that hangs up first
    // makes the log-out a no-op, so its refusal stays the error raised, and the refusal stays
    // the reply on record rather than the log-out's.
    int code = ReplyCode();
    std::string text = ReplyText();
    try {
      Disconnect();
    } catch (const std::exception&) {
      // A server that refused the log-in often refuses the QUIT too, with a reply of its own
      // ("500 OOPS: ..."): the log-in's refusal is the reason, whatever the log-out got.
    }
    SetReply(code, std::move(text));
    Report(1, "Disconnected");
    throw;
  }
}

void TFtpClient::Disconnect() {
  canceled_ = false;
  if (!Connected()) return;
  Report(1, "QUIT");
  std::exception_ptr failure;
  bool refused = false;
  try {
    DropPendingReplies();
    lastError_ = 0;
    Transaction("QUIT");
    refused = !ReplyText().empty() && InRange(ReplyCode(), 301, 599);
  } catch (const EAbortError&) {
    failure = std::current_exception();
  } catch (const ESockError&) {
    // A connection that closes, or is reset, in answer to QUIT is a completed log-out.
    bool gone = PeerClosed() || lastError_ == net::kConnectionAborted ||
                lastError_ == net::kConnectionReset || lastError_ == net::kNotConnected ||
                lastError_ == net::kShutDown;
    if (!gone) failure = std::current_exception();
  }
  if (IsOpen()) TStreamSocket::Disconnect();
  if (failure) std::rethrow_exception(failure);
  if (refused) throw FTPException(ReplyText());
}

void TFtpClient::Abort() {
  Report(8, "Abort");
  if (dataConnection_) dataConnection_->Cancel();
}

void TFtpClient::DoCommand(const std::string& line) {
  TCmdType kind = CommandKind(line);
  CheckCommandLine(line, Shown(line));
  canceled_ = false;
  CheckConnected();
  Report(1, Shown(line));
  // A late or unsolicited reply waiting now would otherwise be taken for this command's reply.
  DropPendingReplies();
  Exchange(line);
  if (InRange(ReplyCode(), 400, 599)) {
    if (InRange(ReplyCode(), 500, 502) && OnUnSupportedFunction) OnUnSupportedFunction(*this, kind);
    Fail(kind, ReplyText());
    return;
  }
  if (OnSuccess) OnSuccess(*this, kind);
}

void TFtpClient::ChangeDir(const std::string& directory) {
  DoCommand("CWD " + directory);
  // A refusal that the failure handler declared handled leaves the folder as it was.
  if (observer_ && InRange(ReplyCode(), 200, 299)) observer_->FolderChanged(directory);
}

void TFtpClient::Delete(const std::string& name) {
  DoCommand("DELE " + name);
}

void TFtpClient::Mode(int transferType) {
  switch (transferType) {
    case 1:
      DoCommand("TYPE A");
      break;
    case 2:
      DoCommand("TYPE I");
      break;
    case 3:
      DoCommand("TYPE L 8");
      break;
    default:
      break;
  }
}

void TFtpClient::Upload(const std::string& localPath, const std::string& remoteName) {
  // Only a regular file can be sent: a FIFO would block the read, a device never end. The file
  // checked here is the one sent; one that cannot be opened fails inside the upload, after the
  // connection is checked, as any other failure to open does.
  net::UniqueFd file;
  try {
    file = OpenRegularFile(localPath);
  } catch (const EFOpenError&) {
  }
  Upload(file, localPath, remoteName);
}

void TFtpClient::Upload(const net::UniqueFd& file, const std::string& localPath,
                        const std::string& remoteName) {
  bool reported = false;
  bool handled = false;
  std::exception_ptr failure;
  if (uploading_) {
    // A second upload from a handler would share the running one's data connection.
    failure = std::make_exception_ptr(
        std::runtime_error("Upload refused: another upload is still running"));
  } else {
    try {
      RunUpload(file, localPath, remoteName, reported, handled);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (!failure) {
    if (!handled && OnSuccess) OnSuccess(*this, cmdUpload);
    return;
  }
  if (!reported && OnFailure) {
    bool failureHandled = false;
    OnFailure(*this, failureHandled, cmdUpload);
    if (failureHandled) return;
  }
  std::rethrow_exception(failure);
}

void TFtpClient::RunUpload(const net::UniqueFd& file, const std::string& localPath,
                           const std::string& remoteName, bool& reported, bool& handled) {
  canceled_ = false;
  CheckConnected();
  std::lock_guard lock(transferLock_);
  uploading_ = true;
  // The data connection's record for an observer that watches it: filled once the connection
  // is open.
  DataConnectionRecord record;
  std::optional<std::chrono::steady_clock::time_point> opened;
  struct End {
    TFtpClient* client;
    DataConnectionRecord& record;
    const std::optional<std::chrono::steady_clock::time_point>& opened;
    ~End() {
      if (opened) {
        record.bytes = client->dataConnection_->SentBytes();
        record.duration = std::chrono::steady_clock::now() - *opened;
        client->observer_->DataConnectionEnded(record);
      }
      client->dataConnection_.reset();
      client->uploading_ = false;
    }
  } end{this, record, opened};
  auto refuse = [&] {
    reported = true;
    handled = Fail(cmdUpload, ReplyText());
  };

  DropPendingReplies();
  dataConnection_ = std::make_unique<TStreamSocket>();
  TStreamSocket& data = *dataConnection_;
  data.TimeOut = TimeOut;
  data.Port = 0;
  data.OnPacketSent = OnPacketSent;
  data.ReportLevel = ReportLevel;
  data.OnStatus = OnStatus;
  data.SetEventPump(EventPump());
  data.SetCancelPredicate(CancelPredicate());

  // The file's size and modification time as it is offered: what is sent must be exactly that.
  const auto offered = file ? net::StampOfFd(file.Get()) : std::nullopt;
  if (!offered) throw EFOpenError(localPath);
  std::string storLine = "STOR " + (remoteName.empty() ? NamePart(localPath) : remoteName);
  CheckCommandLine(storLine, storLine);

  if (!Passive) {
    // The data port opens on the interface by which the server is reached, and only the
    // server may connect to it.
    data.Listen(LocalAddress(), PeerAddress());
    std::string portLine = "PORT " + LocalAddressText() + data.LocalPortText();
    Report(1, portLine);
    Exchange(portLine);
    if (InRange(ReplyCode(), 301, 599)) return refuse();
  } else {
    Report(1, "PASV");
    Exchange("PASV");
    if (ReplyCode() > 499) return refuse();
    auto port = ParsePasvPort(ReplyText());
    if (!port)
      throw ESockError(SockErrorKind::kMalformedReply,
                       "Malformed reply: no data port in the PASV reply");
    data.Host = Host;
    data.Port = *port;
    data.Connect();
  }

  Report(1, "STOR " + (remoteName.empty() ? localPath : remoteName));
  Exchange(storLine);
  if (InRange(ReplyCode(), 301, 599)) {
    if (InRange(ReplyCode(), 500, 502) && OnUnSupportedFunction)
      OnUnSupportedFunction(*this, cmdUpload);
    return refuse();
  }

  if (!Passive) data.Adopt(data.Accept());
  if ((watched_ & FtpObserver::kDataConnections) != 0) {
    // The peer as the accept (or the connect) found it: no system call to ask again.
    record.peerAddress = data.RemoteAddress();
    record.peerPort = data.RemotePort();
    opened = std::chrono::steady_clock::now();
  }
  if (OnTransactionStart) OnTransactionStart(*this);
  try {
    data.SendFile(file, localPath, *offered);
  } catch (const ESockError& error) {
    if (!DataConnectionBroke(error)) throw;
    RaiseBrokenStore(error);
  }
  if (OnTransactionStop) OnTransactionStop(*this);
  data.SetGracefulClose();
  data.CloseSocket();
  record.completed = true;

  // Only a 2xx completion reply says that the server stored the file. A 1xx reply is
  // preliminary: the final one follows within the same bound. Anything else (a refusal such as
  // 552 after a truncated store, a 350, a line without a valid code) fails the upload.
  const std::string completion = ReadCompletion();
  int replyClass = ReplyClass(completion);
  if (replyClass != 2) {
    SetReply(replyClass == 0 ? 0 : ParseReplyCode(completion), completion);
    return refuse();
  }
}

void TFtpClient::RaiseBrokenStore(const ESockError& broken) {
  // A server that gives up on a store (its disk full, say) resets the data connection and
  // then says why on the control connection: that reply is the reason to show, and reading it
  // here keeps it from being taken for a later command's reply.
  std::string completion;
  try {
    completion = ReadCompletion();
  } catch (const std::exception&) {
    // No reason came (the control connection went too, or stayed silent): the break stands.
    throw broken;
  }
  const int replyClass = ReplyClass(completion);
  if (replyClass != 4 && replyClass != 5) throw broken;
  SetReply(ParseReplyCode(completion), completion);
  throw ESockError(
      broken.Kind(),
      net::WithoutLineEnd(completion) + " (the data connection failed: " + broken.what() + ")",
      broken.ErrorNumber(), net::WithoutLineEnd(completion));
}

}  // namespace ftp
