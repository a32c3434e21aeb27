#include "sim/ftp_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "net/ipv4.h"
#include "sim/ftp_data_connection.h"
#include "sim/log_text.h"
#include "sim/store_file.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

// How long the server waits for data to keep coming.
constexpr int kDataIdleMs = 60000;

// Sends what the socket takes at once, for a last word before closing.
void SendOnce(int fd, std::string_view text) {
  (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// A line of the control connection as the log shows it: bounded, line end left out, never a
// password.
std::string Logged(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (Upper(std::string(line.substr(0, 5))) == "PASS ") return "PASS ****";
  return LogText(line);
}

}  // namespace

// One control connection: reads command lines, records them and answers them.
class FtpServer::Session {
 public:
  Session(FtpServer& server, int control, std::string peer)
      : server_(server),
        tcp_(server.tcp_),
        control_(control),
        peer_(std::move(peer)),
        reader_(tcp_, control, false) {}

  void Run() {
    server_.Log("connection from " + peer_);
    Serve();
    server_.Log("connection from " + peer_ + " closed");
  }

 private:
  void Serve() {
    Pause("GREETING");
    for (const auto& line : server_.behaviour_.greeting)
      if (!SendText(line + "\r\n")) return;
    std::string line;
    while (ReadLine(line)) {
      server_.transcript_.Add(Transcript::Channel::kFtp, line);
      LogControlLine("< ", line);
      if (!Handle(line)) return;
    }
  }

  // Logs a line received ("< ") or sent ("> "); nothing is formatted without a log.
  void LogControlLine(std::string_view direction, std::string_view line) {
    if (server_.log_) server_.Log(std::string(direction) + Logged(line));
  }

  // Sends all of `text` on the control connection; false when it is gone.
  bool SendText(const std::string& text) {
    LogControlLine("> ", text);
    return tcp_.SendAll(control_, text) == Sent::kAll;
  }

  // The last word before closing: sent as far as the socket takes it at once.
  void SendLast(const std::string& text) {
    LogControlLine("> ", text);
    SendOnce(control_, text);
  }

  // Waits as the scenario asks before the reply to `key`; false when the server stops meanwhile.
  bool Pause(const std::string& key) {
    for (const auto& delay : server_.behaviour_.delays) {
      if (delay.command != key || !FtpPatternMatches(delay.pattern, argument_)) continue;
      if (!tcp_.Sleep(delay.ms)) return false;
      if (delay.hold && !tcp_.AwaitRelease()) return false;
    }
    return true;
  }

  bool Reply(int code, const std::string& text, const std::string& delayKey = {}) {
    if (!Pause(delayKey.empty() ? verb_ : delayKey)) return false;
    return SendText(std::to_string(code) + " " + text + "\r\n");
  }

  // Reads one line without its line end; false at end of file, on a line over the bound, or
  // when the server stops.
  bool ReadLine(std::string& line) {
    switch (reader_.Read(line)) {
      case LineReader::Result::kLine:
        return true;
      case LineReader::Result::kTooLong:
        Reply(500, "Line too long.");
        return false;
      case LineReader::Result::kTimedOut:
        SendLast(reader_.Login().Expired() ? "421 Login time-out; closing control connection.\r\n"
                                           : "421 Idle time-out; closing control connection.\r\n");
        return false;
      case LineReader::Result::kClosed:
        break;
    }
    return false;
  }

  // Answers one command line; false ends the session.
  bool Handle(const std::string& line) {
    std::size_t space = line.find(' ');
    verb_ = Upper(line.substr(0, space));
    std::string arg = space == std::string::npos ? std::string() : line.substr(space + 1);
    argument_ = arg;
    for (const auto& refusal : server_.behaviour_.refusals) {
      if (refusal.command == verb_ && FtpPatternMatches(refusal.pattern, arg))
        return Reply(refusal.code, refusal.text.empty() ? "Refused." : refusal.text);
    }
    if (verb_ == "QUIT") {
      Reply(221, "Goodbye.");
      return false;
    }
    if (verb_ == "USER") {
      user_ = arg;
      userGiven_ = true;
      loggedIn_ = false;
      reader_.Login().Start();
      return Reply(331, "Password required for " + arg + ".");
    }
    if (verb_ == "PASS") {
      if (!userGiven_) return Reply(503, "Login with USER first.");
      loggedIn_ = user_ == kUser && arg == kPassword;
      if (loggedIn_) reader_.Login().Stop();
      return loggedIn_ ? Reply(230, "User logged in.") : Reply(530, "Login incorrect.");
    }
    if (verb_ == "NOOP") return Reply(200, "NOOP command successful.");
    if (verb_.empty()) return Reply(500, "Syntax error, command unrecognized.");
    if (!loggedIn_) return Reply(530, "Please log in with USER and PASS first.");
    if (verb_ == "TYPE") return Type(arg);
    if (verb_ == "CWD") return Cwd(arg);
    if (verb_ == "PWD") return Reply(257, "\"" + cwd_ + "\" is the current directory.");
    if (verb_ == "PORT") return PortCommand(arg);
    if (verb_ == "PASV") return Pasv();
    if (verb_ == "STOR") return Stor(arg);
    if (verb_ == "DELE") return Dele(arg);
    if (verb_ == "MKD") return Mkd(arg);
    return Reply(502, "Command not implemented.");
  }

  bool Type(const std::string& arg) {
    std::string type = Upper(arg);
    if (type == "A" || type == "A N" || type == "I" || type == "L 8")
      return Reply(200, "Type set to " + type + ".");
    return Reply(504, "Type not supported.");
  }

  bool Cwd(const std::string& arg) {
    auto norm = server_.drive_.Normalize(arg, cwd_);
    auto local = server_.drive_.Resolve(arg, cwd_);
    std::error_code ec;
    if (arg.empty() || !norm || !local || !fs::is_directory(*local, ec))
      return Reply(550, arg + ": No such directory.");
    cwd_ = *norm;
    return Reply(250, "CWD command successful.");
  }

  bool Mkd(const std::string& arg) {
    auto norm = server_.drive_.Normalize(arg, cwd_);
    auto local = server_.drive_.Resolve(arg, cwd_);
    std::error_code ec;
    if (arg.empty() || !norm || !local) return Reply(550, arg + ": Not allowed.");
    if (fs::exists(*local, ec)) return Reply(550, arg + ": File exists.");
    if (!fs::create_directory(*local, ec) || ec) return Reply(550, arg + ": No such directory.");
    return Reply(257, "\"" + *norm + "\" directory created.");
  }

  bool Dele(const std::string& arg) {
    auto local = server_.drive_.Resolve(arg, cwd_);
    std::error_code ec;
    if (arg.empty() || !local || !fs::is_regular_file(*local, ec) || !fs::remove(*local, ec))
      return Reply(550, arg + ": No such file.");
    return Reply(250, "DELE command successful.");
  }

  bool PortCommand(const std::string& arg) {
    switch (data_.Port(arg)) {
      case FtpDataConnection::PortResult::kMalformed:
        return Reply(501, "Syntax error in PORT argument.");
      case FtpDataConnection::PortResult::kNotLocal:
        return Reply(500, "Illegal PORT command.");
      case FtpDataConnection::PortResult::kSet:
        break;
    }
    return Reply(200, "PORT command successful.");
  }

  bool Pasv() {
    auto address = data_.Passive(control_);
    if (!address) return Reply(425, "Cannot open passive connection.");
    return Reply(227, "Entering Passive Mode (" + *address + ").");
  }

  const FtpStoreRule* RuleFor(const std::string& arg) const {
    for (const auto& rule : server_.behaviour_.storeRules)
      if (FtpPatternMatches(rule.pattern, arg)) return &rule;
    return nullptr;
  }

  bool Stor(const std::string& arg) {
    auto local = server_.drive_.Resolve(arg, cwd_);
    std::error_code ec;
    if (arg.empty()) return Reply(553, "File name not allowed.");
    if (!local) return Reply(550, arg + ": Permission denied.");
    if (!fs::is_directory(local->parent_path(), ec))
      return Reply(550, arg + ": No such directory.");
    if (fs::is_directory(*local, ec)) return Reply(550, arg + ": Is a directory.");
    const FtpStoreRule* rule = RuleFor(arg);
    FtpStoreFault fault = rule ? rule->fault : FtpStoreFault::kTruncate;
    if (rule && fault == FtpStoreFault::kNeverConnect) {
      data_.Forget();
      return Reply(150, "Opening BINARY mode data connection for " + arg + ".");
    }
    net::UniqueFd data = data_.Open(tcp_, control_);
    if (!data) return Reply(425, "Can't open data connection.");
    // A link inside the root is written through, as opening it would.
    fs::path target = fs::weakly_canonical(*local, ec);
    if (ec) target = *local;
    const std::uint64_t room = server_.drive_.RoomFor(target, server_.capacity_);
    StoreFile file(target);
    if (!file.Valid()) return Reply(553, arg + ": Cannot create file.");
    if (!Reply(150, "Opening BINARY mode data connection for " + arg + ".")) return false;

    if (rule && fault == FtpStoreFault::kStall) {
      // Take nothing and wait for the client to give up on the transfer.
      Waited w = tcp_.Wait(data.Get(), POLLRDHUP, kDataIdleMs);
      if (w == Waited::kStopped) return false;
      file.Keep();
      AbortData(data);
      return Reply(426, "Connection closed; transfer aborted.");
    }

    // However a transfer ends, what arrived replaces the file, as when a server writes in
    // place; only a store that would overfill the drive (or a stop of the server) keeps nothing.
    std::uint64_t received = 0;
    std::uint64_t written = 0;
    std::uint64_t keep = rule && fault == FtpStoreFault::kTruncate ? rule->bytes : UINT64_MAX;
    bool writeFailed = false;
    const bool cutOff =
        rule && (fault == FtpStoreFault::kCloseEarly || fault == FtpStoreFault::kReset);
    std::vector<char> buffer(65536);
    for (;;) {
      if (cutOff && received >= rule->bytes) {
        file.Keep();
        if (fault == FtpStoreFault::kReset) {
          // As a server whose disk filled: the reset comes first, the reason after it.
          AbortData(data);
          return Reply(rule->code,
                       rule->text.empty() ? "Failure writing to local file." : rule->text,
                       "COMPLETION");
        }
        // The reply goes first, so it waits on the control connection when the client fails.
        if (!Reply(426, "Connection closed; transfer aborted.")) return false;
        AbortData(data);
        return true;
      }
      Waited w = tcp_.Wait(data.Get(), POLLIN, kDataIdleMs);
      if (w == Waited::kStopped) return false;
      if (w == Waited::kTimedOut) {
        file.Keep();
        return Reply(426, "Data connection timed out; transfer aborted.");
      }
      ssize_t n = ::recv(data.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n < 0) {
        file.Keep();
        return Reply(426, "Connection closed; transfer aborted.");
      }
      if (n == 0) break;
      std::uint64_t count = static_cast<std::uint64_t>(n);
      if (cutOff) count = std::min(count, rule->bytes - received);
      std::uint64_t toWrite = received >= keep ? 0 : std::min(count, keep - received);
      if (written + toWrite > room) {
        file.Discard();
        // As for "close_early", the reply goes first, so it waits when the client fails.
        if (!Reply(552, "Requested file action aborted: the drive is full.", "COMPLETION"))
          return false;
        AbortData(data);
        return true;
      }
      if (!writeFailed && toWrite > 0 && !file.Write(buffer.data(), toWrite)) writeFailed = true;
      written += toWrite;
      received += count;
    }
    data.Reset();
    if (!file.Keep() || writeFailed) return Reply(451, "Local error in processing.", "COMPLETION");
    if (rule && fault == FtpStoreFault::kTruncate) {
      return Reply(rule->code,
                   rule->text.empty()
                       ? "Requested file action aborted. Exceeded storage allocation."
                       : rule->text,
                   "COMPLETION");
    }
    return Reply(226, "Transfer complete.", "COMPLETION");
  }

  // Closes a data connection with a reset, as a server does when it abandons a transfer.
  static void AbortData(net::UniqueFd& data) {
    linger abortive{1, 0};
    ::setsockopt(data.Get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    data.Reset();
  }

  FtpServer& server_;
  const TcpServer& tcp_;
  int control_;
  std::string peer_;  // "address:port"
  LineReader reader_;
  std::string verb_;
  std::string argument_;  // of the command being answered (a store's, for its completion)
  std::string cwd_ = "/F0:/";
  std::string user_;
  bool userGiven_ = false;
  bool loggedIn_ = false;
  FtpDataConnection data_;
};

FtpServer::FtpServer(const Drive& drive, Transcript& transcript, std::string bindAddress,
                     std::uint16_t port, FtpBehaviour behaviour, ConnectionLimits limits,
                     DriveCapacity capacity, std::ostream* log)
    : drive_(drive),
      transcript_(transcript),
      bindAddress_(std::move(bindAddress)),
      port_(port),
      behaviour_(std::move(behaviour)),
      capacity_(capacity),
      log_(log),
      tcp_(
          limits,
          [this](int control, const std::string& peer) {
            // A store answers "150" and then "226" in two writes; with Nagle's algorithm the
            // second waits for the client's delayed ACK of the first, about 40 ms per file.
            int on = 1;
            ::setsockopt(control, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            Session(*this, control, peer).Run();
          },
          [this, limit = limits.maxConnections](int fd, const std::string& peer) {
            Log("connection from " + peer + " refused: " + std::to_string(limit) +
                " connections already");
            SendOnce(fd, "421 Too many connections; try again later.\r\n");
          }) {}

FtpServer::~FtpServer() {
  Stop();
}

void FtpServer::Log(const std::string& text) const {
  if (log_) LogLine(*log_, "ftp", text);
}

void FtpServer::Start() {
  if (running_) return;
  auto address = net::ParseIPv4(bindAddress_);
  if (!address) throw std::runtime_error("FTP server: bad bind address " + bindAddress_);
  // The drives exist on the instrument from the start.
  drive_.Prepare(false);
  try {
    port_ = tcp_.Listen(*address, port_, 16);
  } catch (const ListenError& e) {
    if (e.stage == ListenError::Stage::kSetUp) throw std::runtime_error("FTP server: no socket");
    throw std::runtime_error("FTP server: cannot listen on " + bindAddress_ + ":" +
                             std::to_string(port_) + ": " + std::strerror(e.error));
  }
  running_ = true;
}

void FtpServer::Release() {
  tcp_.Release();
}

void FtpServer::Stop() {
  running_ = false;
  tcp_.Stop();
}

}  // namespace sim
