#include "app/cli/terminal_width.h"

#include <signal.h>
#include <sys/ioctl.h>

#include <atomic>

namespace {

// Counts the resizes the handler has seen, so every TerminalWidth notices each one.
std::atomic<unsigned> resizes{1};
static_assert(std::atomic<unsigned>::is_always_lock_free);

void OnResize(int) {
  resizes.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

TerminalWidth::TerminalWidth(int fd) : fd_(fd) {
  struct sigaction action {};
  action.sa_handler = OnResize;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGWINCH, &action, nullptr);
}

int TerminalWidth::Columns() {
  const unsigned now = resizes.load(std::memory_order_relaxed);
  if (now != seenResizes_) {
    seenResizes_ = now;
    winsize size{};
    columns_ = ::ioctl(fd_, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
  }
  return columns_;
}
