#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Every command line the simulator receives, on either channel, in arrival order. Shared by
// the servers' threads; tests read it to compare the exact sequence.
class Transcript {
 public:
  enum class Channel { kCommand, kFtp };
  struct Entry {
    Channel channel;
    std::string line;  // as received, without its line end
  };

  void Add(Channel channel, std::string line) {
    {
      std::lock_guard lock(mutex_);
      entries_.push_back({channel, std::move(line)});
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
    return entries_;
  }
  // The lines of one channel only.
  std::vector<std::string> Lines(Channel channel) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : entries_)
      if (e.channel == channel) out.push_back(e.line);
    return out;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable added_;
  std::vector<Entry> entries_;
};

}  // namespace sim
