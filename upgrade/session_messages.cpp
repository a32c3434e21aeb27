#include "upgrade/session_messages.h"

#include <iterator>

namespace {

constexpr char kCannotConnect[] = "Can't connect VX500.\n\nPlease check IP address.";
constexpr char kNotVX500[] = "This instrument is not a VX500.\n\nCan not continue.";

// The operation names of the FTP notifications, by command kind.
constexpr const char* kFtpOperations[] = {
    "ChangeDir",     "MakeDir",         "Delete",    "RemoveDir", "List",         "Rename",
    "UploadRestore", "DownloadRestore", "Download",  "Upload",    "UploadAppend", "Reinitialize",
    "Allocate",      "NList",           "DoCommand", "CurrentDir"};

}  // namespace

std::string FtpFailureText(ftp::TCmdType operation, bool unsupported) {
  const int k = static_cast<int>(operation);
  if (k < 0 || k >= static_cast<int>(std::size(kFtpOperations))) return {};
  return std::string(kFtpOperations[k]) + (unsupported ? " not supported by this server" : " failed");
}

SessionEventsShown::SessionEventsShown(instrument::TfrmVX500& session, UpgradeEvents& events)
    : session_(session), events_(events) {
  session_.SetEvents(this);
}

SessionEventsShown::~SessionEventsShown() {
  session_.SetEvents(nullptr);
}

void SessionEventsShown::CannotConnect() {
  events_.ShowMessage(kCannotConnect, kUpgradeCaption, kMbIconError);
}

void SessionEventsShown::NotAVX500() {
  events_.ShowMessage(kNotVX500, kUpgradeCaption, kMbIconError);
}

void SessionEventsShown::FtpOperationFailed(ftp::TCmdType operation) {
  ShowFtpFailure(operation, false);
}

void SessionEventsShown::FtpOperationUnsupported(ftp::TCmdType operation) {
  ShowFtpFailure(operation, true);
}

void SessionEventsShown::ShowFtpFailure(ftp::TCmdType operation, bool unsupported) {
  const std::string text = FtpFailureText(operation, unsupported);
  if (!text.empty()) events_.FtpFailure(text);
}
