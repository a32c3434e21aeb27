// A TCP relay on 127.0.0.1 that holds every chunk for a fixed time in each direction, to give a
// loopback control connection the round trip of a real link:
//   vx_delay_proxy TARGET_PORT DELAY_US
// Prints the port it listens on. Relays connections until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct Chunk {
  timespec due;
  std::string bytes;  // empty: end of stream
};

// One direction: a reader stamps chunks as they arrive, a writer sends each when it is due.
class Pipe {
 public:
  Pipe(int from, int to, long delayUs) : from_(from), to_(to), delayUs_(delayUs) {}
  void Run() {
    std::thread writer(&Pipe::Write, this);
    char buffer[65536];
    for (;;) {
      ssize_t n = ::recv(from_, buffer, sizeof buffer, 0);
      Chunk chunk;
      clock_gettime(CLOCK_MONOTONIC, &chunk.due);
      chunk.due.tv_nsec += delayUs_ * 1000;
      while (chunk.due.tv_nsec >= 1000000000) {
        chunk.due.tv_nsec -= 1000000000;
        ++chunk.due.tv_sec;
      }
      if (n > 0) chunk.bytes.assign(buffer, static_cast<std::size_t>(n));
      {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(chunk));
      }
      cv_.notify_one();
      if (n <= 0) break;
    }
    writer.join();
  }

 private:
  void Write() {
    for (;;) {
      Chunk chunk;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return !queue_.empty(); });
        chunk = std::move(queue_.front());
        queue_.pop_front();
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &chunk.due, nullptr);
      if (chunk.bytes.empty()) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
      std::size_t sent = 0;
      while (sent < chunk.bytes.size()) {
        ssize_t n = ::send(to_, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
      }
    }
  }

  int from_;
  int to_;
  long delayUs_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Chunk> queue_;
};

void Relay(int client, int targetPort, long delayUs) {
  int server = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  target.sin_port = htons(static_cast<std::uint16_t>(targetPort));
  int on = 1;
  ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (::connect(server, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
    Pipe up(client, server, delayUs);
    Pipe down(server, client, delayUs);
    std::thread t(&Pipe::Run, &down);
    up.Run();
    t.join();
  }
  ::close(server);
  ::close(client);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: vx_delay_proxy TARGET_PORT DELAY_US\n");
    return 2;
  }
  int targetPort = std::stoi(argv[1]);
  long delayUs = std::stol(argv[2]);
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof local;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(listener, 16) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    std::perror("vx_delay_proxy");
    return 1;
  }
  std::printf("%d\n", ntohs(local.sin_port));
  std::fflush(stdout);
  for (;;) {
    int client = ::accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    std::thread(Relay, client, targetPort, delayUs).detach();
  }
}
