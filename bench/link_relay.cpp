// The wire of an emulated lab link between two network namespaces: a TUN device in each (named
// DEV), and every IP packet that leaves one is handed to the other after a fixed one-way delay,
// in order. The bench puts a token-bucket qdisc on each device, so a packet reaches the relay
// once it would have left a NIC of the link's rate; the relay adds the propagation delay. Every
// connection between the namespaces crosses it, data connections included.
//   vx_link_relay NETNS_A NETNS_B DEV DELAY_US [PCAP_FILE]
// NETNS_A and NETNS_B are namespace files (/run/netns/NAME). Prints "ready" once both devices
// exist; runs until SIGINT or SIGTERM. With PCAP_FILE, writes every packet as side A sees it
// (raw IPv4, microsecond stamps): A's packets when A sends them, B's when they reach A.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void OnStop(int) {
  stopRequested = 1;
}

std::int64_t NowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "vx_link_relay: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

// Opens a TUN device named `dev` inside the namespace at `nsPath`; the device lives as long as
// the descriptor.
int OpenTunIn(const char* nsPath, const char* dev, int homeNs) {
  int ns = ::open(nsPath, O_RDONLY | O_CLOEXEC);
  if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) Die(std::string("cannot enter ") + nsPath);
  ::close(ns);
  int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) Die("cannot open /dev/net/tun");
  ifreq request{};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(request.ifr_name, dev, IFNAMSIZ - 1);
  if (::ioctl(fd, TUNSETIFF, &request) != 0) Die(std::string("cannot create ") + dev);
  if (::setns(homeNs, CLONE_NEWNET) != 0) Die("cannot return to the first namespace");
  return fd;
}

struct Packet {
  std::int64_t due;
  std::vector<unsigned char> bytes;
};

// A capture in the classic pcap format, raw IPv4 link type.
class Capture {
 public:
  explicit Capture(const char* path) : file_(path ? std::fopen(path, "wb") : nullptr) {
    if (path && !file_) Die(std::string("cannot write ") + path);
    if (!file_) return;
    const std::uint32_t header[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 101};
    std::fwrite(header, sizeof header, 1, file_);
  }
  ~Capture() {
    if (file_) std::fclose(file_);
  }
  void Add(const std::vector<unsigned char>& bytes) {
    if (!file_) return;
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    const std::uint32_t record[4] = {
        static_cast<std::uint32_t>(t.tv_sec), static_cast<std::uint32_t>(t.tv_nsec / 1000),
        static_cast<std::uint32_t>(bytes.size()), static_cast<std::uint32_t>(bytes.size())};
    std::fwrite(record, sizeof record, 1, file_);
    std::fwrite(bytes.data(), 1, bytes.size(), file_);
  }

 private:
  std::FILE* file_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: vx_link_relay NETNS_A NETNS_B DEV DELAY_US [PCAP_FILE]\n");
    return 2;
  }
  const std::int64_t delayNs = std::stoll(argv[4]) * 1000;
  // The default timer slack (50 us) would blur a 500 us delay.
  ::prctl(PR_SET_TIMERSLACK, 1UL);

  int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (home < 0) Die("cannot open the own namespace");
  int tun[2] = {OpenTunIn(argv[1], argv[3], home), OpenTunIn(argv[2], argv[3], home)};
  Capture capture(argc == 6 ? argv[5] : nullptr);

  struct sigaction action {};
  action.sa_handler = OnStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::printf("ready\n");
  std::fflush(stdout);

  // queue[i]: packets read from side i, waiting to be written to the other side.
  std::deque<Packet> queue[2];
  constexpr std::size_t kQueueLimit = 100000;
  std::vector<unsigned char> buffer(65536);
  while (!stopRequested) {
    std::int64_t now = NowNs();
    for (int side = 0; side < 2; ++side) {
      while (!queue[side].empty() && queue[side].front().due <= now) {
        Packet& packet = queue[side].front();
        // A write to a TUN device never blocks; a packet the stack refuses is lost, as on a wire.
        (void)!::write(tun[1 - side], packet.bytes.data(), packet.bytes.size());
        if (side == 1) capture.Add(packet.bytes);
        queue[side].pop_front();
      }
    }
    std::int64_t next = -1;
    for (const auto& q : queue) {
      if (!q.empty() && (next < 0 || q.front().due < next)) next = q.front().due;
    }
    timespec wait{};
    timespec* waitPtr = nullptr;
    if (next >= 0) {
      std::int64_t left = next - NowNs();
      if (left < 0) left = 0;
      wait.tv_sec = left / 1000000000;
      wait.tv_nsec = left % 1000000000;
      waitPtr = &wait;
    }
    pollfd fds[2] = {{tun[0], POLLIN, 0}, {tun[1], POLLIN, 0}};
    int rc = ::ppoll(fds, 2, waitPtr, nullptr);
    if (rc < 0) {
      if (errno == EINTR) continue;
      Die("poll");
    }
    for (int side = 0; side < 2; ++side) {
      if (!(fds[side].revents & POLLIN)) continue;
      for (;;) {
        ssize_t n = ::read(tun[side], buffer.data(), buffer.size());
        if (n <= 0) break;
        Packet packet{NowNs() + delayNs, {buffer.begin(), buffer.begin() + n}};
        if (side == 0) capture.Add(packet.bytes);
        if (queue[side].size() < kQueueLimit) queue[side].push_back(std::move(packet));
      }
    }
  }
  return 0;
}
