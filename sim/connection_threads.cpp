#include "sim/connection_threads.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace sim {

int ConnectionLimits::IdlePollMs() const {
  if (idleTimeout.count() <= 0) return -1;
  return static_cast<int>(std::min<long long>(idleTimeout.count(), INT_MAX));
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
