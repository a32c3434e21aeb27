#include "app/cli/run_record.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "net/unique_fd.h"

namespace {

double Seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

// What a record must never be written into, by its lstat mode.
std::optional<std::string> RefusedKind(mode_t mode) {
  if (S_ISLNK(mode)) return "it is a symbolic link";
  if (S_ISFIFO(mode)) return "it is a FIFO";
  if (S_ISSOCK(mode)) return "it is a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device";
  return std::nullopt;
}

[[noreturn]] void RefuseRecord(const std::string& path, const std::string& why) {
  throw std::runtime_error("refusing to write " + path + ": " + why);
}

[[noreturn]] void CannotWriteRecord(const std::string& path, int error) {
  throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
}

}  // namespace

void RunRecorder::BeginPhase(std::string_view name) {
  EndPhases();
  phase_ = name;
  phaseStart_ = std::chrono::steady_clock::now();
}

void RunRecorder::EndPhases() {
  if (phase_.empty()) return;
  phases_.push_back({phase_, std::chrono::steady_clock::now() - phaseStart_});
  phase_.clear();
}

nlohmann::ordered_json RunRecorder::PhasesJson() const {
  nlohmann::ordered_json phases = nlohmann::ordered_json::array();
  for (const Phase& phase : phases_) {
    phases.push_back({{"phase", phase.name}, {"seconds", Seconds(phase.duration)}});
  }
  return phases;
}

nlohmann::ordered_json RunRecorder::WrittenJson() const {
  using Json = nlohmann::ordered_json;
  Json midFolders = Json::array(), nameFiles = Json::array(), folders = Json::array(),
       files = Json::array(), images = Json::array();
  for (const Folder& folder : folders_) {
    (folder.phase == "midFolders" ? midFolders : folders).push_back(folder.path);
  }
  for (const Upload& upload : uploads_) {
    Json file = {{"local", upload.localPath}, {"path", upload.remotePath}, {"bytes", upload.bytes}};
    if (!upload.ok) file["failed"] = true;
    if (upload.phase == "midFolders") {
      file.erase("local");  // a temporary file, removed after the upload
      nameFiles.push_back(file);
    } else if (upload.phase != "configRoms") {
      files.push_back(file);
    }
  }
  for (const Configuration& configuration : configurations_) {
    images.push_back({{"slot", configuration.slot},
                      {"index", configuration.index},
                      {"image", configuration.image},
                      {"path", configuration.path},
                      {"bytes", configuration.bytes},
                      {"result", configuration.result}});
  }
  Json written = {{"midFolders", midFolders},
                  {"nameFiles", nameFiles},
                  {"folders", folders},
                  {"files", files},
                  {"configImages", images}};
  if (Uploading()) {
    written["uploadUnderway"] = {{"local", UploadLocalPath()}, {"path", UploadRemotePath()}};
  }
  return written;
}

void RunRecorder::DataConnectionEnded(const ftp::DataConnectionRecord& record) {
  if (Uploading()) upload_.bytes = record.bytes;
}

void RunRecorder::UploadStarted(const std::string& localPath, const std::string& remotePath) {
  UploadWatch::UploadStarted(localPath, remotePath);
  // Assigned into the string of the upload before, so a file costs no allocation here.
  if (keepLists_) upload_.phase = phase_;
  upload_.bytes = 0;
  upload_.ok = false;
}

void RunRecorder::UploadSource(const net::FileStamp& stamp) {
  if (!digested_ || !changedAfterDigest_.empty()) return;
  const auto found = digested_->find(UploadLocalPath());
  if (found == digested_->end() || found->second != stamp) changedAfterDigest_ = UploadLocalPath();
}

void RunRecorder::UploadEnded(bool ok) {
  UploadWatch::UploadEnded(ok);
  upload_.ok = ok;
  if (!keepLists_) return;
  upload_.localPath = UploadLocalPath();
  upload_.remotePath = UploadRemotePath();
  uploads_.push_back(upload_);
}

void RunRecorder::FolderMade(const std::string& parent, const std::string& name) {
  if (keepLists_) folders_.push_back({phase_, JoinInstrumentPath(parent, name)});
}

void RunRecorder::FpgaConfigured(std::int16_t slot, std::int16_t index, const std::string& fileName,
                                 std::int16_t result) {
  if (!keepLists_) return;
  // The image was the upload just before its configuration.
  const bool sent = !uploads_.empty() && uploads_.back().phase == "configRoms";
  configurations_.push_back({slot, index, fileName,
                             sent ? uploads_.back().remotePath : "N0:" + fileName,
                             sent ? uploads_.back().bytes : 0, result});
}

void WriteFileAtomically(const std::string& path, const std::string& text, mode_t mode) {
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string temporary =
      (slash == std::string::npos ? std::string() : folder) + ".vxupgrade-report-XXXXXX";
  net::UniqueFd file(::mkstemp(temporary.data()));
  const bool created = static_cast<bool>(file);
  auto fail = [&](const char* what) {
    const int error = errno;
    if (created) ::unlink(temporary.c_str());
    throw std::runtime_error("Cannot " + std::string(what) + " the report " + path + ": " +
                             std::strerror(error));
  };
  if (!created) fail("create");
  // mkstemp makes the file 0600 whatever the umask.
  if (::fchmod(file.Get(), mode) != 0) fail("write");
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(file.Get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("write");
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(file.Get()) != 0) fail("write");
  if (file.Reset() != 0) fail("write");
  if (::rename(temporary.c_str(), path.c_str()) != 0) fail("write");
}

mode_t ProcessUmask() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Umask:")) {
      return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    }
  }
  return 077;
}

std::optional<std::string> RefusedRecordPath(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return RefusedKind(info.st_mode);
}

net::UniqueFd OpenRecordFile(const std::string& path) {
  // The first look keeps a FIFO or a device from being opened at all; the open's flags and the
  // look at what was opened refuse one that took the path's place in between.
  if (const auto why = RefusedRecordPath(path)) RefuseRecord(path, *why);
  net::UniqueFd file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
  if (!file && errno == ELOOP) RefuseRecord(path, "it is a symbolic link");
  if (!file) CannotWriteRecord(path, errno);
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) CannotWriteRecord(path, errno);
  if (!S_ISREG(info.st_mode))
    RefuseRecord(path, RefusedKind(info.st_mode).value_or("it is not a file"));
  if (::ftruncate(file.Get(), 0) != 0) CannotWriteRecord(path, errno);
  const int flags = ::fcntl(file.Get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    CannotWriteRecord(path, errno);
  }
  return file;
}
