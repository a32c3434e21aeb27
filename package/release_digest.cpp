#include "package/release_digest.h"

#include <nettle/sha2.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "net/text.h"
#include "package/module_list.h"
#include "package/tree_upload.h"
#include "package/tree_walk.h"

namespace package {
namespace {

[[noreturn]] void ThrowReadError(const std::string& path, int error) {
  throw LocalFsError("Cannot read " + net::PrintableText(path) + ": " + std::strerror(error));
}

// Reads all of `fd` into the digest, asking `stop` between blocks: one large file may take
// minutes to read.
void HashFile(sha256_ctx& context, int fd, const std::string& path,
              const std::function<bool()>& stop) {
  std::array<std::uint8_t, 1 << 16> block;
  for (;;) {
    StopIfAsked(stop);
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowReadError(path, errno);
    if (n == 0) break;
    sha256_update(&context, static_cast<std::size_t>(n), block.data());
  }
}

void HashText(sha256_ctx& context, const std::string& text) {
  sha256_update(&context, text.size() + 1, reinterpret_cast<const std::uint8_t*>(text.c_str()));
}

// Lists every file a walk meets by its full path.
struct FileLister : ReadingVisitor {
  explicit FileLister(std::vector<std::string>& listed) : files(listed) {}
  bool File(const ReleaseEntry&, const LocalEntry&, const std::string& full) {
    files.push_back(full);
    return true;
  }
  std::vector<std::string>& files;
};

}  // namespace

ReleaseDigest DigestRelease(const ReleaseRoot& release, const std::function<bool()>& stop) {
  const std::string& appDir = release.AppDir();
  std::vector<std::string> files;
  FileLister lister(files);
  for (std::string_view tree : {kMainFrameFolder, kTargetFolder}) {
    TreeVisits visits(stop);
    WalkTree(release, PackagePath(appDir, {tree}), visits, lister);
  }
  if (const auto manifest = release.Find(release.Root(), kManifestName, appDir)) {
    files.push_back(JoinLocalPath(appDir, *manifest));
  }
  std::vector<std::pair<std::string, std::string>> relative;  // relative path, full path
  for (std::string& full : files) {
    relative.emplace_back(full.substr(std::min(appDir.size(), full.size())), std::move(full));
  }
  std::sort(relative.begin(), relative.end());

  ReleaseDigest digest;
  sha256_ctx context;
  sha256_init(&context);
  for (const auto& [path, full] : relative) {
    StopIfAsked(stop);
    const auto opened = release.Open(full);
    if (!opened || opened->Kind() != EntryKind::kFile) ThrowReadError(full, ENOENT);
    const net::UniqueFd file = OpenForReading(*opened, full);
    const auto before = net::StampOfFd(file.Get());
    if (!before) ThrowReadError(full, errno);
    HashText(context, path);
    HashText(context, std::to_string(before->size));
    HashFile(context, file.Get(), full, stop);
    // A file that changed while it was read gets no stamp: whatever is sent of it later is
    // not what the digest holds.
    if (net::StampOfFd(file.Get()) == before) digest.stamps.emplace(full, *before);
    ++digest.files;
    digest.bytes += before->size;
  }
  std::array<std::uint8_t, SHA256_DIGEST_SIZE> sum;
  sha256_digest(&context, sum.size(), sum.data());
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::uint8_t byte : sum) {
    digest.sha256.push_back(kHex[byte >> 4]);
    digest.sha256.push_back(kHex[byte & 15]);
  }
  return digest;
}

}  // namespace package
