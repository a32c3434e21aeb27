#include "instrument/tfrm_vx500.h"

#include "instrument/connect_diagnosis.h"
#include "instrument/instrument_errors.h"
#include "instrument/reply_parsers.h"
#include "net/ipv4.h"
#include "net/socket_error.h"
#include "net/text.h"

namespace instrument {
namespace {

constexpr std::string_view kErrorQuery = "SYSTEM:ERR?";

}  // namespace

void TfrmVX500::RequireQuotable(std::string_view value, const char* what) {
  if (value.find_first_of(std::string_view("\"\r\n\0", 4)) != std::string_view::npos)
    throw RefusedParameterError(std::string("Refused to send the ") + what + " \"" +
                                net::PrintableText(value) +
                                "\": it contains a double quote, CR, LF or NUL");
}

void TfrmVX500::OpenCommandConnection(const std::string& ipAddress) {
  CloseCommandConnection();
  auto address = net::ParseIPv4(ipAddress);
  if (!address) {
    const std::string cause =
        "'" + net::PrintableText(ipAddress) + "' is not a dotted IPv4 address";
    connectDiagnostic_ = ChannelDiagnostic("command channel", ipAddress, commandPort_, cause);
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
  connectDiagnostic_ = ChannelDiagnostic("command channel", ipAddress, commandPort_,
                                         CommandConnectCause(status, bounds_.connect));
  if (status.kind == TransportStatus::kCancelled)
    throw CommandCancelledError("Stopped while connecting to the instrument at " + ipAddress);
  std::string what = "Can't open the command connection to " + ipAddress + ": ";
  if (status.kind == TransportStatus::kTimedOut)
    throw CommandConnectError(what + "no answer within " + FormatBound(bounds_.connect));
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

}  // namespace instrument
