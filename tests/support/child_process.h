#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "net/unique_fd.h"

namespace testsupport {

// The size of a pseudo-terminal.
struct TerminalSize {
  unsigned short columns = 80;
  unsigned short rows = 24;
};

// What a child process is given besides its arguments.
struct ChildOptions {
  // Variables that override the inherited ones; an empty value removes one.
  std::map<std::string, std::string> environment = {};
  // The file standard input reads.
  std::string input = "/dev/null";
  // A file that takes standard error instead of the pipe behind Err().
  std::string errorFile = {};
  // Standard error stays the test's own instead: for a server whose output nobody reads while
  // the test runs, where a full pipe would stall it.
  bool inheritErrors = false;
  // The child runs in a session of its own with a new pseudo-terminal of this size as its
  // controlling terminal and its standard input, output and error (`input` and `errorFile` are
  // then unused): Out() holds all it wrote there, as the terminal received it.
  std::optional<TerminalSize> terminal = std::nullopt;
};

// A program run as a child in a process group of its own, with the default signal handling,
// standard input from a file and standard output (and error) on pipes; the whole group is
// killed and reaped when the object goes out of scope.
class ChildProcess {
 public:
  // Raises std::runtime_error when the program cannot be started.
  explicit ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Everything read so far from standard output and standard error.
  const std::string& Out() const { return out_; }
  const std::string& Err() const { return err_; }

  // The next line of standard output, without its line end; empty when no whole line came
  // within `bound`.
  std::string ReadLine(std::chrono::milliseconds bound);
  // Reads output until `text` has appeared on standard output or error; false when it has not
  // within `bound`.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds bound);
  // True once the child catches `signal` (its handler is installed), false after `bound`: a
  // program that says nothing when it has started is known ready by its signal mask.
  bool WaitCatches(int signal, std::chrono::milliseconds bound) const;
  // A figure of /proc/PID/status in KiB, such as "VmHWM:" (the peak resident memory); -1 when
  // there is none.
  long StatusKiB(const std::string& key) const;

  // Types `text` on the child's terminal (ChildOptions::terminal).
  void Type(const std::string& text);
  // Resizes the child's terminal; the kernel sends its session SIGWINCH.
  void ResizeTerminal(TerminalSize size);

  // Sends `signal` to the child.
  void Signal(int signal);
  // Reads all output and reaps the child; its exit code, or nothing when it did not end within
  // `bound` (it is then killed) or ended by a signal.
  std::optional<int> Wait(std::chrono::milliseconds bound);
  // Sends `signal`, then waits as Wait does.
  std::optional<int> Stop(int signal, std::chrono::milliseconds bound);

 private:
  // Reads what is waiting on the pipes, for at most `bound`; false once all are closed.
  bool Pump(std::chrono::milliseconds bound);
  // The value of `key` in /proc/PID/status; empty when there is none.
  std::string StatusField(const std::string& key) const;
  void KillGroup();

  pid_t pid_ = -1;
  net::UniqueFd pidFd_;
  net::UniqueFd outPipe_;
  net::UniqueFd errPipe_;
  std::string out_;
  std::string err_;
  std::size_t lineStart_ = 0;  // where the next ReadLine begins in out_
};

// A server run as a child process that prints the port it listens on as its first line.
class PortServer {
 public:
  // Port() is 0 when no port was printed within twenty seconds.
  explicit PortServer(const std::vector<std::string>& argv);
  int Port() const { return port_; }
  ChildProcess& Process() { return process_; }

 private:
  ChildProcess process_;
  int port_ = 0;
};

// pyftpdlib serving `root` as user kestro on a free loopback port (the fixture script beside
// this file); stopped when it goes out of scope.
class Pyftpd : public PortServer {
 public:
  explicit Pyftpd(const std::filesystem::path& root);
};

// Runs scripts/make_release.sh OUT PROGRAM quietly; its exit code, or -1 when it did not end.
int MakeSampleRelease(const std::string& out, const std::string& program);

}  // namespace testsupport
