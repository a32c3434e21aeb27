#include "app/cli/run_trace.h"

#include <chrono>
#include <cstdio>

#include "app/cli/cli_output.h"
#include "net/text.h"

namespace {

constexpr std::string_view kCommand = "command";
constexpr std::string_view kFtp = "ftp";
constexpr std::string_view kFtpData = "ftp-data";

}  // namespace

void RunTrace::Line(std::string_view channel, std::string_view direction, std::string_view text) {
  std::string line = UtcTimeText(std::chrono::system_clock::now());
  line += ' ';
  line += channel;
  line += ' ';
  line += direction;
  line += ' ';
  line += net::PrintableText(net::WithoutLineEnd(std::string(text)));
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

void RunTrace::Note(std::string_view channel, std::string_view text) {
  Line(channel, "--", text);
}

void RunTrace::CommandConnected(const std::string& peer) {
  Line(kCommand, "--", "connected to " + peer);
}

void RunTrace::CommandSent(std::string_view line) {
  Line(kCommand, ">", line);
}

void RunTrace::ReplyReceived(std::string_view line) {
  Line(kCommand, "<", line);
}

void RunTrace::ControlConnected(const std::string& peer) {
  Line(kFtp, "--", "connected to " + peer);
}

void RunTrace::LineSent(std::string_view line) {
  Line(kFtp, ">", line);
}

void RunTrace::LineReceived(std::string_view line) {
  Line(kFtp, "<", line);
}

void RunTrace::DataConnectionEnded(const ftp::DataConnectionRecord& record) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.6f",
                std::chrono::duration<double>(record.duration).count());
  Line(kFtpData, "--",
       "peer " + record.peer + ", " + std::to_string(record.bytes) + " bytes sent in " + seconds +
           " s" + (record.completed ? "" : ", cut short"));
}
