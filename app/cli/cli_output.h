#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/cli/terminal_width.h"

// Where the command-line front end writes what happens: as text (log lines on standard
// output, a one-line progress bar when standard output is a terminal, the report of a finished
// upgrade on standard output, the other messages and the notes on standard error) or as JSON,
// one object per line on standard output. Every line is flushed as it is written, so a log
// file or a pipe follows the run as it goes. Text lines show control characters written out (a
// file name holding ESC sequences must not drive the terminal); JSON keeps the exact text,
// which its own escapes make safe.
class CliOutput {
 public:
  // Writes to `out` and `err`; `json` picks the JSON form, `progressBar` the redrawn bar;
  // `quiet` leaves out the log, the progress and the --check figures. The bar fits the width
  // of the terminal on `out`, as it is at each redraw, and never reaches its last column.
  CliOutput(std::FILE* out, std::FILE* err, bool json, bool progressBar, bool quiet = false);

  bool Json() const { return json_; }

  // A line of the run's status log.
  void Log(const std::string& line);
  // The bar: `percent` of the bar, `copiedBytes` of `totalBytes` copied.
  void Progress(int percent, std::int64_t copiedBytes, std::int64_t totalBytes);
  // A message box of the run: its caption, text and flags, and the answer when it was a question
  // ("yes" or "no"). As text, the report of a finished upgrade (no icon) goes to standard
  // output, every other box to standard error.
  void Message(const std::string& caption, const std::string& text, int flags,
               const std::string& answer = {});
  // Asks a Yes/No question on standard error; the answer is read by the caller.
  void Prompt(const std::string& caption, const std::string& text);
  // Asks for the answer again after one that was neither yes nor no.
  void PromptAgain();
  // A note of the front end's own (a waiting configuration, what an interruption left).
  void Notice(const std::string& text);
  // Lines of the --check figures on standard output (text form only).
  void ReportLine(const std::string& line);
  // The last line, "Result: ..." (text form only).
  void ResultLine(const std::string& line);
  // One JSON event, written as it is (JSON form only).
  void Event(const nlohmann::ordered_json& event);
  // Erases the bar, so that nothing follows it on its line.
  void EndProgress();

 private:
  void WriteLine(std::FILE* stream, const std::string& line);
  void EraseBar();
  void DrawBar();
  // The bar as it shows the current figures in the terminal's width (without the bar when
  // that is too narrow), from the start of its line.
  std::string BarText();

  std::FILE* out_;
  std::FILE* err_;
  bool json_;
  bool progressBar_;
  bool quiet_;
  bool barShown_ = false;
  int percent_ = 0;
  std::int64_t copiedBytes_ = 0;
  std::int64_t totalBytes_ = 0;
  std::string lastBar_;                 // the bar as last drawn
  std::optional<TerminalWidth> width_;  // with the bar
};

// Megabytes of a byte count as the run writes them ("%4.1f"), without the padding.
std::string MegabytesText(std::int64_t bytes);

// The JSON text of a value, with bytes that are not UTF-8 replaced, on one line.
std::string JsonLine(const nlohmann::ordered_json& value);

// A moment in UTC as ISO 8601 with microseconds: "2025-03-01T09:30:00.123456Z".
std::string UtcTimeText(std::chrono::system_clock::time_point when);
