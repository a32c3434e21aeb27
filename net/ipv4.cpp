#include "net/ipv4.h"

#include <arpa/inet.h>

#include <cstdint>

namespace net {

std::optional<in_addr> ParseIPv4(std::string_view text) {
  uint32_t value = 0;
  size_t pos = 0;
  for (int group = 0; group < 4; ++group) {
    if (group > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    size_t start = pos;
    unsigned part = 0;
    while (pos < text.size() && pos - start < 4 && text[pos] >= '0' && text[pos] <= '9') {
      part = part * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    size_t digits = pos - start;
    if (digits == 0 || digits > 3 || part > 255) return std::nullopt;
    value = (value << 8) | part;
  }
  if (pos != text.size()) return std::nullopt;
  in_addr addr{};
  addr.s_addr = htonl(value);
  return addr;
}

std::string AddressText(const in_addr& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

}  // namespace net
