#include "sim/store_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

namespace sim {
namespace {

constexpr std::string_view kTemporaryPrefix = ".vx500-sim-store-";

}  // namespace

StoreFile::StoreFile(std::filesystem::path target) : target_(std::move(target)) {
  std::string pattern = (target_.parent_path() / kTemporaryPrefix).string() + "XXXXXX";
  fd_.Reset(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd_) return;
  temporary_ = pattern;
  // mkostemp makes the file private; a stored file is readable as any other.
  ::fchmod(fd_.Get(), 0644);
}

bool StoreFile::Write(const char* data, std::uint64_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd_.Get(), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::uint64_t>(n);
  }
  return true;
}

bool StoreFile::Keep() {
  if (temporary_.empty()) return false;
  fd_.Reset();
  if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
    Discard();
    return false;
  }
  temporary_.clear();
  return true;
}

void StoreFile::Discard() {
  fd_.Reset();
  if (temporary_.empty()) return;
  std::error_code ec;
  std::filesystem::remove(temporary_, ec);
  temporary_.clear();
}

bool StoreFile::IsTemporaryName(std::string_view name) {
  return name.starts_with(kTemporaryPrefix);
}

}  // namespace sim
