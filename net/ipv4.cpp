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
  // Written digit by digit: every upload names its data port's address, and the C library's
  // formatted printing costs many times this.
  const std::uint32_t value = ntohl(address.s_addr);
  std::string text;  // at most 15 characters: no allocation
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned part = (value >> shift) & 0xffu;
    if (part >= 100) text.push_back(static_cast<char>('0' + part / 100));
    if (part >= 10) text.push_back(static_cast<char>('0' + part / 10 % 10));
    text.push_back(static_cast<char>('0' + part % 10));
    if (shift > 0) text.push_back('.');
  }
  return text;
}

std::string EndpointText(const in_addr& address, int port) {
  return AddressText(address) + ":" + std::to_string(port);
}

}  // namespace net
