#pragma once

#include <string>

#include "instrument/session_events.h"
#include "instrument/tfrm_vx500.h"
#include "upgrade/upgrade_events.h"

// The text of the box for a failed FTP operation ("ChangeDir failed") or one the server does
// not support ("List not supported by this server"); empty for a kind that has no name.
std::string FtpFailureText(ftp::TCmdType operation, bool unsupported);

// Turns a session's events into the boxes the operator sees, for as long as it lives: it is
// the session's events receiver from construction to destruction.
class SessionEventsShown : public instrument::SessionEvents {
 public:
  SessionEventsShown(instrument::TfrmVX500& session, UpgradeEvents& events);
  ~SessionEventsShown() override;
  SessionEventsShown(const SessionEventsShown&) = delete;
  SessionEventsShown& operator=(const SessionEventsShown&) = delete;

  void CannotConnect() override;
  void NotAVX500() override;
  void FtpOperationFailed(ftp::TCmdType operation) override;
  void FtpOperationUnsupported(ftp::TCmdType operation) override;

 private:
  void ShowFtpFailure(ftp::TCmdType operation, bool unsupported);

  instrument::TfrmVX500& session_;
  UpgradeEvents& events_;
};
