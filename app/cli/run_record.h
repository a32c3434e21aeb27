#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/unique_fd.h"
#include "upgrade/upload_watch.h"

// What a run wrote on the instrument and how long its phases took, gathered from the session's
// events: the upload under way (for a failure's diagnostic) always, at the cost of two copied
// names per file; with `keepLists` also every folder made, file sent (with its bytes, from its
// data connection) and configuration image programmed (for --report). It never watches lines.
class RunRecorder : public UploadWatch {
 public:
  explicit RunRecorder(bool keepLists) : keepLists_(keepLists) {}

  unsigned Watches() const override { return keepLists_ ? unsigned{kDataConnections} : 0u; }

  // Starts timing phase `name`; the phase before it ends here.
  void BeginPhase(std::string_view name);
  // Ends the last phase.
  void EndPhases();
  // The name of the phase under way ("" before the first).
  const std::string& PhaseName() const { return phase_; }

  // The phases in order with their durations in seconds.
  nlohmann::ordered_json PhasesJson() const;
  // The folders, MID folders, NAME files, files and configuration images written, and the
  // upload under way when the run stopped.
  nlohmann::ordered_json WrittenJson() const;

  void DataConnectionEnded(const ftp::DataConnectionRecord& record) override;
  void UploadStarted(const std::string& localPath, const std::string& remotePath) override;
  void UploadSource(const net::FileStamp& stamp) override;
  void UploadEnded(bool ok) override;

  // The files of the release as digested (by full path), against which each file sent is
  // compared; none: nothing is compared.
  void SetDigestedFiles(const std::map<std::string, net::FileStamp>* stamps) { digested_ = stamps; }
  // The first file sent that was not the file digested (changed, replaced or new since), if any.
  const std::string& ChangedAfterDigest() const { return changedAfterDigest_; }
  void FolderMade(const std::string& parent, const std::string& name) override;
  void FpgaConfigured(std::int16_t slot, std::int16_t index, const std::string& fileName,
                      std::int16_t result) override;

 private:
  struct Upload {
    std::string phase;
    std::string localPath;
    std::string remotePath;  // with the FTP current folder in front of a relative one
    std::uint64_t bytes = 0;
    bool ok = false;
  };
  struct Folder {
    std::string phase;
    std::string path;
  };
  struct Configuration {
    std::int16_t slot;
    std::int16_t index;
    std::string image;
    std::string path;
    std::uint64_t bytes;
    std::int16_t result;
  };
  struct Phase {
    std::string name;
    std::chrono::steady_clock::duration duration;
  };

  bool keepLists_;
  std::string phase_;
  std::chrono::steady_clock::time_point phaseStart_;
  std::vector<Phase> phases_;
  Upload upload_;  // the latest upload's phase, bytes and outcome
  std::vector<Upload> uploads_;
  std::vector<Folder> folders_;
  std::vector<Configuration> configurations_;
  const std::map<std::string, net::FileStamp>* digested_ = nullptr;
  std::string changedAfterDigest_;
};

// Writes `text` to `path` atomically: into a new file beside it with permissions `mode`, flushed
// to disk, then renamed over `path`. Raises std::runtime_error naming the path when that fails.
void WriteFileAtomically(const std::string& path, const std::string& text, mode_t mode);

// The process's umask as the kernel reports it (/proc/self/status), read without changing it,
// so any thread may ask; 077 when the kernel does not say.
mode_t ProcessUmask();

// Why no record may be written at `path`, looked at with lstat and never opened: "it is a
// symbolic link", "it is a FIFO", "it is a socket" or "it is a device"; nothing for a regular
// file, a folder or a path that does not exist.
std::optional<std::string> RefusedRecordPath(const std::string& path);

// Opens `path` for writing from its start, never blocking on it nor opening through a link at it;
// a new file gets 0666 less the umask. Raises std::runtime_error "refusing to write PATH: it is
// a ..." (a link, FIFO, socket or device, also one put there after a first look) or "cannot
// write PATH: CAUSE".
net::UniqueFd OpenRecordFile(const std::string& path);
