#include "sim/ftp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "net/ipv4.h"
#include "sim/store_file.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxLine = 65536;
// How long the server waits for a data connection to open and for data to keep coming.
constexpr int kDataOpenMs = 10000;
constexpr int kDataIdleMs = 60000;

enum class Waited { kReady, kTimeout, kStop };

// Waits for `events` on `fd` (or for nothing but the time, when `fd` is -1) unless the server
// stops first.
Waited WaitFor(int fd, short events, int ms, int stopFd) {
  pollfd p[2] = {{stopFd, POLLIN, 0}, {fd, events, 0}};
  for (;;) {
    int rc = ::poll(p, fd >= 0 ? 2 : 1, ms);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return Waited::kStop;
    if (p[0].revents) return Waited::kStop;
    if (rc == 0) return Waited::kTimeout;
    return Waited::kReady;
  }
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::optional<int> Byte(std::string_view field) {
  if (field.empty() || field.size() > 3) return std::nullopt;
  int value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > 255) return std::nullopt;
  return value;
}

// "h1,h2,h3,h4,p1,p2" as an address; nothing when malformed.
std::optional<sockaddr_in> ParsePortArgument(std::string_view text) {
  int values[6];
  for (int i = 0; i < 6; ++i) {
    std::size_t comma = text.find(',');
    if ((i < 5) == (comma == std::string_view::npos)) return std::nullopt;
    auto value = Byte(text.substr(0, comma));
    if (!value) return std::nullopt;
    values[i] = *value;
    text = i < 5 ? text.substr(comma + 1) : std::string_view();
  }
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(
      static_cast<std::uint32_t>(values[0] << 24 | values[1] << 16 | values[2] << 8 | values[3]));
  target.sin_port = htons(static_cast<std::uint16_t>(values[4] * 256 + values[5]));
  return target;
}

}  // namespace

// One control connection: reads command lines, records them and answers them.
class FtpServer::Session {
 public:
  Session(FtpServer& server, int control)
      : server_(server),
        control_(control),
        stop_(server.stop_.Get()),
        login_(server.limits_.loginTimeout) {}

  void Run() {
    Pause("GREETING");
    for (const auto& line : server_.behaviour_.greeting)
      if (!SendText(line + "\r\n")) return;
    std::string line;
    while (ReadLine(line)) {
      server_.transcript_.Add(Transcript::Channel::kFtp, line);
      if (!Handle(line)) return;
    }
  }

 private:
  // Sends all of `text` on the control connection; false when it is gone.
  bool SendText(const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
      ssize_t n =
          ::send(control_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        // A client that takes nothing for the idle time-out loses its connection.
        if (WaitFor(control_, POLLOUT, server_.limits_.IdlePollMs(), stop_) != Waited::kReady)
          return false;
      } else {
        return false;
      }
    }
    return true;
  }

  // Sends what the socket takes at once, for a last word before closing.
  void SendOnce(std::string_view text) {
    (void)!::send(control_, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }

  // Waits as the scenario asks before the reply to `key`; false when the server stops meanwhile.
  bool Pause(const std::string& key) {
    for (const auto& delay : server_.behaviour_.delays) {
      if (delay.command != key || !FtpPatternMatches(delay.pattern, argument_)) continue;
      if (WaitFor(-1, 0, delay.ms, stop_) == Waited::kStop) return false;
      if (delay.hold && WaitFor(server_.release_.Get(), POLLIN, -1, stop_) != Waited::kReady)
        return false;
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
    for (;;) {
      std::size_t lf = input_.find('\n');
      if (lf != std::string::npos) {
        line = input_.substr(0, lf);
        input_.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
      if (input_.size() > kMaxLine) {
        Reply(500, "Line too long.");
        return false;
      }
      auto start = std::chrono::steady_clock::now();
      Waited w = WaitFor(control_, POLLIN, login_.PollMs(server_.limits_), stop_);
      login_.Count(start);
      if (w == Waited::kTimeout) {
        SendOnce(login_.Expired() ? "421 Login time-out; closing control connection.\r\n"
                                  : "421 Idle time-out; closing control connection.\r\n");
      }
      if (w != Waited::kReady) return false;
      char buffer[4096];
      ssize_t n = ::recv(control_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return false;
      input_.append(buffer, static_cast<std::size_t>(n));
    }
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
      login_.Start();
      return Reply(331, "Password required for " + arg + ".");
    }
    if (verb_ == "PASS") {
      if (!userGiven_) return Reply(503, "Login with USER first.");
      loggedIn_ = user_ == kUser && arg == kPassword;
      if (loggedIn_) login_.Stop();
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
    auto target = ParsePortArgument(arg);
    if (!target || target->sin_port == 0) return Reply(501, "Syntax error in PORT argument.");
    // The simulator connects back only to this machine.
    if ((ntohl(target->sin_addr.s_addr) >> 24) != 127) return Reply(500, "Illegal PORT command.");
    portTarget_ = *target;
    pasvListener_.Reset();
    return Reply(200, "PORT command successful.");
  }

  bool Pasv() {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ::getsockname(control_, reinterpret_cast<sockaddr*>(&local), &len);
    local.sin_port = 0;
    net::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    len = sizeof local;
    if (!listener ||
        ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(listener.Get(), 1) != 0 ||
        ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
      return Reply(425, "Cannot open passive connection.");
    }
    std::uint32_t a = ntohl(local.sin_addr.s_addr);
    int port = ntohs(local.sin_port);
    pasvListener_ = std::move(listener);
    portTarget_.reset();
    return Reply(227, "Entering Passive Mode (" + std::to_string(a >> 24) + "," +
                          std::to_string((a >> 16) & 255) + "," + std::to_string((a >> 8) & 255) +
                          "," + std::to_string(a & 255) + "," + std::to_string(port / 256) + "," +
                          std::to_string(port % 256) + ").");
  }

  // Opens the data connection named by PORT or PASV; an invalid descriptor when it fails.
  net::UniqueFd OpenData() {
    if (portTarget_) {
      sockaddr_in target = *portTarget_;
      portTarget_.reset();
      net::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      if (!fd) return {};
      if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        if (errno != EINPROGRESS) return {};
        if (WaitFor(fd.Get(), POLLOUT, kDataOpenMs, stop_) != Waited::kReady) return {};
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &len);
        if (error != 0) return {};
      }
      return fd;
    }
    if (pasvListener_) {
      net::UniqueFd listener = std::move(pasvListener_);
      if (WaitFor(listener.Get(), POLLIN, kDataOpenMs, stop_) != Waited::kReady) return {};
      return net::UniqueFd(
          ::accept4(listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    }
    return {};
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
      portTarget_.reset();
      pasvListener_.Reset();
      return Reply(150, "Opening BINARY mode data connection for " + arg + ".");
    }
    net::UniqueFd data = OpenData();
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
      Waited w = WaitFor(data.Get(), POLLRDHUP, kDataIdleMs, stop_);
      if (w == Waited::kStop) return false;
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
    std::vector<char> buffer(65536);
    for (;;) {
      if (rule && fault == FtpStoreFault::kCloseEarly && received >= rule->bytes) {
        file.Keep();
        // The reply goes first, so it waits on the control connection when the client fails.
        if (!Reply(426, "Connection closed; transfer aborted.")) return false;
        AbortData(data);
        return true;
      }
      Waited w = WaitFor(data.Get(), POLLIN, kDataIdleMs, stop_);
      if (w == Waited::kStop) return false;
      if (w == Waited::kTimeout) {
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
      if (rule && fault == FtpStoreFault::kCloseEarly)
        count = std::min(count, rule->bytes - received);
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
    if (!file.Keep() || writeFailed)
      return Reply(451, "Local error in processing.", "COMPLETION");
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
  int control_;
  int stop_;
  std::string input_;
  std::string verb_;
  std::string argument_;  // of the command being answered (a store's, for its completion)
  std::string cwd_ = "/F0:/";
  std::string user_;
  bool userGiven_ = false;
  bool loggedIn_ = false;
  std::optional<sockaddr_in> portTarget_;
  net::UniqueFd pasvListener_;
  LoginClock login_;
};

FtpServer::FtpServer(const Drive& drive, Transcript& transcript, std::string bindAddress,
                     std::uint16_t port, FtpBehaviour behaviour, ConnectionLimits limits,
                     DriveCapacity capacity)
    : drive_(drive),
      transcript_(transcript),
      bindAddress_(std::move(bindAddress)),
      port_(port),
      behaviour_(std::move(behaviour)),
      limits_(limits),
      capacity_(capacity),
      connections_(limits.maxConnections) {}

FtpServer::~FtpServer() {
  Stop();
}

void FtpServer::Start() {
  if (running_) return;
  auto address = net::ParseIPv4(bindAddress_);
  if (!address) throw std::runtime_error("FTP server: bad bind address " + bindAddress_);
  // The drives exist on the instrument from the start.
  drive_.Prepare(false);

  stop_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!release_) release_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!stop_ || !release_ || !listener_) throw std::runtime_error("FTP server: no socket");
  int on = 1;
  ::setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = *address;
  local.sin_port = htons(port_);
  socklen_t len = sizeof local;
  if (::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(listener_.Get(), 16) != 0 ||
      ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    throw std::runtime_error("FTP server: cannot listen on " + bindAddress_ + ":" +
                             std::to_string(port_) + ": " + std::strerror(errno));
  }
  port_ = ntohs(local.sin_port);
  running_ = true;
  acceptThread_ = std::thread(&FtpServer::AcceptLoop, this);
}

void FtpServer::AcceptLoop() {
  for (;;) {
    if (WaitFor(listener_.Get(), POLLIN, -1, stop_.Get()) != Waited::kReady) return;
    net::UniqueFd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) continue;
    // A store answers "150" and then "226" in two writes; with Nagle's algorithm the second
    // waits for the client's delayed ACK of the first, about 40 ms per file.
    int on = 1;
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (!connections_.Start(fd, [this](int control) { Session(*this, control).Run(); })) {
      static constexpr std::string_view kBusy = "421 Too many connections; try again later.\r\n";
      (void)!::send(fd.Get(), kBusy.data(), kBusy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  }
}

void FtpServer::Release() {
  std::uint64_t one = 1;
  (void)!::write(release_.Get(), &one, sizeof one);
}

void FtpServer::Stop() {
  if (!running_) return;
  running_ = false;
  std::uint64_t one = 1;
  (void)!::write(stop_.Get(), &one, sizeof one);
  if (acceptThread_.joinable()) acceptThread_.join();
  connections_.JoinAll();
  listener_.Reset();
}

}  // namespace sim
