#pragma once

#include <string>

namespace instrument {

// Where the session's modal message boxes go: the window, or a test that answers them.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // Shows `text` with `caption` and message-box `flags`; returns the answer (1 for OK).
  virtual int ShowMessage(const std::string& text, const std::string& caption, int flags) = 0;
};

}  // namespace instrument
