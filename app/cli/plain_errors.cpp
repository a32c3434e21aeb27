#include "app/cli/plain_errors.h"

#include "ftp/ftp_errors.h"
#include "instrument/connect_diagnosis.h"
#include "upgrade/upgrade_run.h"

namespace {

// `text`, followed by the platform's cause when the error has one.
std::string WithCause(std::string text, const ftp::ESockError& error) {
  if (error.ErrorNumber() != 0) text += ": " + instrument::CauseOfError(error.ErrorNumber());
  return text;
}

}  // namespace

std::string PlainErrorText(const std::exception& error) {
  const auto* socketError = dynamic_cast<const ftp::ESockError*>(&error);
  if (socketError == nullptr) return ShownErrorText(error.what());
  // The server said why: its words come first, the connection's failure beside them.
  if (!socketError->ServerReason().empty()) {
    const ftp::ESockError without(socketError->Kind(), error.what(), socketError->ErrorNumber());
    return socketError->ServerReason() + " (" + PlainErrorText(without) + ")";
  }
  using Kind = ftp::SockErrorKind;
  switch (socketError->Kind()) {
    case Kind::kAborted:
      return "stopped during an exchange with the instrument's FTP server";
    case Kind::kCanceled:
      return "stopped while an FTP connection to the instrument was being opened";
    case Kind::kPlatform:
      return WithCause("the FTP connection to the instrument failed", *socketError);
    case Kind::kConnectFailed:
      return WithCause("the FTP connection to the instrument could not be opened", *socketError);
    case Kind::kAcceptFailed:
      return WithCause("the instrument's FTP data connection could not be accepted", *socketError);
    case Kind::kNoSocket:
      return "the system gave no socket for the FTP connection";
    case Kind::kAlreadyConnected:
      return "the FTP connection to the instrument was open already";
    case Kind::kNullAddress:
    case Kind::kLookupFailed:
      return WithCause("the FTP server's address could not be found", *socketError);
    case Kind::kLookupTimedOut:
      return "the FTP server's address was not found in time";
    case Kind::kLookupCanceled:
      return "stopped while the FTP server's address was being looked up";
    case Kind::kTimedOut:
    case Kind::kStalled:
    case Kind::kMalformedReply:
    case Kind::kClosed:
      break;  // their texts say what did not come, with its figures
  }
  return ShownErrorText(error.what());
}
