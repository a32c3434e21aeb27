#pragma once

#include <string>

namespace instrument {

// Message-box flags and answers, with the classic values the program is written with.
inline constexpr int kMbOk = 0;              // OK button, no icon
inline constexpr int kMbIconError = 16;      // OK button, error icon
inline constexpr int kMbYesNoQuestion = 36;  // Yes and No buttons, question icon
inline constexpr int kIdOk = 1;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// The caption of the program's own message boxes and its window title.
inline constexpr char kUpgradeCaption[] = "VX500 Upgrade";
// The instrument's flash drive, which receives the release.
inline constexpr char kFlashDrive[] = "/F0:/";

// Where the session's modal message boxes go: the window, or a test that answers them.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // Shows `text` with `caption` and message-box `flags`; returns the answer (1 for OK).
  virtual int ShowMessage(const std::string& text, const std::string& caption, int flags) = 0;
};

}  // namespace instrument
