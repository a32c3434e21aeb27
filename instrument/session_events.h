#pragma once

#include "ftp/ftp_client.h"

namespace instrument {

// What the session tells whoever runs it, as events that code tells apart by kind: a command
// connection that could not be opened, an instrument that is not a VX500, and the FTP client's
// notifications of an operation that failed or that the server does not support. How each is
// shown (a box, a line) is the front end's business.
class SessionEvents {
 public:
  virtual ~SessionEvents() = default;
  virtual void CannotConnect() = 0;
  virtual void NotAVX500() = 0;
  virtual void FtpOperationFailed(ftp::TCmdType operation) = 0;
  virtual void FtpOperationUnsupported(ftp::TCmdType operation) = 0;
};

}  // namespace instrument
