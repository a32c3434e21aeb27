#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "instrument/session_observer.h"

// The trace of a run (--trace FILE): every command line and reply of the command channel and
// of the FTP control connection, in order, one line each with a UTC timestamp and the channel;
// the FTP password masked; one line per data connection with its peer, bytes and duration.
// Each line is flushed as it is written, so the trace of a run that stops is whole up to there.
class RunTrace : public instrument::SessionObserver {
 public:
  // Writes to `file`, which the trace does not close.
  explicit RunTrace(std::FILE* file) : file_(file) {}

  // A note of the front end's own ("run", "end"), in the same form.
  void Note(std::string_view channel, std::string_view text);

  void CommandConnected(const std::string& peer) override;
  void CommandSent(std::string_view line) override;
  void ReplyReceived(std::string_view line) override;
  void ControlConnected(const std::string& peer) override;
  void LineSent(std::string_view line) override;
  void LineReceived(std::string_view line) override;
  void DataConnectionEnded(const ftp::DataConnectionRecord& record) override;

 private:
  // One line: timestamp, channel, direction and the text without its line end, its control
  // characters written out.
  void Line(std::string_view channel, std::string_view direction, std::string_view text);
  // Appends the time now, in UTC with microseconds, to line_.
  void AppendTime();

  std::FILE* file_;
  std::string line_;        // the line being written, its storage kept from line to line
  std::string text_;        // a data connection's text, likewise
  long long second_ = 0;    // the second that secondText_ shows
  std::string secondText_;  // "2025-03-04T09:30:00"
};
