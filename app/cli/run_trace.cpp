#include "app/cli/run_trace.h"

#include <chrono>
#include <cstdio>

#include "app/cli/cli_output.h"
#include "net/ipv4.h"
#include "net/text.h"

namespace {

constexpr std::string_view kCommand = "command";
constexpr std::string_view kFtp = "ftp";
constexpr std::string_view kFtpData = "ftp-data";

// `text` without the CR and LF bytes at its end.
std::string_view WithoutLineEnd(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// Appends `value` in decimal with exactly `digits` digits, zeros in front.
void AppendDigits(std::string& out, long long value, int digits) {
  const std::size_t end = out.size() + static_cast<std::size_t>(digits);
  out.resize(end);
  for (std::size_t i = end; i-- > end - static_cast<std::size_t>(digits);) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace

void RunTrace::AppendTime() {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const long long second = micros / 1'000'000;
  // The date and time of day are written once per second, not once per line.
  if (second != second_ || secondText_.empty()) {
    secondText_ = UtcTimeText(std::chrono::system_clock::time_point(
        std::chrono::seconds(second)));          // "...T09:30:00.000000Z"
    secondText_.resize(secondText_.size() - 8);  // "...T09:30:00"
    second_ = second;
  }
  line_ += secondText_;
  line_ += '.';
  AppendDigits(line_, micros % 1'000'000, 6);
  line_ += 'Z';
}

void RunTrace::Line(std::string_view channel, std::string_view direction, std::string_view text) {
  line_.clear();
  AppendTime();
  line_ += ' ';
  line_ += channel;
  line_ += ' ';
  line_ += direction;
  line_ += ' ';
  net::AppendPrintableText(line_, WithoutLineEnd(text));
  line_ += '\n';
  std::fwrite(line_.data(), 1, line_.size(), file_);
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
  // "peer 10.0.0.5:20, 1048576 bytes sent in 0.090342 s", the seconds rounded to microseconds.
  const long long micros = std::chrono::duration_cast<std::chrono::microseconds>(
                               record.duration + std::chrono::nanoseconds(500))
                               .count();
  text_ = "peer ";
  text_ += net::EndpointText(record.peerAddress, record.peerPort);
  text_ += ", ";
  text_ += std::to_string(record.bytes);
  text_ += " bytes sent in ";
  text_ += std::to_string(micros / 1'000'000);
  text_ += '.';
  AppendDigits(text_, micros % 1'000'000, 6);
  text_ += " s";
  if (!record.completed) text_ += ", cut short";
  Line(kFtpData, "--", text_);
}
