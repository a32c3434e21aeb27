#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/drive.h"
#include "sim/scenario.h"

namespace sim {

// What the server does with one received line.
struct CommandResponse {
  std::optional<std::string> reply;  // bytes to send, line feed included
  std::chrono::milliseconds delay{0};
  bool hold = false;                 // wait until the server is released before answering
  std::optional<size_t> closeAfter;  // send only this many reply bytes, then close
  bool reset = false;                // abort the connection instead of answering
};

// The instrument's command language over a Drive: identification, options, error queue,
// mass-memory commands, slot selection and FPGA configuration, with the scenario's faults.
// Not thread-safe; the server serialises calls.
class CommandInterpreter {
 public:
  CommandInterpreter(const Drive& drive, Scenario scenario);

  // Interprets one line (without its line end).
  CommandResponse Execute(std::string_view line);

  // The canonical short form of a command header: leading colon dropped, upper case, long
  // keywords shortened (":SYSTEM:ERR?" gives "SYST:ERR?").
  static std::string CanonicalHeader(std::string_view header);

  // The free and used bytes the catalogue reports for "/F0:/".
  std::pair<uint64_t, uint64_t> FlashUsedAndFree() const;

  const std::string& CurrentFolder() const { return cwd_; }

 private:
  struct Parsed {
    std::string header;  // canonical
    std::string params;  // the text after the header, blanks trimmed
  };

  FaultRule* MatchFault(const Parsed& command);
  std::optional<std::string> Run(const Parsed& command);
  void QueueError(int code, std::string message = {});
  std::optional<std::string> Catalog(const std::string& params);
  void ChangeFolder(const std::string& params);
  void MakeFolder(const std::string& params);
  void ConfigureFpga(const std::string& params);
  std::string OptionReply() const;
  // The quoted path parameter, normalised against the current folder; queues the error
  // and gives nothing when there is none.
  std::optional<std::string> QuotedPath(const std::string& params);
  // The local path of a normalised instrument path, if it stays under the root (links
  // included).
  std::optional<std::filesystem::path> Local(const std::string& path) const;

  const Drive& drive_;
  Scenario scenario_;
  std::string cwd_ = "/F0:/";
  int selectedSlot_ = -1;
  std::deque<std::pair<int, std::string>> errors_;
};

}  // namespace sim
