#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "net/unique_fd.h"

namespace sim {

// A file an FTP store is writing: it is written under a temporary name in the folder of its
// target and takes the target's place only when kept, so until then the target stays as it
// was and a store that is given up leaves nothing behind.
class StoreFile {
 public:
  // Creates the temporary file beside `target` (a local path, links already followed);
  // Valid() tells whether that worked.
  explicit StoreFile(std::filesystem::path target);
  // Removes the temporary file unless it was kept.
  ~StoreFile() { Discard(); }
  StoreFile(const StoreFile&) = delete;
  StoreFile& operator=(const StoreFile&) = delete;

  bool Valid() const { return fd_.Valid(); }
  // Appends all of `data`; false when the file system refused.
  bool Write(const char* data, std::uint64_t size);
  // Puts what was written in the target's place; false when that failed (nothing is left).
  bool Keep();
  // Removes what was written; the target stays as it was.
  void Discard();

  // True for the name of a temporary file of a store in progress.
  static bool IsTemporaryName(std::string_view name);

 private:
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  net::UniqueFd fd_;
};

}  // namespace sim
