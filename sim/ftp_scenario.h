#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace sim {

// A command the FTP server answers with a fixed reply instead of carrying it out.
struct FtpRefusal {
  std::string command;  // verb in upper case ("CWD", "STOR", "PASS", ...)
  std::string pattern;  // glob on the argument (fnmatch); empty matches any argument
  int code = 550;
  std::string text;  // reply text after the code; empty gives a stock text
};

// A pause before the server sends a reply.
struct FtpDelay {
  std::string command;  // verb in upper case, "GREETING", or "COMPLETION" (after a store)
  std::string pattern;  // glob on the command's argument (a store's, for "COMPLETION"); empty: any
  int ms = 0;
  bool hold = false;  // then wait until the server is released (FtpServer::Release())
};

// What goes wrong with a store whose file name matches.
enum class FtpStoreFault {
  kTruncate,      // keep only the first `bytes` bytes, then a refusal as the completion reply
  kNeverConnect,  // answer 150 but never open the data connection
  kCloseEarly,    // after `bytes` bytes reply 426 and close the data connection
  kStall,         // open the data connection and never read from it
  kReset,         // after `bytes` bytes reset the data connection, then the completion reply
};

struct FtpStoreRule {
  std::string pattern;  // glob on the STOR argument; empty matches any
  FtpStoreFault fault = FtpStoreFault::kTruncate;
  std::uint64_t bytes = 0;
  int code = 552;    // completion code of kTruncate (552) and kReset (451 unless given)
  std::string text;  // completion text of kTruncate and kReset; empty gives a stock text
};

// How the simulator's FTP server behaves; the default is a well-behaved instrument.
struct FtpBehaviour {
  std::vector<std::string> greeting{"220 VX500 FTP server ready."};
  std::vector<FtpRefusal> refusals;
  std::vector<FtpDelay> delays;
  std::vector<FtpStoreRule> storeRules;
};

// Reads the scenario file's "ftp" object. Raises std::runtime_error naming the key that is wrong.
FtpBehaviour ParseFtpBehaviour(const nlohmann::json& ftp);

// True when `pattern` is empty or the glob matches `text`.
bool FtpPatternMatches(std::string_view pattern, std::string_view text);

}  // namespace sim
