#include "ftp/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "ftp/ftp_errors.h"

namespace ftp {

net::UniqueFd OpenRegularFile(const std::string& path) {
  // Non-blocking, so that opening a FIFO cannot hang; anything but a regular file is refused.
  net::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info {};
  if (!file || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) throw EFOpenError(path);
  return file;
}

}  // namespace ftp
