#include "app/cli/cli_output.h"

#include <algorithm>
#include <ctime>

#include "net/text.h"
#include "package/operator_view.h"
#include "upgrade/upgrade_run.h"

namespace {

constexpr int kBarWidth = 30;
// Narrower than this, the bar is left out and the figures stand alone.
constexpr int kMinBarWidth = 10;
// The width assumed when the terminal tells none.
constexpr int kDefaultColumns = 80;
// Back to the start of the line and clear it.
constexpr char kEraseBar[] = "\r\033[K";
// Clear what is left of the line after the bar.
constexpr char kClearToEnd[] = "\033[K";

const char* IconName(int flags) {
  if (flags == kMbIconError) return "error";
  if (flags == kMbYesNoQuestion) return "question";
  return "none";
}

}  // namespace

std::string MegabytesText(std::int64_t bytes) {
  const auto clamped = std::clamp<std::int64_t>(bytes, 0, 0xFFFFFFFF);
  std::string text = FormatMegabytes(static_cast<std::uint32_t>(clamped));
  text.erase(0, text.find_first_not_of(' '));
  return text;
}

std::string UtcTimeText(std::chrono::system_clock::time_point when) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1'000'000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%06lldZ",
                static_cast<long long>(micros % 1'000'000));
  return text;
}

std::string JsonLine(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

CliOutput::CliOutput(std::FILE* out, std::FILE* err, bool json, bool progressBar, bool quiet)
    : out_(out),
      err_(err),
      json_(json),
      progressBar_(progressBar && !json && !quiet),
      quiet_(quiet) {
  if (progressBar_) width_.emplace(::fileno(out));
}

void CliOutput::WriteLine(std::FILE* stream, const std::string& line) {
  if (stream == out_ && progressBar_ && barShown_) {
    // The bar erased, the line and the bar again go out in one write.
    lastBar_ = BarText();
    const std::string text = kEraseBar + line + "\n\r" + lastBar_ + kClearToEnd;
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
    return;
  }
  EraseBar();
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
  DrawBar();
}

void CliOutput::Log(const std::string& line) {
  if (quiet_) return;
  if (json_) {
    Event({{"event", "log"}, {"text", line}});
    return;
  }
  WriteLine(out_, net::PrintableText(line));
}

void CliOutput::Progress(int percent, std::int64_t copiedBytes, std::int64_t totalBytes) {
  if (quiet_) return;
  if (json_) {
    Event({{"event", "progress"},
           {"percent", percent},
           {"copiedBytes", copiedBytes},
           {"totalBytes", totalBytes}});
    return;
  }
  percent_ = percent;
  copiedBytes_ = copiedBytes;
  totalBytes_ = totalBytes;
  // The bar appears once there is something to copy; it is drawn again only when what it
  // shows changes (most files move neither the percentage nor the tenth of a megabyte).
  if (!progressBar_ || totalBytes <= 0) return;
  if (barShown_ && BarText() == lastBar_) return;
  barShown_ = true;
  DrawBar();
}

void CliOutput::Message(const std::string& caption, const std::string& text, int flags,
                        const std::string& answer) {
  if (json_) {
    nlohmann::ordered_json event = {
        {"event", "message"}, {"caption", caption}, {"text", text}, {"icon", IconName(flags)}};
    if (!answer.empty()) event["answer"] = answer;
    Event(event);
    return;
  }
  // A message box's text often ends in line feeds of its own; the line ends once.
  std::string shown = text;
  while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
  std::string line = caption + ": " + net::PrintableText(shown, net::LineFeeds::kKept);
  if (!answer.empty()) line += "\n" + caption + ": answered " + answer;
  // The report of a finished upgrade (no icon) is the run's result; errors go with the notes.
  WriteLine(flags == kMbOk ? out_ : err_, line);
}

void CliOutput::Prompt(const std::string& caption, const std::string& text) {
  EraseBar();
  const std::string prompt =
      caption + ": " + net::PrintableText(text, net::LineFeeds::kKept) + "\n[y/N] ";
  std::fwrite(prompt.data(), 1, prompt.size(), err_);
  std::fflush(err_);
}

void CliOutput::PromptAgain() {
  std::fputs("Please answer yes or no.\n[y/N] ", err_);
  std::fflush(err_);
}

void CliOutput::Notice(const std::string& text) {
  if (json_) {
    Event({{"event", "notice"}, {"text", text}});
    return;
  }
  WriteLine(err_, "vxupgrade-cli: " + net::PrintableText(text, net::LineFeeds::kKept));
}

void CliOutput::ReportLine(const std::string& line) {
  if (!json_ && !quiet_) WriteLine(out_, net::PrintableText(line));
}

void CliOutput::ResultLine(const std::string& line) {
  if (!json_) WriteLine(out_, net::PrintableText(line));
}

void CliOutput::Event(const nlohmann::ordered_json& event) {
  if (!json_) return;
  const std::string line = JsonLine(event);
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void CliOutput::EndProgress() {
  EraseBar();
  barShown_ = false;
}

void CliOutput::EraseBar() {
  if (!progressBar_ || !barShown_) return;
  std::fputs(kEraseBar, out_);
  std::fflush(out_);
}

std::string CliOutput::BarText() {
  const std::string percent = std::to_string(percent_);
  const std::string figures = std::string(3 - std::min<std::size_t>(3, percent.size()), ' ') +
                              percent + "%  " + MegabytesText(copiedBytes_) + " of " +
                              MegabytesText(totalBytes_) + " MB";
  // The last column stays empty: a terminal that wraps on reaching it would leave the bar
  // behind on a line of its own at every redraw.
  const int columns = width_ ? width_->Columns() : 0;
  const int room = (columns > 0 ? columns : kDefaultColumns) - 1;
  const int barWidth = std::min<int>(kBarWidth, room - 3 - static_cast<int>(figures.size()));
  if (barWidth < kMinBarWidth)
    return figures.substr(0, static_cast<std::size_t>(std::max(room, 0)));
  const int filled = std::clamp(percent_, 0, 100) * barWidth / 100;
  return "[" + std::string(filled, '#') + std::string(barWidth - filled, '-') + "] " + figures;
}

void CliOutput::DrawBar() {
  if (!progressBar_ || !barShown_) return;
  lastBar_ = BarText();
  const std::string text = "\r" + lastBar_ + kClearToEnd;
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}
