#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// The newest command lines the simulator received, on either channel, in arrival order.
// Shared by the servers' threads; tests read it to compare the exact sequence. It keeps at
// most `maxLines` lines and `maxBytes` bytes of their text, dropping the oldest (and counting
// them), so a client that sends without end cannot fill the memory.
class Transcript {
 public:
  enum class Channel { kCommand, kFtp };
  struct Entry {
    Channel channel;
    std::string line;  // as received, without its line end
  };
  struct Limits {
    std::size_t maxLines = 50000;
    std::size_t maxBytes = 8u << 20;
  };

  Transcript() = default;
  explicit Transcript(Limits limits) : limits_(limits) {}

  void Add(Channel channel, std::string line) {
    {
      std::lock_guard lock(mutex_);
      bytes_ += line.size();
      entries_.push_back({channel, std::move(line)});
      while (entries_.size() > 1 &&
             (entries_.size() > limits_.maxLines || bytes_ > limits_.maxBytes)) {
        bytes_ -= entries_.front().line.size();
        entries_.pop_front();
        ++dropped_;
      }
    }
    added_.notify_all();
  }
  // Waits up to `bound` until a line of `channel` beginning with `prefix` has been received;
  // true when one has.
  bool WaitForLine(Channel channel, std::string_view prefix, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return added_.wait_for(lock, bound, [&] {
      return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
        return e.channel == channel && e.line.starts_with(prefix);
      });
    });
  }
  std::vector<Entry> Entries() const {
    std::lock_guard lock(mutex_);
    return {entries_.begin(), entries_.end()};
  }
  // The lines of one channel only.
  std::vector<std::string> Lines(Channel channel) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : entries_)
      if (e.channel == channel) out.push_back(e.line);
    return out;
  }
  // How many of the oldest lines were dropped to keep within the limits.
  std::uint64_t Dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    bytes_ = 0;
    dropped_ = 0;
  }

 private:
  const Limits limits_{};
  mutable std::mutex mutex_;
  std::condition_variable added_;
  std::deque<Entry> entries_;
  std::size_t bytes_ = 0;
  std::uint64_t dropped_ = 0;
};

}  // namespace sim
