#include "sim/command_server.h"

#include <sys/socket.h>

#include <stdexcept>

#include "net/ipv4.h"
#include "net/socket_error.h"
#include "sim/log_text.h"

namespace sim {

CommandServer::CommandServer(const Drive& drive, Transcript& transcript, Scenario scenario,
                             CommandServerOptions options)
    : transcript_(transcript),
      options_(std::move(options)),
      interpreter_(drive, std::move(scenario)),
      tcp_(
          options_.limits, [this](int fd, const std::string& peer) { Serve(fd, peer); },
          [this](int, const std::string& peer) {
            Log("connection from " + peer + " refused: " +
                std::to_string(options_.limits.maxConnections) + " connections already");
          }) {
  auto address = net::ParseIPv4(options_.bind);
  if (!address) throw std::runtime_error("'" + options_.bind + "' is not a dotted IPv4 address");
  try {
    port_ = tcp_.Listen(*address, static_cast<uint16_t>(options_.port), 8);
  } catch (const ListenError& e) {
    if (e.stage == ListenError::Stage::kSetUp)
      throw std::runtime_error("command server: " + net::PlatformErrorText(e.error));
    throw std::runtime_error("command server: cannot listen on " + options_.bind + ":" +
                             std::to_string(options_.port) + ": " +
                             net::PlatformErrorText(e.error));
  }
}

CommandServer::~CommandServer() {
  Stop();
}

void CommandServer::Stop() {
  tcp_.Stop();
}

void CommandServer::Release() {
  tcp_.Release();
}

void CommandServer::Serve(int fd, const std::string& peer) {
  Log("connection from " + peer);
  // A client that has sent nothing yet counts as not logged in.
  LineReader reader(tcp_, fd, true);
  std::string line;
  LineReader::Result result = reader.Read(line);
  while (result == LineReader::Result::kLine && Handle(fd, line)) result = reader.Read(line);
  if (result == LineReader::Result::kTimedOut)
    Log("connection from " + peer +
        (reader.Login().Expired() ? " sent nothing" : " idle too long"));
  if (result == LineReader::Result::kTooLong)
    Log("line longer than " + std::to_string(LineReader::kMaxLineBytes) + " bytes from " + peer);
  Log("connection from " + peer + " closed");
}

bool CommandServer::Handle(int fd, const std::string& line) {
  transcript_.Add(Transcript::Channel::kCommand, line);
  Log("< " + LogText(line));
  CommandResponse response;
  {
    std::lock_guard lock(interpreterMutex_);
    response = interpreter_.Execute(line);
  }
  if (response.delay.count() > 0 && !tcp_.Sleep(static_cast<int>(response.delay.count())))
    return false;
  if (response.hold && !tcp_.AwaitRelease()) return false;
  if (response.reset) {
    // Closing with a zero linger sends a reset instead of an orderly end.
    linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    Log("reset");
    return false;
  }
  std::string reply = response.reply.value_or(std::string());
  if (response.closeAfter && *response.closeAfter < reply.size())
    reply.resize(*response.closeAfter);
  if (!reply.empty()) {
    std::string_view shown(reply);
    if (shown.back() == '\n') shown.remove_suffix(1);
    Log("> " + LogText(shown));
    Sent sent = tcp_.SendAll(fd, reply);
    if (sent == Sent::kTimedOut) Log("the client takes no replies");
    if (sent != Sent::kAll) return false;
  }
  if (response.closeAfter) {
    Log("closed mid-reply");
    return false;
  }
  return true;
}

void CommandServer::Log(const std::string& text) {
  if (options_.logLines) LogLine(*options_.log, "command", text);
}

}  // namespace sim
