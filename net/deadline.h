#pragma once

#include <chrono>

namespace net {

// A point in time after which a wait gives up; Never() never passes.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  static Deadline Never() { return Deadline(); }
  static Deadline After(std::chrono::milliseconds d) { return Deadline(Clock::now() + d); }
  // A time-out in milliseconds where 0 means no limit.
  static Deadline FromTimeoutMs(long long ms) {
    return ms <= 0 ? Never() : After(std::chrono::milliseconds(ms));
  }

  bool IsNever() const { return never_; }
  bool Passed() const { return !never_ && Clock::now() >= at_; }

  // Milliseconds left, rounded up, for poll(); -1 for no limit.
  int RemainingMs() const {
    if (never_) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
    if (left <= 0) return 0;
    if (left > 0x7fffffff) return 0x7fffffff;
    return static_cast<int>(left);
  }

  Clock::time_point At() const { return at_; }

 private:
  Deadline() = default;
  explicit Deadline(Clock::time_point at) : never_(false), at_(at) {}
  bool never_ = true;
  Clock::time_point at_{};
};

// The one of two deadlines that passes first.
inline Deadline Earlier(const Deadline& a, const Deadline& b) {
  if (a.IsNever()) return b;
  if (b.IsNever()) return a;
  return a.At() <= b.At() ? a : b;
}

}  // namespace net
