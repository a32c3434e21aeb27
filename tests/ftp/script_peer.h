#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/unique_fd.h"
#include "tests/support/loopback.h"

namespace testing_ftp {

// A TCP peer on 127.0.0.1 that accepts one connection and plays a script: send bytes, expect a
// line, wait for a signal from the test, open the data connection that the last PORT line named,
// close. When the script ends it keeps answering: "221" and a close for QUIT, "200 OK" for any
// other line. Every line it receives is recorded.
class ScriptPeer {
 public:
  ~ScriptPeer();

  int Port() const { return listener_.Port(); }

  ScriptPeer& Send(std::string bytes);
  // Receives one line and checks it (an empty `line` accepts any).
  ScriptPeer& Expect(std::string line);
  // Waits until the test calls Signal().
  ScriptPeer& WaitSignal();
  // Closes the connection; the script ends there.
  ScriptPeer& Close();
  // Connects from 127.0.0.1 to the address and port of the last PORT line received and reads
  // until the client closes; Data() gives what arrived.
  ScriptPeer& ConnectData();
  // From here on sends `bytes` each time the test calls Signal(), until the connection breaks
  // or the peer is destroyed; the script ends there.
  ScriptPeer& Drip(std::string bytes);
  // Stops answering after the script: lines are recorded, nothing is sent.
  ScriptPeer& Silent();

  void Start();
  void Signal();
  // Waits for the script to end (the client closed, or Close) and gives every received line.
  std::vector<std::string> Finish();
  // The lines received so far.
  std::vector<std::string> Lines();
  // The bytes each data connection delivered, one entry per ConnectData step.
  std::vector<std::string> Data();

 private:
  struct Step {
    enum Kind { kSend, kExpect, kWait, kClose, kConnectData, kDrip } kind;
    std::string text;
  };
  void Run();
  bool ReadLine(std::string& line);
  void Fail(const std::string& what);
  // Waits for the test's next signal; false when the peer is being destroyed or none came.
  bool AwaitSignal(int& waited);
  bool ReceiveData();

  testsupport::Listener listener_;
  net::UniqueFd conn_;
  std::vector<Step> steps_;
  bool silent_ = false;
  std::string input_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int signals_ = 0;
  bool stopping_ = false;
  std::vector<std::string> data_;
  std::vector<std::string> lines_;
  std::vector<std::string> failures_;
};

}  // namespace testing_ftp
