#include "tests/ftp/script_peer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>

namespace testing_ftp {
namespace {

// Every wait of the peer is bounded, so a broken client fails the test instead of hanging it.
constexpr int kBoundMs = 10000;

}  // namespace

ScriptPeer::~ScriptPeer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    ++signals_;
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

ScriptPeer& ScriptPeer::Send(std::string bytes) {
  steps_.push_back({Step::kSend, std::move(bytes)});
  return *this;
}
ScriptPeer& ScriptPeer::Expect(std::string line) {
  steps_.push_back({Step::kExpect, std::move(line)});
  return *this;
}
ScriptPeer& ScriptPeer::WaitSignal() {
  steps_.push_back({Step::kWait, {}});
  return *this;
}
ScriptPeer& ScriptPeer::Close() {
  steps_.push_back({Step::kClose, {}});
  return *this;
}
ScriptPeer& ScriptPeer::ConnectData() {
  steps_.push_back({Step::kConnectData, {}});
  return *this;
}
ScriptPeer& ScriptPeer::Drip(std::string bytes) {
  steps_.push_back({Step::kDrip, std::move(bytes)});
  return *this;
}
ScriptPeer& ScriptPeer::Silent() {
  silent_ = true;
  return *this;
}

void ScriptPeer::Start() {
  thread_ = std::thread(&ScriptPeer::Run, this);
}

void ScriptPeer::Signal() {
  std::lock_guard lock(mutex_);
  ++signals_;
  cv_.notify_all();
}

std::vector<std::string> ScriptPeer::Finish() {
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mutex_);
  for (const auto& f : failures_) ADD_FAILURE() << f;
  failures_.clear();
  return lines_;
}

std::vector<std::string> ScriptPeer::Lines() {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> ScriptPeer::Data() {
  std::lock_guard lock(mutex_);
  return data_;
}

bool ScriptPeer::AwaitSignal(int& waited) {
  std::unique_lock lock(mutex_);
  ++waited;
  if (!cv_.wait_for(lock, std::chrono::milliseconds(kBoundMs),
                    [&] { return signals_ >= waited; })) {
    failures_.push_back("no signal from the test");
    return false;
  }
  return !stopping_;
}

bool ScriptPeer::ReceiveData() {
  std::string port;
  for (const auto& line : Lines())
    if (line.rfind("PORT ", 0) == 0) port = line.substr(5);
  unsigned h[4], p[2];
  if (std::sscanf(port.c_str(), "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &p[0], &p[1]) !=
      6) {
    Fail("no PORT line to connect to: \"" + port + "\"");
    return false;
  }
  const std::string target = std::to_string(h[0]) + "." + std::to_string(h[1]) + "." +
                             std::to_string(h[2]) + "." + std::to_string(h[3]);
  net::UniqueFd data = testsupport::ConnectFrom("127.0.0.1", target.c_str(), p[0] * 256 + p[1]);
  if (!data) {
    Fail("cannot open the data connection to " + port);
    return false;
  }
  std::string bytes = testsupport::ReadToEnd(data.Get());
  std::lock_guard lock(mutex_);
  data_.push_back(std::move(bytes));
  return true;
}

void ScriptPeer::Fail(const std::string& what) {
  std::lock_guard lock(mutex_);
  failures_.push_back(what);
}

bool ScriptPeer::ReadLine(std::string& line) {
  for (;;) {
    auto lf = input_.find('\n');
    if (lf != std::string::npos) {
      line = input_.substr(0, lf);
      input_.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
      return true;
    }
    pollfd p{conn_.Get(), POLLIN, 0};
    if (::poll(&p, 1, kBoundMs) <= 0) return false;
    char buf[4096];
    ssize_t n = ::recv(conn_.Get(), buf, sizeof buf, 0);
    if (n <= 0) return false;
    input_.append(buf, static_cast<std::size_t>(n));
  }
}

void ScriptPeer::Run() {
  conn_ = listener_.Accept();
  if (!conn_) return Fail("no client connected");
  int waited = 0;
  for (const auto& step : steps_) {
    switch (step.kind) {
      case Step::kSend:
        if (::send(conn_.Get(), step.text.data(), step.text.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(step.text.size()))
          return Fail("send failed: " + step.text);
        break;
      case Step::kExpect: {
        std::string line;
        if (!ReadLine(line)) return Fail("expected \"" + step.text + "\", got nothing");
        if (!step.text.empty() && line != step.text)
          return Fail("expected \"" + step.text + "\", got \"" + line + "\"");
        break;
      }
      case Step::kWait:
        if (!AwaitSignal(waited)) return;
        break;
      case Step::kClose:
        conn_.Reset();
        return;
      case Step::kConnectData:
        if (!ReceiveData()) return;
        break;
      case Step::kDrip:
        while (AwaitSignal(waited) &&
               ::send(conn_.Get(), step.text.data(), step.text.size(), MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(step.text.size())) {
        }
        return;
    }
  }
  std::string line;
  while (ReadLine(line)) {
    if (silent_) continue;
    bool quit = line.rfind("QUIT", 0) == 0;
    std::string reply = quit ? "221 Goodbye.\r\n" : "200 OK\r\n";
    ::send(conn_.Get(), reply.data(), reply.size(), MSG_NOSIGNAL);
    if (quit) break;
  }
  conn_.Reset();
}

}  // namespace testing_ftp
