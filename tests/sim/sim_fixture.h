#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "net/deadline.h"
#include "net/unique_fd.h"
#include "net/wait.h"

#include "sim/command_server.h"
#include "sim/drive.h"
#include "sim/ftp_scenario.h"
#include "sim/ftp_server.h"
#include "sim/scenario.h"
#include "sim/transcript.h"

namespace simtest {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vxsim-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes `bytes` into the file at `path`, making its folders.
inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// The entries directly in a folder, each with the contents of a file or "(not a file)".
using FolderContents = std::set<std::pair<std::string, std::string>>;

inline FolderContents Contents(const std::filesystem::path& folder) {
  FolderContents out;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (!entry.is_regular_file()) {
      out.emplace(entry.path().filename().string(), "(not a file)");
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    out.emplace(entry.path().filename().string(), bytes);
  }
  return out;
}

// The port of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)." reply.
inline int PassivePort(const std::string& reply) {
  size_t open = reply.find('(');
  int h[6] = {};
  std::sscanf(reply.c_str() + open + 1, "%d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3], &h[4],
              &h[5]);
  return h[4] * 256 + h[5];
}

// A scenario from its JSON text.
inline sim::Scenario ScenarioFromText(const std::string& json) {
  return sim::ScenarioFromJson(nlohmann::json::parse(json));
}

// A client of a port on 127.0.0.1 that speaks lines; every wait is bounded by `bound`.
class LineClient {
 public:
  // Connects at once; a `receiveBuffer` above 0 makes the socket's receive buffer that small.
  explicit LineClient(int port, int receiveBuffer = 0) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (receiveBuffer > 0)
      ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("cannot connect to port " + std::to_string(port));
  }
  int Fd() const { return fd_.Get(); }
  void Send(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
  }
  // The next line without its LF or CR LF; "(closed)" when the server closed the connection
  // first, "(silent)" when nothing came within `bound`.
  std::string ReadLine() {
    for (;;) {
      size_t lf = input_.find('\n');
      if (lf != std::string::npos) {
        std::string line = input_.substr(0, lf);
        input_.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      if (!Read()) return closed_ ? "(closed)" : "(silent)";
    }
  }
  // Sends what the socket takes without waiting; the number of bytes taken.
  size_t SendWhatFits(std::string_view bytes) {
    size_t taken = 0;
    for (;;) {
      ssize_t n = ::send(fd_.Get(), bytes.data() + taken, bytes.size() - taken,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) return taken;
      taken += static_cast<size_t>(n);
    }
  }
  // True when the server ends the connection with a reset (or an end of file reached) within
  // `bound`, reading nothing of what it sent.
  bool WaitHangUp() {
    net::WaitOptions options;
    options.deadline = net::Deadline::After(bound);
    return net::WaitFd(fd_.Get(), POLLRDHUP, options) != net::WaitResult::kTimedOut;
  }
  // True when the server closes the connection (an end of file or a reset) within `bound`;
  // what it sends before is read and dropped.
  bool WaitClosed() {
    while (Read()) input_.clear();
    return closed_;
  }

  std::chrono::milliseconds bound = std::chrono::seconds(20);

 private:
  // Reads what arrives within the bound; false at the end of either.
  bool Read() {
    net::WaitOptions options;
    options.deadline = net::Deadline::After(bound);
    if (net::WaitFd(fd_.Get(), POLLIN, options) == net::WaitResult::kTimedOut) return false;
    char buffer[4096];
    ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    input_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  net::UniqueFd fd_;
  std::string input_;
  bool closed_ = false;
};

// The simulated instrument in-process: its drives in a temporary root, its command server and
// its FTP server (with the scenario's "ftp" behaviour) on ephemeral loopback ports.
class SimInstrument {
 public:
  explicit SimInstrument(sim::Scenario scenario = {}, sim::ConnectionLimits limits = {})
      : drive_(root_.Path()) {
    drive_.Prepare(scenario.systemFolder);
    sim::FtpBehaviour ftpBehaviour;
    if (scenario.raw.contains("ftp")) ftpBehaviour = sim::ParseFtpBehaviour(scenario.raw["ftp"]);
    const sim::DriveCapacity capacity = scenario.FlashCapacity();
    sim::CommandServerOptions options;
    options.port = 0;
    options.limits = limits;
    server_ =
        std::make_unique<sim::CommandServer>(drive_, transcript_, std::move(scenario), options);
    ftpServer_ =
        std::make_unique<sim::FtpServer>(drive_, transcript_, "127.0.0.1", 0, ftpBehaviour, limits,
                                         capacity);
    ftpServer_->Start();
  }
  const std::filesystem::path& Root() const { return root_.Path(); }
  int Port() const { return server_->Port(); }
  int FtpPort() const { return ftpServer_->Port(); }
  std::vector<std::string> FtpLines() const {
    return transcript_.Lines(sim::Transcript::Channel::kFtp);
  }
  sim::Transcript& Transcript() { return transcript_; }
  std::vector<std::string> CommandLines() const {
    return transcript_.Lines(sim::Transcript::Channel::kCommand);
  }
  sim::CommandServer& Server() { return *server_; }
  // Lets every reply that a "hold" holds go out, on both servers.
  void Release() {
    server_->Release();
    ftpServer_->Release();
  }

 private:
  TempDir root_;
  sim::Drive drive_;
  sim::Transcript transcript_;
  std::unique_ptr<sim::CommandServer> server_;
  std::unique_ptr<sim::FtpServer> ftpServer_;
};

}  // namespace simtest
