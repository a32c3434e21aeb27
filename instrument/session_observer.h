#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/ftp_observer.h"
#include "net/file_stamp.h"

namespace instrument {

// Watches one instrument session: the lines of its command channel, those of its FTP client
// (through ftp::FtpObserver) and what it writes on the instrument. A front end installs one to
// trace a run or to record it; without one the session does no work for it, and the lines of
// the command channel, like those of the FTP client, reach only an observer that watches kLines.
class SessionObserver : public ftp::FtpObserver {
 public:
  // The command connection to `peer` ("address:port") is open. Watched with kLines.
  virtual void CommandConnected(const std::string& peer) { (void)peer; }
  // A command line as written, line feed included. Watched with kLines.
  virtual void CommandSent(std::string_view line) { (void)line; }
  // A reply line as read (line feed included unless the peer closed first). Watched with kLines.
  virtual void ReplyReceived(std::string_view line) { (void)line; }
  // An upload of `localPath` to `remotePath` (as handed to the FTP client) begins.
  virtual void UploadStarted(const std::string& localPath, const std::string& remotePath) {
    (void)localPath, (void)remotePath;
  }
  // The file of that upload, sent from an open descriptor, as it was when the upload began.
  virtual void UploadSource(const net::FileStamp& stamp) { (void)stamp; }
  // That upload returned: `ok` as the FTP notifications reported it (its data connection has
  // been reported before). An upload that raised an error does not end here.
  virtual void UploadEnded(bool ok) { (void)ok; }
  // Folder `name` was made inside `parent` on the instrument.
  virtual void FolderMade(const std::string& parent, const std::string& name) {
    (void)parent, (void)name;
  }
  // The FPGA of `slot` was configured with image `fileName` at `index`; `result` is the
  // instrument's error number (0 = configured, -1 = the slot was not selected).
  virtual void FpgaConfigured(std::int16_t slot, std::int16_t index, const std::string& fileName,
                              std::int16_t result) {
    (void)slot, (void)index, (void)fileName, (void)result;
  }
};

}  // namespace instrument
