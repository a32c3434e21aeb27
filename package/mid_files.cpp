#include "package/mid_files.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "net/unique_fd.h"
#include "package/tree_upload.h"

namespace package {
namespace {

// A NAME file written into the temporary folder under a unique name, removed when it goes out
// of scope (also when the upload raises).
class TemporaryNameFile {
 public:
  // The file holding `name` and CR LF; nothing when it cannot be made or written.
  static std::optional<TemporaryNameFile> Create(const std::string& name) {
    std::string path = TemporaryFolder() + "/NAME-XXXXXX";
    net::UniqueFd fd(::mkstemp(path.data()));
    if (!fd) return std::nullopt;
    TemporaryNameFile file(path);
    // The instrument keeps the file as it arrives, so the line end is CR LF everywhere.
    const std::string content = name + "\r\n";  // NameFileBytes counts these bytes
    if (!WriteAll(fd.Get(), content) || fd.Reset() != 0) return std::nullopt;
    return file;
  }
  TemporaryNameFile(TemporaryNameFile&& other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
  }
  TemporaryNameFile& operator=(TemporaryNameFile&&) = delete;
  ~TemporaryNameFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& Path() const { return path_; }

 private:
  explicit TemporaryNameFile(std::string path) : path_(std::move(path)) {}

  static bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  std::string path_;
};

}  // namespace

std::string MidFolderPath(const tModuleList& module) {
  return std::string(kSystemFolder) + "/MID" + std::to_string(module.id);
}

std::int64_t NameFileBytes(const tModuleList& module) {
  return static_cast<std::int64_t>(module.name.size()) + 2;
}

std::string TemporaryFolder() {
  for (const char* variable : {"TEMP", "TMP", "TMPDIR"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "/tmp";
}

bool MakeMIDFiles(const PackageContext& context) {
  // A program started from the wrong folder finds no modules; it must not go on to report a
  // successful upgrade with nothing installed.
  if (context.moduleList.empty()) {
    throw PackageError(NoModulesText(context.release.AppDir()));
  }
  for (const tModuleList& module : context.moduleList) RequireModuleName(module.name);

  instrument::TfrmVX500& session = context.session;
  session.SetTransferType(1);
  const std::string system(kSystemFolder);
  for (const tModuleList& module : context.moduleList) {
    const std::string moduleFolder = MidFolderPath(module);
    const std::string folder = moduleFolder.substr(system.size() + 1);
    if (!session.RemoteDirExists(system, folder)) {
      if (!session.MakeRemoteDir(system, folder)) return false;
      if (context.written) ++context.written->midFolders;
    }
    if (session.CatalogContains(moduleFolder, "NAME")) continue;
    const auto nameFile = TemporaryNameFile::Create(module.name);
    if (!nameFile) {
      context.view.AddLogLine("*** ERROR ***");
      context.view.AddLogLine(kNameFileError);
      context.unwrittenNameFiles.push_back(module.name);
      continue;
    }
    // The outcome is not judged here: a refused store has been reported and raised by the
    // FTP client already.
    if (context.written) ++context.written->nameFiles;
    const std::string remote = moduleFolder + "/NAME";
    if (session.UploadFile(nameFile->Path(), remote)) context.Sent(remote, NameFileBytes(module));
  }
  return true;
}

}  // namespace package
