#pragma once

#include <optional>
#include <string>

#include "instrument/session_observer.h"

// "/F0:/SYSTEM" + "MID1" as the instrument names it; a parent ending in "/" or ":" takes the
// name directly ("N0:" + "a.rpd" is "N0:a.rpd").
std::string JoinInstrumentPath(const std::string& parent, const std::string& name);

// Watches a session's uploads for the upload under way, which a front end names when an error
// or a stop ends the run in the middle of it. It watches no lines.
class UploadWatch : public instrument::SessionObserver {
 public:
  unsigned Watches() const override { return 0; }

  // The upload under way, as "LOCAL to INSTRUMENT_PATH", while one has begun and not returned
  // (so also after it raised an error).
  std::optional<std::string> UploadInProgress() const;

  void FolderChanged(const std::string& folder) override { ftpFolder_ = folder; }
  void UploadStarted(const std::string& localPath, const std::string& remotePath) override;
  void UploadEnded(bool ok) override;

 protected:
  bool Uploading() const { return uploading_; }
  // The file of the latest upload, and its instrument path with the FTP client's current folder
  // in front of a relative one.
  const std::string& UploadLocalPath() const { return localPath_; }
  const std::string& UploadRemotePath() const { return remotePath_; }

 private:
  // The FTP client's current folder, as the latest accepted CWD set it.
  std::string ftpFolder_;
  bool uploading_ = false;
  std::string localPath_;
  std::string remotePath_;
};
