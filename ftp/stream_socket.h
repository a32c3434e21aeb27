#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "ftp/ftp_errors.h"
#include "net/deadline.h"
#include "net/file_stamp.h"
#include "net/unique_fd.h"
#include "net/wait.h"

namespace ftp {

// A TCP stream socket with a time-out: resolves and connects to a server within `TimeOut`,
// exchanges CR LF lines, reads reply codes, listens for and accepts one connection and sends a
// local file. Every wait is a poll() on the socket with a short bound followed by the installed
// event pump, so a window stays live; the time-out is a deadline checked inside the waits.
class TStreamSocket {
 public:
  using TNotifyEvent = std::function<void(TStreamSocket& sender)>;
  using THandlerEvent = std::function<void(TStreamSocket& sender, bool& handled)>;
  using TOnStatus = std::function<void(TStreamSocket& sender, const std::string& status)>;
  using TOnErrorEvent =
      std::function<void(TStreamSocket& sender, std::uint16_t errnum, const std::string& errmsg)>;

  // Creates a fresh TCP socket; raises ESockError when the platform refuses one.
  TStreamSocket();
  virtual ~TStreamSocket();
  TStreamSocket(const TStreamSocket&) = delete;
  TStreamSocket& operator=(const TStreamSocket&) = delete;

  // Settings.
  std::string Host;  // server name or dotted IPv4 text
  int Port = 0;      // server port; on a listening socket the local port, 0 = any free port
  int TimeOut = 0;   // milliseconds; 0 = no time limit
  int ReportLevel = 0;
  std::string Proxy;  // when set, resolution and connection go here instead of Host
  int ProxyPort = 0;

  // Events, all optional.
  TNotifyEvent OnConnect;
  TNotifyEvent OnDisconnect;
  TNotifyEvent OnConnectionFailed;
  THandlerEvent OnInvalidHost;
  TNotifyEvent OnHostResolved;
  TOnStatus OnStatus;
  TOnErrorEvent OnError;
  THandlerEvent OnConnectionRequired;
  TNotifyEvent OnPacketSent;

  // Installs the pump that every wait calls between short polls (a window's "process pending
  // events"); none means waits block in poll() up to their bound.
  void SetEventPump(net::EventPump pump) { pump_ = std::move(pump); }
  const net::EventPump& EventPump() const { return pump_; }
  // Installs a predicate that every wait and every line send asks (a front end's "stop
  // requested" flag, raised by a signal): once it answers true, the running operation stops at
  // its next wait or before its next line goes out, as Cancel would make it, and so does every
  // later one while it stays true.
  void SetCancelPredicate(std::function<bool()> cancelled) { stop_ = std::move(cancelled); }
  const std::function<bool()>& CancelPredicate() const { return stop_; }

  // Waits up to `TimeOut` for an incoming connection from the peer named to Listen and returns
  // it. A connection from any other address is closed at once, unanswered and reported at
  // status level 1, and the wait goes on within the same bound.
  virtual net::UniqueFd Accept();
  // Resolves `Host` (dotted text is never looked up) and connects within `TimeOut`. A failed
  // connect leaves a fresh socket behind, so a later Connect can succeed.
  virtual void Connect();
  // Closes the connection ("Disconnecting", then CloseSocket).
  virtual void Disconnect();
  // Sends one command line and returns the reply line read back (its code in ReplyCode()).
  virtual std::string Transaction(const std::string& command);
  // Cancels the running operation; also what a passed time-out calls.
  virtual void Abort();
  // Marks the running operation to stop at its next wait.
  void Cancel();

  // Raises "Not Connected" unless connected (OnConnectionRequired may connect first).
  void CheckConnected();
  // True while the TCP connection is up. An end of file that the peer left with nothing
  // waiting closes and renews the socket first, so a server's hang-up reads as not connected.
  bool Connected();

  // Sends the text as it is (at most 65,535 bytes, ending at the first NUL).
  void Write(std::string_view text);
  // Sends the text followed by CR LF. A text holding CR, LF or NUL is refused unsent.
  void Writeln(std::string_view text);
  // Reads one line, line end kept; takes nothing past its LF. Empty when the peer closed.
  // Within an open reply (ReplyScope) the line also keeps to the reply's bound and is counted.
  std::string ReadLn();
  // True when at least one byte of input is waiting.
  bool DataAvailable();
  // Drops the input that is waiting now and gives the bytes dropped.
  std::string DiscardPendingInput();

  // Listens on the local address `local` (never on all interfaces) at `Port` (0 = any free
  // port) with a backlog of 1; Accept then takes a connection from `peer` only.
  void Listen(const in_addr& local, const in_addr& peer);
  // Puts an accepted connection in place of the listening socket, which is closed. Closing
  // the accepted connection leaves the object without a socket.
  void Adopt(net::UniqueFd accepted);
  // Sends a whole local file, up to the size it has when opened. The kernel moves the bytes
  // from the file to the socket (sendfile) in chunks of up to 65,536 bytes, without a copy
  // through this process; each chunk taken fires OnPacketSent, and the pump and the cancel
  // check run between chunks. Ends in an error when the peer takes no byte for `TimeOut`, and
  // in EFileChanged when the file ends early or its size or modification time differ after the
  // last byte.
  void SendFile(const std::string& path);
  // The same for a file already opened with OpenRegularFile; `path` names it in errors.
  void SendFile(const net::UniqueFd& file, const std::string& path);
  // The same for a file whose stamp `opened` was taken when it was opened: a file that changed
  // since then fails as one that changed during the send does.
  void SendFile(const net::UniqueFd& file, const std::string& path, const net::FileStamp& opened);
  // Switches the socket from abortive to graceful close, so queued data reaches the peer.
  void SetGracefulClose();

  // The local address of the connected socket with commas for dots ("192,168,0,10").
  std::string LocalAddressText();
  // The local and the peer's IPv4 address of the connected socket.
  in_addr LocalAddress();
  in_addr PeerAddress();
  // The local port as ",hi,lo" (",19,137" for 5001).
  std::string LocalPortText();
  // The local port number of the socket.
  int LocalPort();

  // Closes the socket and, unless being destroyed, fires OnDisconnect and creates a fresh one
  // (not for an adopted connection).
  void CloseSocket();

  // State.
  bool Canceled() const { return canceled_; }
  bool TimedOut() const { return timedOut_; }
  bool Ready() const { return ready_; }
  bool EventOk() const { return eventOk_; }
  int LastError() const { return lastError_; }
  int ReplyCode() const { return replyCode_; }
  const std::string& ReplyText() const { return replyText_; }
  const std::string& StatusText() const { return statusText_; }
  std::uint64_t SentBytes() const { return sentBytes_; }
  // The peer of the latest Connect (the proxy when one is set) or Accept: address and port.
  const in_addr& RemoteAddress() const { return remoteAddress_; }
  int RemotePort() const { return remotePort_; }
  int Handle() const { return fd_.Get(); }

 protected:
  enum class WaitEnd { kReady, kBound, kCancelled, kClosed, kTimer };

  // While one lives, the lines that ReadLn reads make up one reply: together they must arrive
  // within four times TimeOut of the reply's first byte, and ReplyLines() counts them. A scope
  // opened inside another one belongs to the outer reply.
  class ReplyScope {
   public:
    explicit ReplyScope(TStreamSocket& socket);
    ~ReplyScope();
    ReplyScope(const ReplyScope&) = delete;
    ReplyScope& operator=(const ReplyScope&) = delete;

   private:
    TStreamSocket& socket_;
    bool outer_;
  };
  // The lines read so far in the open reply.
  std::size_t ReplyLines() const { return replyLines_; }

  // Delivers a status text when ReportLevel is at least `level`.
  void Report(int level, std::string_view text);
  // Stores the platform error, fires OnError and raises an ESockError of kind kPlatform with the
  // numbered text.
  [[noreturn]] void RaiseSocketError(int errnoValue);
  void StartTimer();
  void StopTimer();
  // Waits for `events` on `fd` until ready, `bound`, cancel or error, pumping events. When the
  // time-out passes, the time-out steps run (TimedOut, Ready, Abort); with `stopOnTimer` the
  // wait then ends with kTimer, otherwise it goes on.
  WaitEnd Wait(int fd, short events, net::Deadline bound, bool stopOnTimer);
  // The same wait with the time-out timer and the pump each optional.
  WaitEnd WaitHow(int fd, short events, net::Deadline bound, bool timer, bool stopOnTimer,
                  bool pump);
  // Called when the TCP connection is established; fires OnConnect.
  virtual void SocketConnected();
  // True when the last read ended because the peer closed the connection.
  bool PeerClosed() const { return peerClosed_; }
  // The connection flag as it stands, without looking for a peer's end of file.
  bool IsOpen() const { return connected_; }
  void SetReply(int code, std::string text) {
    replyCode_ = code;
    replyText_ = std::move(text);
  }

  bool canceled_ = false;
  bool timedOut_ = false;
  bool ready_ = false;
  bool eventOk_ = true;
  bool destroying_ = false;
  int lastError_ = 0;
  bool peerClosed_ = false;

 private:
  void NewSocket();
  // The address to connect to: dotted text parsed, a name looked up.
  in_addr Resolve();
  // Looks a host name up on a thread of its own, waiting within `TimeOut`.
  in_addr LookUp(const std::string& name);
  void TimerTriggered();
  void SendAll(const char* data, std::size_t size, bool fileData);
  // Waits until the socket takes more bytes; raises the stall error when `stall` passes first.
  void AwaitRoom(const net::Deadline& stall, bool fileData);
  // SendFile's loops: by sendfile, and through the buffer where the file system cannot feed
  // sendfile. Both stop at `size` bytes or at the file's end, whichever comes first, and give
  // the offset reached.
  off_t SendFileChunks(int file, const std::string& path, off_t size);
  off_t SendFileBlocks(int file, const std::string& path, off_t offset, off_t size);
  // The socket's own address (getsockname) or its peer's (getpeername).
  sockaddr_in SocketName(bool peer);
  // True once the operation is cancelled, by Cancel or by the installed predicate (which then
  // cancels it).
  bool StopRequested();

  net::UniqueFd fd_;
  net::EventPump pump_;
  std::function<bool()> stop_;
  bool connected_ = false;
  bool listening_ = false;
  bool adopted_ = false;
  // Set by Transaction: the next ReadLn waits for input before it first looks.
  bool replyPending_ = false;
  // The addresses of the connection, once asked (SocketName).
  std::optional<sockaddr_in> localName_;
  std::optional<sockaddr_in> peerName_;
  in_addr acceptPeer_{};
  bool replyOpen_ = false;
  net::Deadline replyEnd_ = net::Deadline::Never();
  std::size_t replyLines_ = 0;
  bool timerOn_ = false;
  net::Deadline timerAt_ = net::Deadline::Never();
  in_addr remoteAddress_{};
  int remotePort_ = 0;
  int replyCode_ = 0;
  std::string replyText_;
  std::string statusText_;
  std::uint64_t sentBytes_ = 0;
  // kMaxLineBytes left uninitialised: every use writes the bytes it then reads, and a data
  // connection that sends by sendfile never touches them.
  std::unique_ptr<char[]> buffer_;
};

}  // namespace ftp
