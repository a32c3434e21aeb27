#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "net/unique_fd.h"

namespace testing_ftp {

// A child process with its standard output on a pipe; killed and reaped when it goes out of scope.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running() const { return pid_ > 0; }
  // One line of the child's output, without its line end; empty when none came within `ms`.
  std::string ReadLine(int ms);
  // Sends `signal` and reaps the child.
  void Kill(int signal);

 private:
  pid_t pid_ = -1;
  net::UniqueFd out_;
  std::string buffer_;
};

}  // namespace testing_ftp
