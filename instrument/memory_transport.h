#pragma once

#include <string>
#include <vector>

#include "instrument/command_transport.h"

namespace instrument {

// An in-memory stand-in for the command connection: records every line written and serves
// scripted reply bytes, so parsing and sequencing tests open no socket. When the scripted
// bytes run out a read times out, unless the script says the peer closed.
class MemoryTransport : public CommandTransport {
 public:
  TransportStatus Open(const in_addr& address, net::Deadline deadline) override;
  void Close() override { open_ = false; }
  bool IsOpen() const override { return open_; }
  TransportStatus WriteLine(std::string_view line, net::Deadline deadline) override;
  TransportStatus ReadLine(std::string& line, net::Deadline deadline, size_t maxBytes) override;

  // Script: bytes the peer sends, in order.
  void QueueReply(std::string_view bytes) { input_ += bytes; }
  // Script: the peer closes once the queued bytes are read.
  void ClosePeerAfterInput() { peerClosesAfterInput_ = true; }
  // Script: the next open or write fails with `errnoValue` (0 clears).
  void FailNextOpen(int errnoValue) { openError_ = errnoValue; }
  void FailNextWrite(int errnoValue) { writeError_ = errnoValue; }

  // Every line written since creation, as written (line feeds included).
  const std::vector<std::string>& Written() const { return written_; }
  // All written bytes in one text.
  std::string WrittenBytes() const;
  // The address of the latest open, in network order.
  in_addr LastAddress() const { return lastAddress_; }
  int OpenCount() const { return openCount_; }

 private:
  bool open_ = false;
  bool peerClosesAfterInput_ = false;
  int openError_ = 0;
  int writeError_ = 0;
  int openCount_ = 0;
  in_addr lastAddress_{};
  std::string input_;
  std::vector<std::string> written_;
};

}  // namespace instrument
