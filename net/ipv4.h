#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>

namespace net {

// Parses exactly four dot-separated groups of 1-3 decimal digits, each at most 255; leading
// zeros are decimal (192.168.001.020 is 192.168.1.20). Anything else gives no address.
std::optional<in_addr> ParseIPv4(std::string_view text);

// The dotted text of an address ("192.168.0.10").
std::string AddressText(const in_addr& address);

// "address:port" ("192.168.0.10:21").
std::string EndpointText(const in_addr& address, int port);

}  // namespace net
