#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

namespace sim {

// How much of a received line or a reply one line of the simulator's log shows.
inline constexpr std::size_t kLogTextBytes = 1024;

// `text` as one line of the log shows it: control characters written out, and when that would
// take more than `maxBytes`, only the bytes of `text` that fit, then " ... N more bytes" with
// the count of bytes left out. A UTF-8 character is never cut in two.
std::string LogText(std::string_view text, std::size_t maxBytes = kLogTextBytes);

// Writes "vx500-sim `server`: `text`" and a line feed to `log` whole: the lines that the
// servers' threads log at the same time never mix.
void LogLine(std::ostream& log, std::string_view server, std::string_view text);

}  // namespace sim
