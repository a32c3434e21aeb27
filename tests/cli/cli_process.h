#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "net/unique_fd.h"

namespace clitest {

// A program run as a child in a process group of its own, with standard input from the file
// `input` and standard output and error on pipes; the whole group is killed and reaped when the
// object goes out of scope. `environment` overrides the inherited variables (an empty value
// removes one).
class ChildRun {
 public:
  ChildRun(const std::vector<std::string>& argv,
           const std::map<std::string, std::string>& environment = {},
           const std::string& input = "/dev/null");
  ~ChildRun();
  ChildRun(const ChildRun&) = delete;
  ChildRun& operator=(const ChildRun&) = delete;

  // Reads output until `text` has appeared on standard output or error; false when it has not
  // within `bound`.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds bound);
  // Sends `signal` to the child.
  void Signal(int signal);
  // Reads all output and reaps the child; its exit code, or nothing when it did not end within
  // `bound` (it is then killed) or ended by a signal.
  std::optional<int> Wait(std::chrono::milliseconds bound);

  pid_t Pid() const { return pid_; }
  const std::string& Out() const { return out_; }
  const std::string& Err() const { return err_; }

 private:
  // Reads what is waiting on the two pipes, for at most `bound`; false once both are closed.
  bool Pump(std::chrono::milliseconds bound);
  void KillGroup();

  pid_t pid_ = -1;
  net::UniqueFd pidFd_;
  net::UniqueFd outPipe_;
  net::UniqueFd errPipe_;
  std::string out_;
  std::string err_;
};

}  // namespace clitest
