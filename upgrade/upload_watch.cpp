#include "upgrade/upload_watch.h"

std::string JoinInstrumentPath(const std::string& parent, const std::string& name) {
  if (parent.empty()) return name;
  const char last = parent.back();
  return last == '/' || last == ':' ? parent + name : parent + "/" + name;
}

std::optional<std::string> UploadWatch::UploadInProgress() const {
  if (!uploading_) return std::nullopt;
  return localPath_ + " to " + remotePath_;
}

void UploadWatch::UploadStarted(const std::string& localPath, const std::string& remotePath) {
  uploading_ = true;
  // Assigned into the strings of the upload before, so a file costs no allocation here.
  localPath_ = localPath;
  if (remotePath.starts_with('/')) {
    remotePath_ = remotePath;
  } else {
    remotePath_ = JoinInstrumentPath(ftpFolder_, remotePath);
  }
}

void UploadWatch::UploadEnded(bool) {
  uploading_ = false;
}
