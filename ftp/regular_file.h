#pragma once

#include <string>

#include "net/unique_fd.h"

namespace ftp {

// Opens a local regular file for reading; raises EFOpenError ("Cannot open file <path>") for a
// missing file, a folder, a FIFO or a device.
net::UniqueFd OpenRegularFile(const std::string& path);

}  // namespace ftp
