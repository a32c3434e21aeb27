#pragma once

// The width of the terminal on a file descriptor, kept up to date while the terminal is
// resized: SIGWINCH marks the width stale and the next Columns() asks the terminal again.
class TerminalWidth {
 public:
  // Installs the SIGWINCH handler (with SA_RESTART, so a terminal read goes on across a resize).
  explicit TerminalWidth(int fd);

  // The terminal's columns; 0 when the descriptor is not a terminal or tells no width.
  int Columns();

 private:
  int fd_;
  int columns_ = 0;
  unsigned seenResizes_ = 0;
};
