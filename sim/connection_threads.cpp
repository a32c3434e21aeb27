#include "sim/connection_threads.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace sim {

int ConnectionLimits::IdlePollMs() const {
  if (idleTimeout.count() <= 0) return -1;
  return static_cast<int>(std::min<long long>(idleTimeout.count(), INT_MAX));
}

int LoginClock::PollMs(const ConnectionLimits& limits) const {
  int idle = limits.IdlePollMs();
  if (!running_) return idle;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(left_).count();
  int ms = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
  return idle < 0 ? ms : std::min(idle, ms);
}

void LoginClock::Count(std::chrono::steady_clock::time_point start) {
  if (running_) left_ -= std::chrono::steady_clock::now() - start;
}

bool ConnectionThreads::Start(net::UniqueFd& connection, std::function<void(int fd)> serve) {
  std::lock_guard lock(mutex_);
  std::erase_if(threads_, [](const std::unique_ptr<Thread>& t) {
    if (!t->done) return false;
    t->thread.join();
    return true;
  });
  if (threads_.size() >= cap_) return false;
  auto entry = std::make_unique<Thread>();
  Thread* raw = entry.get();
  raw->thread = std::thread([raw, fd = std::move(connection), serve = std::move(serve)]() mutable {
    serve(fd.Get());
    raw->done = true;
    fd.Reset();
  });
  threads_.push_back(std::move(entry));
  return true;
}

void ConnectionThreads::JoinAll() {
  std::lock_guard lock(mutex_);
  for (auto& t : threads_)
    if (t->thread.joinable()) t->thread.join();
  threads_.clear();
}

}  // namespace sim
