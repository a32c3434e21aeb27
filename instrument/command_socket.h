#pragma once

#include "instrument/command_transport.h"
#include "net/unique_fd.h"

namespace instrument {

// The command connection over TCP: a non-blocking IPv4 client with TCP_NODELAY whose waits are
// poll() against the caller's deadline and the cancel predicate, calling the event pump between
// short polls when one is installed.
class CommandSocket : public CommandTransport {
 public:
  explicit CommandSocket(int port) : port_(port) {}

  TransportStatus Open(const in_addr& address, net::Deadline deadline) override;
  void Close() override { fd_.Reset(); }
  bool IsOpen() const override { return fd_.Valid(); }
  TransportStatus WriteLine(std::string_view line, net::Deadline deadline) override;
  TransportStatus ReadLine(std::string& line, net::Deadline deadline, size_t maxBytes) override;
  void SetCancelPredicate(std::function<bool()> cancelled) override {
    cancelled_ = std::move(cancelled);
  }
  void SetEventPump(net::EventPump pump) override { pump_ = std::move(pump); }

 private:
  // Waits for `events` on the connection up to the deadline or a cancel.
  TransportStatus Await(short events, net::Deadline deadline) const;
  // Takes `count` bytes that a peek has shown waiting off the connection.
  TransportStatus Take(size_t count);

  // The most bytes of a reply looked at with one receive call.
  static constexpr size_t kReadChunkBytes = 4096;

  int port_;
  std::function<bool()> cancelled_;
  net::EventPump pump_;
  net::UniqueFd fd_;
};

}  // namespace instrument
