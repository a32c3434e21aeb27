#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>

#include "net/unique_fd.h"
#include "sim/tcp_server.h"

namespace sim {

// Where one FTP session's next data connection comes from, as the client last named it: an
// address to connect to (PORT) or a listener to accept on (PASV).
class FtpDataConnection {
 public:
  enum class PortResult { kSet, kMalformed, kNotLocal };

  // Takes PORT's "h1,h2,h3,h4,p1,p2"; kMalformed for bad text or port 0, kNotLocal for an
  // address outside 127.0.0.0/8, since the simulator connects back only to this machine.
  PortResult Port(std::string_view argument);
  // Listens at a free port of the control connection's local address; PASV's
  // "h1,h2,h3,h4,p1,p2", or nothing when no listener could be had.
  std::optional<std::string> Passive(int control);
  // Opens the data connection named last and forgets it; invalid when that fails within the
  // open time, the server stops, or none was named. A connection to a PORT target leaves from
  // the local address of `control`, the one the client reached the server at.
  net::UniqueFd Open(const TcpServer& server, int control);
  // Forgets what was named.
  void Forget();

 private:
  std::optional<sockaddr_in> portTarget_;
  net::UniqueFd pasvListener_;
};

}  // namespace sim
