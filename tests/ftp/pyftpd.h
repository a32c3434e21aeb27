#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/ftp/child_process.h"

namespace testing_ftp {

// pyftpdlib serving `root` as user kestro on a free loopback port (the fixture script given by
// VX_PYFTPD_FIXTURE); stopped when it goes out of scope. Port() is 0 when it did not start.
class Pyftpd {
 public:
  explicit Pyftpd(const std::filesystem::path& root)
      : process_({::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3",
                  VX_PYFTPD_FIXTURE, root.string()}) {
    const std::string port = process_.ReadLine(20000);
    port_ = port.empty() ? 0 : std::stoi(port);
  }
  int Port() const { return port_; }

 private:
  ChildProcess process_;
  int port_ = 0;
};

}  // namespace testing_ftp
