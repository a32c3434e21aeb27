#include "instrument/memory_transport.h"

#include <utility>

namespace instrument {

TransportStatus MemoryTransport::Open(const in_addr& address, net::Deadline) {
  ++openCount_;
  lastAddress_ = address;
  if (int e = std::exchange(openError_, 0)) {
    open_ = false;
    return {TransportStatus::kFailed, e};
  }
  open_ = true;
  return {};
}

TransportStatus MemoryTransport::WriteLine(std::string_view line, net::Deadline) {
  if (!open_) return {TransportStatus::kClosed};
  if (int e = std::exchange(writeError_, 0)) return {TransportStatus::kFailed, e};
  written_.emplace_back(line);
  return {};
}

TransportStatus MemoryTransport::ReadLine(std::string& line, net::Deadline, size_t maxBytes) {
  line.clear();
  if (!open_) return {TransportStatus::kClosed};
  LineAssembler assembler(line, maxBytes);
  size_t used = 0;
  TransportStatus status{TransportStatus::kTimedOut};
  while (used < input_.size()) {
    LineAssembler::Step step = assembler.Add(input_[used++]);
    if (step == LineAssembler::kComplete) {
      status = {};
      break;
    }
    if (step == LineAssembler::kTooLong) {
      status = {TransportStatus::kTooLong};
      break;
    }
  }
  input_.erase(0, used);
  if (status.kind == TransportStatus::kTimedOut && peerClosesAfterInput_)
    status = {TransportStatus::kClosed};
  return status;
}

std::string MemoryTransport::WrittenBytes() const {
  std::string all;
  for (const auto& line : written_) all += line;
  return all;
}

}  // namespace instrument
